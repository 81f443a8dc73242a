// Opening a package: the work directory, unpacking, finding the application,
// and the queries on it.
#include <filesystem>
#include <functional>

#include "engine_fixture.h"
#include "platform/folders.h"

using namespace enginetest;
namespace stdfs = std::filesystem;

namespace {

std::optional<std::string> openFailure(const std::shared_ptr<QFAppPackageHandler>& package, bool* synchronous) {
    std::optional<std::string> failed;
    bool succeeded = false;
    package->unzipIpa([&] { succeeded = true; }, [&](const std::string& m) { failed = m; });
    *synchronous = failed.has_value();
    testkit::pumpUntil([&] { return succeeded || failed.has_value(); });
    return failed;
}

std::string resignRoot() { return *platform::folders::temporaryDirectory() + "/resign/unzip"; }

}  // namespace

TEST_F(EngineTest, OpenedPackageAnswersItsQueries) {
    auto package = open();
    // The time stamp may itself hold slashes (the locale's date), making further levels.
    EXPECT_EQ(package->workPath().rfind(resignRoot() + "/Demo/", 0), 0u) << package->workPath();
    EXPECT_EQ(package->appPath(), package->workPath() + "/Payload/Demo.app");
    EXPECT_EQ(package->bundleDisplayName(), "Demo");
    EXPECT_EQ(package->bundleID(), "com.example.demo");
    EXPECT_EQ(package->getEmbeddedProvisioningProfilePath(), package->appPath() + "/embedded.mobileprovision");
    EXPECT_EQ(package->embeddedMobileprovision()->name(), "Old Profile");
    EXPECT_EQ(package->embeddedMobileprovision()->bundleIdentifier(), "com.example.demo");
    EXPECT_TRUE(stdfs::exists(package->workPath() + "/iTunesMetadata.plist"));

    EXPECT_TRUE(package->removeCodeSignatureDirectory());
    EXPECT_FALSE(stdfs::exists(package->appPath() + "/_CodeSignature"));
    EXPECT_TRUE(package->removeCodeSignatureDirectory());  // nothing left to remove
    EXPECT_TRUE(package->removeWorkDirectory());
    EXPECT_FALSE(package->removeWorkDirectory());
}

TEST_F(EngineTest, QueriesOnABinaryInfoPlistAndMissingKeys) {
    testkit::PackageSpec shape;
    shape.binaryInfoPlist = true;
    shape.displayName = std::nullopt;
    shape.oldSignature = false;
    auto package = open(shape);
    EXPECT_EQ(package->bundleDisplayName(), "Not key is \"CFBundleDisplayName\" in the info.plist");
    EXPECT_EQ(package->bundleID(), "com.example.demo");
    EXPECT_EQ(package->getEmbeddedProvisioningProfilePath(), std::nullopt);
    EXPECT_EQ(package->embeddedMobileprovision()->name(), std::nullopt);

    testkit::writeFile(package->appPath() + "/Info.plist", "\x01\x02 not a property list");
    EXPECT_EQ(package->bundleDisplayName(), "Not key is \"CFBundleDisplayName\" in the info.plist");
    EXPECT_EQ(package->bundleID(), std::nullopt);
    testkit::writeFile(package->appPath() + "/Info.plist", platform::plist::toXml(platform::plist::Array{"x"}));
    EXPECT_EQ(package->bundleID(), std::nullopt);
    stdfs::remove(package->appPath() + "/Info.plist");
    EXPECT_EQ(package->bundleDisplayName(), "Not found info.plist");
    EXPECT_EQ(package->bundleID(), "Not found info.plist");
}

TEST_F(EngineTest, EmbeddedProfileIsTheLastListedWithAnExactExtension) {
    auto package = open();
    const std::string app = package->appPath();
    testkit::writeFile(app + "/zz.provisionprofile", "b");
    testkit::writeFile(app + "/zzz.MOBILEPROVISION", "c");
    EXPECT_EQ(package->getEmbeddedProvisioningProfilePath(), app + "/zz.provisionprofile");
}

TEST_F(EngineTest, UnpackingRefusesOtherExtensionsAndReportsBrokenArchives) {
    bool synchronous = false;
    {
        SCOPED_TRACE("not an ipa");
        testkit::writeFile(dir + "/in/NotAPackage.zip", "x");
        auto package = QFAppPackageHandler::initWithPackagePath(dir + "/in/NotAPackage.zip");
        EXPECT_EQ(openFailure(package, &synchronous), "This file extension is not .ipa");
        EXPECT_TRUE(synchronous);
        EXPECT_FALSE(stdfs::exists(package->workPath()));
    }
    {
        SCOPED_TRACE("missing archive");
        auto package = QFAppPackageHandler::initWithPackagePath(dir + "/in/Missing.ipa");
        EXPECT_EQ(openFailure(package, &synchronous), "unzip failure");
        EXPECT_TRUE(synchronous);
        EXPECT_FALSE(stdfs::exists(package->workPath()));
    }
    {
        SCOPED_TRACE("damaged archive");
        testkit::writeFile(dir + "/in/Broken.ipa", "PK\x03\x04 this is no archive");
        auto package = QFAppPackageHandler::initWithPackagePath(dir + "/in/Broken.ipa");
        EXPECT_EQ(openFailure(package, &synchronous), "unzip failure");
        EXPECT_FALSE(stdfs::exists(package->workPath()));
    }
    {
        SCOPED_TRACE("capital extensions");
        testkit::PackageSpec shape;
        shape.appName = "Caps";
        std::string root = testkit::makeScratchDir("caps");
        testkit::buildPackageTree(root, shape);
        stdfs::rename(root + "/Payload/Caps.app", root + "/Payload/Caps.APP");
        testkit::zipTree(root, dir + "/in/Caps.IPA");
        auto package = openIpa(dir + "/in/Caps.IPA");
        EXPECT_EQ(package->appPath(), package->workPath() + "/Payload/Caps.APP");
    }
}

TEST_F(EngineTest, PackageWithoutAnApplicationIsRefusedAtOpeningWithoutPlaceholders) {
    struct Case {
        const char* name;
        std::function<void(const std::string& root)> make;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"Empty", [](const std::string& root) { testkit::writeFile(root + "/Payload/readme.txt", "no app"); },
         "holds no application (no folder Payload/NAME.app): it is not an app package"},
        {"NoPayload", [](const std::string& root) { testkit::writeFile(root + "/Other/readme.txt", "no app"); },
         "holds no application (no folder Payload/NAME.app): it is not an app package"},
        {"NoInfo",
         [](const std::string& root) {
             testkit::buildPackageTree(root, {});
             stdfs::remove(root + "/Payload/Demo.app/Info.plist");
         },
         "The application Demo.app in the package NoInfo.ipa has no Info.plist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string root = testkit::makeScratchDir(c.name);
        c.make(root);
        testkit::zipTree(root, dir + "/in/" + c.name + ".ipa");
        auto package = QFAppPackageHandler::initWithPackagePath(dir + "/in/" + c.name + ".ipa");
        bool synchronous = false;
        auto failure = openFailure(package, &synchronous);
        ASSERT_TRUE(failure.has_value());
        EXPECT_NE(failure->find(c.says), std::string::npos) << *failure;
        EXPECT_EQ(failure->find("Not found"), std::string::npos) << *failure;
        EXPECT_FALSE(stdfs::exists(package->workPath()));
    }

    // With no application, nothing relative to the current folder is touched.
    auto package = QFAppPackageHandler::initWithPackagePath(dir + "/in/Empty.ipa");
    auto previous = stdfs::current_path();
    stdfs::current_path(dir);
    testkit::writeFile(dir + "/_CodeSignature/keep", "k");
    EXPECT_TRUE(package->removeCodeSignatureDirectory());
    stdfs::current_path(previous);
    EXPECT_TRUE(stdfs::exists(dir + "/_CodeSignature/keep"));
}

TEST_F(EngineTest, PackageNamesOfDotsStayInsideTheWorkRoot) {
    for (std::string name : {"...ipa", "..ipa"}) {
        auto package = QFAppPackageHandler::initWithPackagePath(dir + "/" + name);
        const std::string work = package->workPath();
        ASSERT_EQ(work.rfind(resignRoot() + "/", 0), 0u) << work;
        for (const auto& part : stdfs::path(work.substr(resignRoot().size())))
            EXPECT_TRUE(part != ".." && part != ".") << work;
    }
}

TEST_F(EngineTest, ReopeningTheSamePackageInTheSameSecondClearsTheWorkDirectory) {
    std::string ipa = testkit::buildPackage(dir + "/in/Demo.ipa");
    auto first = openIpa(ipa);
    testkit::writeFile(first->workPath() + "/leftover", "x");
    auto second = openIpa(ipa);
    if (second->workPath() != first->workPath()) GTEST_SKIP() << "the second crossed into the next second";
    EXPECT_FALSE(stdfs::exists(second->workPath() + "/leftover"));
    EXPECT_EQ(second->bundleID(), "com.example.demo");
}

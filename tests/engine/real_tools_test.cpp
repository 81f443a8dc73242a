// Whole runs with the project's real security and codesign commands: an
// identity imported into this process's keychain, a profile naming its
// certificate, and every signed item verified again afterwards.
#include <filesystem>
#include <regex>

#include "codesign/MachOEdit.h"
#include "engine_fixture.h"
#include "platform/folders.h"
#include "test_images.h"
#include "testkit/macho.h"

using namespace enginetest;
namespace stdfs = std::filesystem;
namespace plist = platform::plist;

namespace {

std::string tool(const std::string& name) { return testkit::binDir() + "/" + name; }

// Imports a fresh signing identity with the security command, once per
// process; answers its name as find-identity prints it.
const testkit::pki::Credential& importedLeaf() {
    static const testkit::pki::Credential leaf = [] {
        testkit::pki::LeafOptions options;
        options.commonName = "Apple Development: Zoë Real-Tools (ABCDE12345)";
        return testkit::pki::TestPKI::shared().issueLeaf(options);
    }();
    return leaf;
}

const std::string& importedIdentity() {
    static const std::string name = [] {
        const auto& ca = testkit::pki::TestPKI::shared();
        const auto& leaf = importedLeaf();
        std::string p12 = testkit::makeScratchDir("identity") + "/id.p12";
        testkit::writeFile(p12, testkit::pki::pkcs12(leaf, {ca.intermediate(), ca.root()}, "secret"));
        std::string out;
        EXPECT_EQ(testkit::run({tool("security"), "import", p12, "-P", "secret"}, &out), 0) << out;
        EXPECT_EQ(testkit::run({tool("security"), "find-identity", "-v", "-p", "codesigning"}, &out), 0) << out;
        std::smatch m;
        EXPECT_TRUE(std::regex_search(out, m, std::regex("\"([^\"]*)\""))) << out;
        return m.size() > 1 ? m[1].str() : std::string();
    }();
    return name;
}

std::string verifyOutput(const std::string& path) {
    std::string out;
    testkit::run({tool("codesign"), "-v", path}, &out);
    return out;
}

class RealToolsTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        QFToolPaths::setCurrent({"/usr/bin/zip", "/usr/bin/unzip", tool("security"), tool("codesign")});
        identity = importedIdentity();
        ASSERT_FALSE(identity.empty());
        // The chosen profile lists the imported identity's certificate.
        auto options = profileOptions();
        options.developerCertificates = {importedLeaf().certDer};
        testkit::writeFile(profilePath, testkit::pki::makeProfile(options));
    }
    std::string identity;
};

}  // namespace

TEST_F(RealToolsTest, EngineRunSignsEveryItemSoThatEachStillVerifiesAfterwards) {
    auto package = open();
    Recorder r;
    resign(package, r, std::string("com.example.real"), "Real", std::nullopt, identity);
    ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");

    // Each seal still holds once everything is signed: inner items were
    // signed before the items whose seals cover them.
    const std::string app = package->appPath();
    for (std::string item : {"/Frameworks/A.framework/Frameworks/Inner.framework", "/Frameworks/A.framework",
                             "/Frameworks/libX.dylib", "/PlugIns/Share.appex/Frameworks/S.framework", "/PlugIns/Share.appex", ""})
        EXPECT_EQ(verifyOutput(app + item), "") << item;

    // And so does the application unpacked from the new archive.
    std::string unpacked = testkit::makeScratchDir("unpacked");
    ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", dir + "/out/Real.ipa", "-d", unpacked}), 0);
    EXPECT_EQ(verifyOutput(unpacked + "/Payload/Demo.app"), "");
    EXPECT_EQ(verifyOutput(unpacked + "/Payload/Demo.app/Frameworks/A.framework"), "");
}

TEST_F(RealToolsTest, SecondRunResignsTheSignedTree) {
    auto package = open();
    Recorder first, second;
    resign(package, first, std::string("com.example.real"), "Real", std::nullopt, identity);
    ASSERT_TRUE(first.success.has_value()) << first.error.value_or("");
    resign(package, second, std::string("com.example.again"), "Real", std::nullopt, identity);
    ASSERT_TRUE(second.success.has_value()) << second.error.value_or("");
    EXPECT_EQ(verifyOutput(package->appPath()), "");
}

TEST_F(RealToolsTest, TamperedItemFailsItsVerification) {
    // A codesign that signs for real but then damages libX.dylib: the real
    // verifier's complaint stops the run there.
    testkit::PackageSpec shape;
    shape.appExtension = false;
    auto package = open(shape);
    std::string wrapper = dir + "/tamper/codesign";
    testkit::writeFile(wrapper,
                       "#!/bin/sh\n" + shellQuote(tool("codesign")) + " \"$@\"; rc=$?\n"
                       "case \"$1 $4\" in '-vvv '*/libX.dylib) printf 'x' >> \"$4\";; esac\nexit $rc\n",
                       true);
    QFToolPaths::setCurrent({"/usr/bin/zip", "/usr/bin/unzip", tool("security"), wrapper});
    Recorder r;
    resign(package, r, std::string("com.example.real"), "Real", std::nullopt, identity);
    ASSERT_TRUE(r.error.has_value());
    EXPECT_EQ(r.error->rfind("Signing failed with error: ", 0), 0u);
    EXPECT_EQ(r.lines.back(), "Verifying codesign: libX.dylib");
    EXPECT_FALSE(stdfs::exists(dir + "/out/Real.ipa"));
}

TEST_F(RealToolsTest, IpaResignEndToEnd) {
    std::string ipa = testkit::buildPackage(dir + "/in/Demo.ipa");
    std::string out;
    int status = testkit::run({tool("ipa-resign"), "--ipa", ipa, "--identity", identity, "--profile", profilePath,
                               "--name", "Zoë's App", "--bundle-id", "com.example.chosen", "--output", dir + "/out"},
                              &out);
    ASSERT_EQ(status, 0) << out;
    const std::string archive = dir + "/out/Zoë's App.ipa";
    auto info = *plist::parse(testkit::archiveEntry(archive, "Payload/Demo.app/Info.plist"));
    EXPECT_EQ(*info.get("CFBundleIdentifier")->asString(), "com.example.chosen");
    EXPECT_EQ(*info.get("CFBundleDisplayName")->asString(), "Zoë's App");
    EXPECT_EQ(testkit::archiveEntry(archive, "Payload/Demo.app/embedded.mobileprovision"),
              testkit::readFile(profilePath));
    auto entitlements = *plist::parse(testkit::archiveEntry(archive, "Entitlements.plist"));
    EXPECT_EQ(entitlements, *plist::parse(testkit::pki::profilePlist(profileOptions()))->get("Entitlements"));

    std::string unpacked = testkit::makeScratchDir("unpacked");
    ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", archive, "-d", unpacked}), 0);
    EXPECT_EQ(verifyOutput(unpacked + "/Payload/Demo.app"), "");
}

TEST_F(RealToolsTest, IpaResignProvisionsEveryNestedBundleAsItselfOrRefusesBeforeWriting) {
    // The application's profile is chosen, the share extension's is given
    // with a second --profile, the watch application's and its extension's
    // are installed; each lists the imported certificate.
    auto profileFor = [&](const std::string& name, const std::string& bundleId, const std::string& uuid) {
        auto o = profileOptions();
        o.name = name;
        o.bundleId = bundleId;
        o.uuid = uuid;
        o.developerCertificates = {importedLeaf().certDer};
        return testkit::pki::makeProfile(o);
    };
    const std::string installed = platform::folders::homeDirectory() + "/Library/MobileDevice/Provisioning Profiles";
    testkit::writeFile(profilePath, profileFor("Real App", "com.example.real", "00000000-0000-4000-8000-00000000000A"));
    testkit::writeFile(dir + "/share.mobileprovision",
                       profileFor("Real Share", "com.example.real.share", "00000000-0000-4000-8000-00000000000B"));
    testkit::writeFile(installed + "/watch.mobileprovision", profileFor("Real Watch", "com.example.real.watchkitapp",
                                                                       "00000000-0000-4000-8000-00000000000C"));
    testkit::writeFile(installed + "/watch-ext.mobileprovision",
                       profileFor("Real Watch Extension", "com.example.real.watchkitapp.extension",
                                  "00000000-0000-4000-8000-00000000000D"));
    testkit::PackageSpec shape;
    shape.watchApp = true;
    std::string ipa = testkit::buildPackage(dir + "/in/Demo.ipa", shape);
    auto resign = [&](const std::vector<std::string>& profiles, std::string* out) {
        std::vector<std::string> argv = {tool("ipa-resign"), "--ipa", ipa, "--identity", identity, "--name", "Real",
                                         "--bundle-id", "com.example.real", "--output", dir + "/out"};
        for (const auto& p : profiles) argv.insert(argv.end(), {"--profile", p});
        return testkit::run(argv, out);
    };
    std::string out;
    ASSERT_EQ(resign({profilePath, dir + "/share.mobileprovision"}, &out), 0) << out;

    std::string unpacked = testkit::makeScratchDir("unpacked");
    ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", dir + "/out/Real.ipa", "-d", unpacked}), 0);
    testkit::writeFile(dir + "/root.pem", testkit::pki::TestPKI::shared().root().certPem());
    std::string verdict;
    EXPECT_EQ(testkit::run({"/usr/bin/python3", std::string(IPA_SOURCE_DIR) + "/tests/codesign/independent_verify.py",
                            "--ca", dir + "/root.pem", "--provisioning", unpacked + "/Payload/Demo.app"},
                           &verdict),
              0)
        << verdict;
    // The verifier does look: the extension carrying the application's
    // profile, as it did before, is a finding.
    stdfs::copy_file(profilePath, unpacked + "/Payload/Demo.app/PlugIns/Share.appex/embedded.mobileprovision",
                     stdfs::copy_options::overwrite_existing);
    EXPECT_EQ(testkit::run({"/usr/bin/python3", std::string(IPA_SOURCE_DIR) + "/tests/codesign/independent_verify.py",
                            "--ca", dir + "/root.pem", "--provisioning", unpacked + "/Payload/Demo.app"},
                           &verdict),
              1);
    EXPECT_NE(verdict.find("Share.appex: signed application-identifier is not its profile's"), std::string::npos)
        << verdict;
    stdfs::remove_all(installed);

    // Without the installed profiles the watch application cannot be
    // provisioned: refused before anything is written.
    stdfs::remove_all(dir + "/out");
    EXPECT_EQ(resign({profilePath, dir + "/share.mobileprovision"}, &out), 1);
    // Whichever of the watch bundles the walk meets first is named.
    EXPECT_NE(out.find("needs a provisioning profile for ABCDE12345.com.example.real.watchkitapp"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("Resign done"), std::string::npos);
    EXPECT_FALSE(stdfs::exists(dir + "/out"));
}

TEST_F(RealToolsTest, EveryOptionAtOnceGivesAPackageTheIndependentVerifierAccepts) {
    testkit::PackageSpec shape;
    shape.watchApp = true;
    shape.executableArchs = {"arm64", "x86_64"};
    shape.executableLinkerArgs = {"-headerpad_max_install_names"};  // room for the x86_64 slice too
    shape.appFiles = {{"Icon.png", pngImage(57, 57, Qt::red)}, {"Icon@2x.png", pngImage(114, 114, Qt::red)}};
    auto package = open(shape);
    testkit::MachOSpec arm64, x86_64;
    arm64.kind = x86_64.kind = testkit::MachOSpec::Kind::Dylib;
    x86_64.arch = "x86_64";
    ASSERT_EQ(testkit::buildMachO(dir + "/a/libTweak.dylib", arm64), "");
    ASSERT_EQ(testkit::buildMachO(dir + "/e/libTweak.dylib", x86_64), "");
    ASSERT_EQ(testkit::makeFat(dir + "/libTweak.dylib", {dir + "/a/libTweak.dylib", dir + "/e/libTweak.dylib"}), "");
    testkit::writeFile(dir + "/icon.png", pngImage(512, 512, Qt::green));

    engine::ResignOptions options;
    options.shortVersion = "3.1";
    options.bundleVersion = "310";
    options.minimumOSVersion = "15.0";
    options.removeSupportedDevices = true;
    options.deviceFamily = engine::DeviceFamily::both;
    options.fileSharing = true;
    options.removeWatchApp = true;
    options.iconPath = dir + "/icon.png";
    options.injectLibraries = {dir + "/libTweak.dylib"};
    options.injectIntoExtensions = true;
    package->setResignOptions(options);
    Recorder r;
    resign(package, r, std::string("com.example.real"), "Real", std::nullopt, identity);
    ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");
    EXPECT_EQ(package->changesMade().size(), 8u);  // UISupportedDevices was not there: no change

    std::string unpacked = testkit::makeScratchDir("unpacked");
    ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", dir + "/out/Real.ipa", "-d", unpacked}), 0);
    const std::string app = unpacked + "/Payload/Demo.app";
    testkit::writeFile(dir + "/root.pem", testkit::pki::TestPKI::shared().root().certPem());
    std::string verdict;
    EXPECT_EQ(testkit::run({"/usr/bin/python3", std::string(IPA_SOURCE_DIR) + "/tests/codesign/independent_verify.py",
                            "--ca", dir + "/root.pem", "--provisioning", app},
                           &verdict),
              0)
        << verdict;

    // Every change is there to see.
    auto info = *plist::parse(testkit::readFile(app + "/Info.plist"));
    EXPECT_EQ(*info.get("CFBundleShortVersionString")->asString(), "3.1");
    EXPECT_EQ(*info.get("MinimumOSVersion")->asString(), "15.0");
    EXPECT_EQ(*info.get("UIFileSharingEnabled")->asBool(), true);
    EXPECT_EQ(*plist::parse(testkit::readFile(app + "/PlugIns/Share.appex/Info.plist"))->get("CFBundleVersion")->asString(),
              "310");
    EXPECT_FALSE(stdfs::exists(app + "/Watch"));
    EXPECT_EQ(QImage(QString::fromStdString(app + "/Icon@2x.png")).size(), QSize(114, 114));
    for (const char* executable : {"/Demo", "/PlugIns/Share.appex/Share"}) {
        codesign::InputFile input;
        ASSERT_TRUE(input.open(app + executable));
        auto slices = codesign::macho::readLibraries(input);
        ASSERT_TRUE(slices);
        for (const auto& slice : *slices) {
            bool loads = false;
            for (const auto& load : slice.loads) loads |= load.path.ends_with("/libTweak.dylib");
            EXPECT_TRUE(loads) << executable << " " << slice.arch;
        }
    }
    EXPECT_EQ(verifyOutput(app + "/Frameworks/libTweak.dylib"), "");
}

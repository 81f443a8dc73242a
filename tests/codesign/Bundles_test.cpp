// Bundles beyond the flat shape and bundles whose signing fails: a versioned
// framework signed in its current version and checked by the independent
// verifier, and a failed sign that leaves every byte of the bundle in place.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <map>

#include "signing_fixture.h"
#include "testkit/package.h"

namespace {

using namespace cstest;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every entry below root, links not followed: its kind and mode, and a hash
// of its bytes or its target.
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string path = it->path().string();
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        std::string value = std::to_string(st.st_mode) + ":";
        if (S_ISLNK(st.st_mode)) value += fs::read_symlink(it->path()).string();
        else if (S_ISREG(st.st_mode)) value += std::to_string(std::hash<std::string>{}(testkit::readFile(path)));
        out[it->path().lexically_relative(root).string()] = value;
    }
    return out;
}

// codesign with its file size limited, as a quota or a full disk would: the
// write that passes the limit fails (and no signal ends the process).
ToolRun signWithFileSizeLimit(const std::string& path, const std::string& entitlements, size_t kibibytes) {
    std::vector<std::string> argv{"/bin/bash", "-c", "trap '' XFSZ; ulimit -f " + std::to_string(kibibytes) +
                                                         "; exec \"$0\" \"$@\"",
                                  testkit::binDir() + "/codesign", "-fs", kIdentityName,
                                  "--entitlements=" + entitlements, path};
    ToolRun run;
    run.status = testkit::run(argv, &run.output);
    return run;
}

TEST(BundleSigning, AFailedSignLeavesEveryByteOfTheBundle) {
    pki();
    auto bySignature = [](const App& a) { return signAsTheEngineDoes(a.app, a.entitlements); };
    auto withLimit = [](const App& a) { return signWithFileSizeLimit(a.app, a.entitlements, 200); };
    struct Case {
        const char* what;
        size_t executablePadding;
        bool signedBefore;  // an old seal and signature are there to keep
        std::function<void(const App&)> change;
        std::function<ToolRun(const App&)> sign;
    };
    const Case cases[] = {
        // The seal is the write that fails; the folder that was to hold it
        // must not appear either.
        {"seal over the file size limit", 0, false,
         [](const App& a) {
             for (int i = 0; i < 1500; ++i)
                 testkit::writeFile(a.app + "/many/resource-" + std::to_string(i) + ".txt", std::to_string(i));
         },
         withLimit},
        {"signed executable over the file size limit", 400 * 1024, true, [](const App&) {}, withLimit},
        {"a pipe among the resources", 0, true,
         [](const App& a) { ASSERT_EQ(::mkfifo((a.app + "/assets/pipe").c_str(), 0644), 0); }, bySignature},
        {"a main executable that cannot be signed", 0, true,
         [](const App& a) { testkit::writeFile(a.app + "/App", testkit::readFile(a.app + "/App").substr(0, 300), true); },
         bySignature},
        {"a seal folder that is a link", 0, true,
         [](const App& a) {
             fs::remove_all(a.app + "/_CodeSignature");
             fs::create_directory_symlink("assets", a.app + "/_CodeSignature");
         },
         bySignature},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testkit::MachOSpec exe;
        exe.extraDataBytes = c.executablePadding;
        App a = makeApp(exe);
        if (c.signedBefore) {
            ASSERT_EQ(bySignature(a).status, 0);
        }
        c.change(a);
        const auto before = snapshot(a.work);
        ToolRun failed = c.sign(a);
        EXPECT_EQ(failed.status, 1) << failed.output;
        EXPECT_TRUE(contains(failed.output, a.app + ": ")) << failed.output;
        EXPECT_EQ(snapshot(a.work), before) << failed.output;
    }
}

class VersionedFramework : public ::testing::Test {
protected:
    void SetUp() override {
        pki();
        work = testkit::makeScratchDir("versioned");
        testkit::PackageSpec shape;
        shape.frameworks = false;
        shape.appExtension = false;
        shape.oldSignature = false;
        shape.topLevelEntries = false;
        shape.versionedFramework = true;
        app = testkit::buildPackageTree(work, shape);
        framework = app + "/Frameworks/V.framework";
        entitlements = entitlementsFile(work);
    }

    std::string work, app, framework, entitlements;
};

TEST_F(VersionedFramework, SignsInTheCurrentVersionAndPassesBothVerifiers) {
    ToolRun signing = signAsTheEngineDoes(framework, entitlements);
    ASSERT_EQ(signing.status, 0) << signing.output;
    EXPECT_EQ(signing.output, framework + ": signed bundle with Mach-O thin (arm64) [com.example.framework.V]\n");
    EXPECT_TRUE(fs::exists(framework + "/Versions/A/_CodeSignature/CodeResources"));
    EXPECT_FALSE(fs::exists(framework + "/_CodeSignature"));
    for (const char* link : {"V", "Resources", "Headers", "Versions/Current"})
        EXPECT_TRUE(fs::is_symlink(framework + "/" + link)) << link;
    auto seal = plist::parse(testkit::readFile(framework + "/Versions/A/_CodeSignature/CodeResources"));
    ASSERT_TRUE(seal);
    const plist::Value* files2 = seal->get("files2");
    ASSERT_TRUE(files2 && files2->asDict());
    EXPECT_TRUE(files2->get("Resources/Info.plist"));
    EXPECT_TRUE(files2->get("Headers/V.h"));
    EXPECT_FALSE(files2->get("V"));
    EXPECT_EQ(verify(framework).output, "");

    ToolRun shown = codesign({"-dvvv", framework});
    EXPECT_TRUE(contains(shown.output, "Executable=" + fs::absolute(framework).string() + "/Versions/A/V\n"))
        << shown.output;
    EXPECT_TRUE(contains(shown.output, "Format=bundle with Mach-O thin (arm64)\n")) << shown.output;
    EXPECT_TRUE(contains(shown.output, "Sealed Resources version=2 rules=10 files=3\n")) << shown.output;

    ASSERT_EQ(signAsTheEngineDoes(app, entitlements).status, 0);
    auto appSeal = plist::parse(testkit::readFile(app + "/_CodeSignature/CodeResources"));
    ASSERT_TRUE(appSeal);
    const plist::Value* link = appSeal->get("files2")->get("Frameworks/V.framework/Resources");
    ASSERT_TRUE(link && link->get("symlink"));
    EXPECT_EQ(*link->get("symlink")->asString(), "Versions/Current/Resources");
    EXPECT_EQ(codesign({"-v", "--deep", app}).output, "");
    ToolRun independent = independentVerify(app);
    EXPECT_EQ(independent.status, 0) << independent.output;
}

TEST_F(VersionedFramework, ChangedResourcesAndRetargetedLinksFailVerification) {
    ASSERT_EQ(signAsTheEngineDoes(framework, entitlements).status, 0);
    ASSERT_EQ(signAsTheEngineDoes(app, entitlements).status, 0);
    struct Case {
        const char* what;
        std::function<void(const std::string& fw)> tamper;
        std::string frameworkMessage;
    };
    const Case cases[] = {
        {"a file under Versions/A/Resources",
         [](const std::string& fw) { testkit::writeFile(fw + "/Versions/A/Resources/en.lproj/V.strings", "changed"); },
         ": a sealed resource is missing or invalid\n"},
        {"a top-level link's target",
         [](const std::string& fw) {
             fs::remove(fw + "/Resources");
             fs::create_directory_symlink("Versions/A/Headers", fw + "/Resources");
         },
         ": invalid framework layout\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string copy = copyTree(app);
        const std::string fw = copy + "/Frameworks/V.framework";
        c.tamper(fw);
        EXPECT_TRUE(contains(verify(fw).output, fw + c.frameworkMessage)) << verify(fw).output;
        EXPECT_TRUE(contains(verify(copy).output, copy + ": a sealed resource is missing or invalid\n"));
        EXPECT_NE(independentVerify(fw).status, 0);
        EXPECT_NE(independentVerify(copy).status, 0);
    }
    // Signing refuses a top level that nothing would seal.
    testkit::writeFile(framework + "/stray.txt", "x");
    ToolRun refused = signAsTheEngineDoes(framework, entitlements);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.output, "stray.txt")) << refused.output;
}

}  // namespace

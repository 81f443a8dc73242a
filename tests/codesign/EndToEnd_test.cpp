// A whole package re-signed by the system's command-line front end with this
// codesign command, then checked by the independent verifier: what a device
// would be given must hold up under code that is not ours.
#include <gtest/gtest.h>

#include "signing_fixture.h"
#include "testkit/package.h"

namespace {

using namespace cstest;

TEST(EndToEnd, ResignedPackagePassesTheIndependentVerifier) {
    pki();
    const std::string dir = testkit::makeScratchDir("e2e");
    testkit::PackageSpec shape;
    shape.resourceFiles = 20;
    shape.versionedFramework = true;
    shape.appExtension = false;  // nested provisioning is the engine's tests' subject
    // Built by another team with capabilities, re-signed with a profile made
    // as the developer portal makes it.
    shape.appClaims = testkit::otherTeamClaims(shape.bundleId);
    const std::string ipa = testkit::buildPackage(dir + "/Demo.ipa", shape);

    testkit::pki::ProfileOptions profile;
    profile.bundleId = "com.example.demo";
    profile.teamId = kTeamId;
    profile.developerCertificates = {pki().leafDer};
    profile.capabilities = true;
    const std::string profilePath = dir + "/profile.mobileprovision";
    testkit::writeFile(profilePath, testkit::pki::makeProfile(profile));

    std::string out;
    int status = testkit::run({testkit::binDir() + "/ipa-resign", "--ipa", ipa, "--identity", kIdentityName,
                               "--profile", profilePath, "--name", "Resigned", "--profile-bundle-id", "--output",
                               dir + "/out"},
                              &out);
    ASSERT_EQ(status, 0) << out;
    const std::string unpacked = dir + "/unpacked";
    fs::create_directories(unpacked);
    ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", dir + "/out/Resigned.ipa", "-d", unpacked}, &out), 0) << out;
    const std::string app = unpacked + "/Payload/Demo.app";
    EXPECT_TRUE(fs::is_symlink(app + "/Frameworks/V.framework/Resources"));
    EXPECT_TRUE(fs::exists(app + "/Frameworks/V.framework/Versions/A/_CodeSignature/CodeResources"));

    EXPECT_EQ(verify(app).output, "");
    ToolRun deep = codesign({"-v", "--deep", app});
    EXPECT_EQ(deep.output, "");
    ToolRun independent = independentVerify(app, true);
    EXPECT_EQ(independent.status, 0) << independent.output;
}

TEST(EndToEnd, EveryKindOfNestedCodeIsResignedAndDeepVerificationNamesWhatFails) {
    pki();
    const std::string dir = testkit::makeScratchDir("kinds");
    testkit::PackageSpec shape;
    shape.appExtension = false;
    shape.everyCodeKind = true;
    const std::string ipa = testkit::buildPackage(dir + "/Demo.ipa", shape);
    const std::string original = testkit::buildPackageTree(dir + "/original", shape);

    testkit::pki::ProfileOptions profile;
    profile.bundleId = "com.example.demo";
    profile.teamId = kTeamId;
    profile.developerCertificates = {pki().leafDer};
    const std::string profilePath = dir + "/profile.mobileprovision";
    testkit::writeFile(profilePath, testkit::pki::makeProfile(profile));
    std::string out;
    ASSERT_EQ(testkit::run({testkit::binDir() + "/ipa-resign", "--ipa", ipa, "--identity", kIdentityName, "--profile",
                            profilePath, "--name", "Resigned", "--profile-bundle-id", "--output", dir + "/out"},
                           &out),
              0)
        << out;
    const std::string unpacked = dir + "/unpacked";
    fs::create_directories(unpacked);
    ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", dir + "/out/Resigned.ipa", "-d", unpacked}, &out), 0) << out;
    const std::string app = unpacked + "/Payload/Demo.app";
    EXPECT_EQ(codesign({"-v", "--deep", app}).output, "");
    ToolRun independent = independentVerify(app);
    EXPECT_EQ(independent.status, 0) << independent.output;
    // Debug symbols are no code: left as they were.
    const std::string dwarf = "/Demo.dSYM/Contents/Resources/DWARF/Demo";
    EXPECT_EQ(testkit::readFile(app + dwarf), testkit::readFile(original + dwarf));

    // An item put back unsigned (the application re-signed over it, so that
    // its own seal holds): only --deep sees it, and names the innermost
    // item that fails and why.
    struct Case {
        const char* executable;  // put back as it was before signing
        const char* failing;     // the item named
        const char* message;
    };
    const std::vector<Case> cases = {
        {"PlugIns/DemoTests.xctest/Frameworks/T1.framework/T1", "PlugIns/DemoTests.xctest",
         "a sealed resource is missing or invalid"},
        {"PlugIns/DemoTests.xctest/DemoTests", "PlugIns/DemoTests.xctest", "code object is not signed at all"},
        {"XPCServices/Helper.xpc/Helper", "XPCServices/Helper.xpc", "code object is not signed at all"},
        {"Assets.bundle/Assets", "Assets.bundle", "code object is not signed at all"},
        {"helper", "helper", "code object is not signed at all"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.executable);
        const std::string copy = copyTree(app);
        fs::copy_file(original + "/" + c.executable, copy + "/" + c.executable, fs::copy_options::overwrite_existing);
        ASSERT_EQ(signAsTheEngineDoes(copy, entitlementsFile(dir)).status, 0);
        EXPECT_EQ(verify(copy).output, "");
        ToolRun deep = codesign({"-v", "--deep", copy});
        EXPECT_EQ(deep.status, 1);
        EXPECT_EQ(deep.output.rfind(copy + ": " + c.message + "\nIn subcomponent: " + copy + "/" + c.failing + "\n", 0),
                  0u)
            << deep.output;
    }
}

}  // namespace

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

}  // namespace

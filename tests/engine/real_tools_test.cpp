// Whole runs with the project's real security and codesign commands: an
// identity imported into this process's keychain, a profile naming its
// certificate, and every signed item verified again afterwards.
#include <algorithm>
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
    // The record beside Payload: the wildcard profile made concrete for the
    // chosen identifier (the executables claimed nothing).
    auto entitlements = *plist::parse(testkit::archiveEntry(archive, "Entitlements.plist"));
    EXPECT_EQ(entitlements, plist::Value(plist::Dict{{"application-identifier", "ABCDE12345.com.example.chosen"},
                                                     {"com.apple.developer.team-identifier", "ABCDE12345"},
                                                     {"get-task-allow", true},
                                                     {"keychain-access-groups",
                                                      plist::Array{"ABCDE12345.com.example.chosen"}}}));

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
    EXPECT_NE(verdict.find("Share.appex: signed entitlement application-identifier = "), std::string::npos)
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

// ---- Entitlements: what each bundle is signed with ---------------------------

namespace {

const std::string kTeam = "ABCDE12345";

// What a bundle's signature holds, read back with our codesign command.
plist::Value signedEntitlements(const std::string& bundle) {
    const std::string file = testkit::makeScratchDir("display") + "/entitlements.plist";
    std::string out;
    EXPECT_EQ(testkit::run({tool("codesign"), "-d", "--entitlements=" + file, bundle}, &out), 0) << out;
    auto parsed = stdfs::exists(file) ? plist::parse(testkit::readFile(file)) : std::nullopt;
    return parsed ? *parsed : plist::Value(plist::Dict{});
}

class EntitlementsTest : public RealToolsTest {
protected:
    // The profile of one bundle, listing the imported certificate.
    std::shared_ptr<QFProvisioningProfile> profileFor(const std::string& bundleId, bool capabilities,
                                                      const std::string& file) {
        auto o = profileOptions();
        o.name = bundleId == "*" ? "Wildcard" : "Profile " + bundleId;
        o.bundleId = bundleId;
        o.capabilities = capabilities;
        o.developerCertificates = {importedLeaf().certDer};
        testkit::writeFile(file, testkit::pki::makeProfile(o));
        return std::make_shared<QFProvisioningProfile>(file);
    }
    // A package whose executables claim another team's capabilities, or
    // none when unsigned.
    testkit::PackageSpec claimingShape(bool claims) {
        testkit::PackageSpec shape;
        shape.frameworks = false;
        if (claims) {
            shape.appClaims = testkit::otherTeamClaims(shape.bundleId);
            shape.extensionClaims = testkit::otherTeamClaims(shape.bundleId + ".share", true);
        }
        return shape;
    }
    // The whole run with the given profiles (the first the application's);
    // answers the verifier's verdict on the re-signed tree.
    int resignAndVerify(const std::shared_ptr<QFAppPackageHandler>& package, Recorder& r,
                        std::shared_ptr<QFProvisioningProfile> profile, std::vector<std::shared_ptr<QFProvisioningProfile>> nested,
                        std::string* verdict) {
        package->setNestedProfiles(std::move(nested));
        package->removeCodeSignatureDirectory();
        package->resignWithProvisioningProfile(profile, identity, std::string("com.example.real"), "Real", dir + "/out",
                                               r.log(), r.onError(), r.onSuccess());
        EXPECT_TRUE(testkit::pumpUntil([&] { return r.ended(); }));
        return verify(package->appPath(), verdict);
    }
    // The whole run with portal-style profiles for the application and its
    // share extension (when it has one), which the verifier must accept.
    std::shared_ptr<QFAppPackageHandler> resignWithPortalProfiles(const testkit::PackageSpec& shape, Recorder& r) {
        auto package = open(shape);
        std::string verdict;
        auto appProfile = profileFor("com.example.real", true, dir + "/app.mobileprovision");
        std::vector<std::shared_ptr<QFProvisioningProfile>> nested;
        if (shape.appExtension) nested.push_back(profileFor("com.example.real.share", true, dir + "/share.mobileprovision"));
        EXPECT_EQ(resignAndVerify(package, r, appProfile, nested, &verdict), 0) << verdict;
        return package;
    }
    int verify(const std::string& app, std::string* verdict) {
        testkit::writeFile(dir + "/root.pem", testkit::pki::TestPKI::shared().root().certPem());
        return testkit::run({"/usr/bin/python3", std::string(IPA_SOURCE_DIR) + "/tests/codesign/independent_verify.py",
                             "--ca", dir + "/root.pem", "--provisioning", app},
                            verdict);
    }
};

bool hasLine(const Recorder& r, const std::string& line) {
    return std::find(r.lines.begin(), r.lines.end(), line) != r.lines.end();
}

}  // namespace

TEST_F(EntitlementsTest, ClaimsOfAnotherTeamAreSignedForTheNewTeamAsTheProfilesPermit) {
    using plist::Array;
    const Array movedGroups{kTeam + ".com.example.demo", kTeam + ".com.zyxwv.shared"};
    const Array ownShareGroup{kTeam + ".com.example.demo.share"};
    struct Case {
        const char* what;
        bool capabilities;  // profiles as the portal makes them; else one wildcard profile without any
        plist::Dict app, share;
        std::vector<std::string> lines;  // among the run's lines
    };
    const plist::Dict identity{{"application-identifier", kTeam + ".com.example.real"},
                               {"com.apple.developer.team-identifier", kTeam},
                               {"get-task-allow", true}};
    auto with = [](plist::Dict base, const plist::Dict& more) {
        for (const auto& [k, v] : more) base[k] = v;
        return base;
    };
    const plist::Dict shareIdentity{{"application-identifier", kTeam + ".com.example.real.share"},
                                    {"com.apple.developer.team-identifier", kTeam},
                                    {"get-task-allow", true}};
    const Case cases[] = {
        {"portal profiles",
         true,
         with(identity, {{"keychain-access-groups", movedGroups},
                         {"com.apple.security.application-groups", Array{"group.com.example.shared"}},
                         {"aps-environment", "development"},
                         {"com.apple.developer.associated-domains",
                          Array{"applinks:zyxwv.example", "webcredentials:zyxwv.example"}},
                         {"com.apple.developer.icloud-services", Array{"CloudKit"}},
                         {"com.apple.developer.icloud-container-identifiers", Array{"iCloud.com.example.demo"}},
                         {"com.apple.developer.ubiquity-kvstore-identifier", kTeam + ".com.example.demo"}}),
         with(shareIdentity, {{"keychain-access-groups", ownShareGroup},
                              {"com.apple.security.application-groups", Array{"group.com.example.shared"}}}),
         {"Demo.app is signed with the entitlements application-identifier, aps-environment, "
          "com.apple.developer.associated-domains, com.apple.developer.icloud-container-identifiers, "
          "com.apple.developer.icloud-services, com.apple.developer.team-identifier, "
          "com.apple.developer.ubiquity-kvstore-identifier, com.apple.security.application-groups, get-task-allow, "
          "keychain-access-groups.",
          "App groups (com.apple.security.application-groups): \"group.com.zyxwv.shared\" replaced by "
          "\"group.com.example.shared\", the values the profile \"Profile com.example.real\" names.",
          "Share.appex is signed with the entitlements application-identifier, com.apple.developer.team-identifier, "
          "com.apple.security.application-groups, get-task-allow, keychain-access-groups."}},
        {"a wildcard profile without capabilities",
         false,
         with(identity, {{"keychain-access-groups", movedGroups}}),
         with(shareIdentity, {{"keychain-access-groups", ownShareGroup}}),
         {"Push notifications (aps-environment) are not in the profile \"Wildcard\": the app will not receive them.",
          "Associated domains (com.apple.developer.associated-domains) are not in the profile \"Wildcard\": universal "
          "links and shared web credentials will not work."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        stdfs::remove_all(dir + "/in");
        auto package = open(claimingShape(true));
        Recorder r;
        std::string verdict;
        auto appProfile = profileFor(c.capabilities ? "com.example.real" : "*", c.capabilities, dir + "/app.mobileprovision");
        std::vector<std::shared_ptr<QFProvisioningProfile>> nested;
        if (c.capabilities) nested.push_back(profileFor("com.example.real.share", true, dir + "/share.mobileprovision"));
        EXPECT_EQ(resignAndVerify(package, r, appProfile, nested, &verdict), 0) << verdict;
        ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");
        EXPECT_EQ(signedEntitlements(package->appPath()), plist::Value(c.app));
        EXPECT_EQ(signedEntitlements(package->appPath() + "/PlugIns/Share.appex"), plist::Value(c.share));
        for (const auto& line : c.lines) EXPECT_TRUE(hasLine(r, line)) << line;
        // The record beside Payload is what the application was signed with.
        EXPECT_EQ(*plist::parse(testkit::archiveEntry(dir + "/out/Real.ipa", "Entitlements.plist")), plist::Value(c.app));
    }
}

TEST_F(EntitlementsTest, UnsignedExecutablesGetTheProfilesConcreteValues) {
    Recorder r;
    auto package = resignWithPortalProfiles(claimingShape(false), r);
    ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");
    const plist::Value app = signedEntitlements(package->appPath());
    const plist::Dict& keys = *app.asDict();
    EXPECT_EQ(*app.get("keychain-access-groups"), plist::Value(plist::Array{kTeam + ".com.example.real"}));
    EXPECT_EQ(*app.get("com.apple.developer.ubiquity-kvstore-identifier"), plist::Value(kTeam + ".com.example.real"));
    EXPECT_EQ(*app.get("com.apple.security.application-groups"), plist::Value(plist::Array{"group.com.example.shared"}));
    // Patterns with nothing to make them concrete are left out.
    EXPECT_FALSE(keys.count("com.apple.developer.associated-domains"));
    EXPECT_FALSE(keys.count("com.apple.developer.icloud-services"));
}

TEST_F(EntitlementsTest, HelpersAndXpcServicesKeepOnlyWhatTheyClaimedAsTheirCarrierIsSigned) {
    const std::string old = testkit::kOtherTeam;
    const plist::Dict claims{{"application-identifier", old + ".com.example.demo"},
                             {"com.apple.developer.team-identifier", old},
                             {"keychain-access-groups", plist::Array{old + ".com.example.demo"}},
                             {"com.apple.security.application-groups", plist::Array{"group.com.zyxwv.shared"}},
                             {"com.apple.developer.healthkit", true}};
    struct Case {
        const char* what;
        std::string claims;
        plist::Dict expected;
        std::vector<std::string> lines;
        bool extension = true;  // without one, only the helpers are nested
    };
    const Case cases[] = {
        {"claims of another team",
         plist::toXml(plist::Value(claims)),
         {{"application-identifier", kTeam + ".com.example.real"},
          {"com.apple.developer.team-identifier", kTeam},
          {"keychain-access-groups", plist::Array{kTeam + ".com.example.demo"}},
          {"com.apple.security.application-groups", plist::Array{"group.com.example.shared"}}},
         {"Helper.xpc is signed with the entitlements application-identifier, com.apple.developer.team-identifier, "
          "com.apple.security.application-groups, keychain-access-groups.",
          "The capability (com.apple.developer.healthkit) is not among the entitlements of \"Demo.app\", which "
          "carries this code: it goes without it."}},
        {"no claims, no extension", "", {}, {"helper is signed with the entitlements (none)."}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        stdfs::remove_all(dir + "/in");
        testkit::PackageSpec shape = claimingShape(true);
        shape.everyCodeKind = true;
        shape.helperClaims = c.claims;
        shape.appExtension = c.extension;
        Recorder r;
        auto package = resignWithPortalProfiles(shape, r);
        ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");
        for (const char* helper : {"/XPCServices/Helper.xpc", "/helper"})
            EXPECT_EQ(signedEntitlements(package->appPath() + helper), plist::Value(c.expected)) << helper;
        for (const auto& line : c.lines) EXPECT_TRUE(hasLine(r, line)) << line;
    }
}

TEST_F(EntitlementsTest, ChosenFileIsRefusedUpFrontWhenTheProfileDoesNotPermitItAndUsedWhenItDoes) {
    auto package = open(claimingShape(true));
    const std::string app = package->appPath();
    const std::string infoBefore = testkit::readFile(app + "/Info.plist");
    auto wildcard = profileFor("*", false, dir + "/app.mobileprovision");
    const std::string chosen = dir + "/chosen.entitlements";

    testkit::writeFile(chosen, plist::toXml(plist::Value(plist::Dict{{"aps-environment", "production"}})));
    package->setChosenEntitlements(chosen);
    Recorder refused;
    std::string verdict;
    resignAndVerify(package, refused, wildcard, {}, &verdict);
    ASSERT_TRUE(refused.error.has_value());
    EXPECT_NE(refused.error->find("claims aps-environment"), std::string::npos) << *refused.error;
    EXPECT_TRUE(refused.lines.empty());
    EXPECT_EQ(testkit::readFile(app + "/Info.plist"), infoBefore);
    EXPECT_FALSE(stdfs::exists(dir + "/out"));

    const plist::Dict mine{{"keychain-access-groups", plist::Array{kTeam + ".com.example.mine"}}, {"get-task-allow", false}};
    testkit::writeFile(chosen, plist::toXml(plist::Value(mine)));
    Recorder r;
    EXPECT_EQ(resignAndVerify(package, r, wildcard, {}, &verdict), 0) << verdict;
    ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");
    plist::Dict expected = mine;
    expected["application-identifier"] = kTeam + ".com.example.real";
    expected["com.apple.developer.team-identifier"] = kTeam;
    EXPECT_EQ(signedEntitlements(app), plist::Value(expected));
    // The extension keeps what was made for it.
    EXPECT_EQ(*signedEntitlements(app + "/PlugIns/Share.appex").get("application-identifier"),
              plist::Value(kTeam + ".com.example.real.share"));
}

TEST_F(EntitlementsTest, VerifierRejectsPatternsUnpermittedValuesAndForeignIdentifiers) {
    testkit::PackageSpec shape = claimingShape(false);
    shape.everyCodeKind = true;
    auto package = open(shape);
    Recorder r;
    std::string verdict;
    auto wildcard = profileFor("*", false, dir + "/app.mobileprovision");
    ASSERT_EQ(resignAndVerify(package, r, wildcard, {}, &verdict), 0) << verdict;
    const std::string app = package->appPath();
    struct Case {
        plist::Dict entitlements;
        const char* finding;
        const char* item = "";  // below the application; the helper cases come last
    };
    const Case cases[] = {
        {{{"application-identifier", kTeam + ".*"}}, "signed application-identifier ABCDE12345.* is not"},
        {{{"application-identifier", kTeam + ".com.example.real"}, {"keychain-access-groups", plist::Array{kTeam + ".*"}}},
         "signed entitlement keychain-access-groups holds a pattern"},
        {{{"application-identifier", kTeam + ".com.example.real"}, {"aps-environment", "development"}},
         "signed entitlement aps-environment is not in its profile"},
        {{{"application-identifier", kTeam + ".com.example.real"}, {"keychain-access-groups", plist::Array{"OTHER.x"}}},
         "signed entitlement keychain-access-groups = ['OTHER.x'] is not permitted by its profile"},
        {{{"application-identifier", kTeam + ".com.example.other"}},
         "signed application-identifier ABCDE12345.com.example.other is not its carrier's", "/helper"},
        {{{"aps-environment", "development"}}, "signed entitlement aps-environment is not in its carrier's profile",
         "/XPCServices/Helper.xpc"},
    };
    for (const auto& c : cases) {
        testkit::writeFile(dir + "/bad.plist", plist::toXml(plist::Value(c.entitlements)));
        std::string out;
        ASSERT_EQ(testkit::run({tool("codesign"), "-f", "-s", identity, "--entitlements", dir + "/bad.plist", app + c.item},
                               &out),
                  0)
            << out;
        EXPECT_EQ(verify(app, &verdict), 1) << c.finding;
        EXPECT_NE(verdict.find(c.finding), std::string::npos) << verdict;
    }
}

TEST_F(EntitlementsTest, IpaResignShowsLostCapabilitiesInOrangeAndRefusesAChosenFileTheProfileDoesNotPermit) {
    testkit::PackageSpec shape = claimingShape(true);
    shape.appExtension = false;
    const std::string ipa = testkit::buildPackage(dir + "/in/Demo.ipa", shape);
    profileFor("*", false, profilePath);
    auto run = [&](const std::vector<std::string>& more, std::string* out) {
        std::vector<std::string> argv = {tool("ipa-resign"), "--ipa", ipa, "--identity", identity, "--profile",
                                         profilePath, "--bundle-id", "com.example.real", "--output", dir + "/out"};
        argv.insert(argv.end(), more.begin(), more.end());
        return testkit::run(argv, out);
    };
    std::string out;
    ASSERT_EQ(run({"--json"}, &out), 0) << out;
    // The JSON line of the lost capability carries its colour.
    const auto at = out.find("Push notifications (aps-environment) are not in the profile \\\"Wildcard\\\"");
    ASSERT_NE(at, std::string::npos) << out;
    const auto start = out.rfind('\n', at) + 1;
    EXPECT_NE(out.substr(start, at - start).find("\"color\":\"orange\""), std::string::npos) << out;

    stdfs::remove_all(dir + "/out");
    testkit::writeFile(dir + "/chosen.plist", plist::toXml(plist::Value(plist::Dict{{"aps-environment", "development"}})));
    EXPECT_EQ(run({"--entitlements", dir + "/chosen.plist"}, &out), 1);
    EXPECT_NE(out.find("The entitlements file \"chosen.plist\" claims aps-environment, which the profile \"Wildcard\" "
                       "does not grant"),
              std::string::npos)
        << out;
    EXPECT_FALSE(stdfs::exists(dir + "/out"));
}

namespace {

// The independent verifier's findings on a re-signed application, its
// provisioning and the loader's layout included.
int strictVerdict(const std::string& app, std::string* findings) {
    const std::string root = testkit::makeScratchDir("root") + "/root.pem";
    testkit::writeFile(root, testkit::pki::TestPKI::shared().root().certPem());
    return testkit::run({"/usr/bin/python3", std::string(IPA_SOURCE_DIR) + "/tests/codesign/independent_verify.py",
                         "--ca", root, "--provisioning", "--strict", app},
                        findings);
}

}  // namespace

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
    std::string verdict;
    EXPECT_EQ(strictVerdict(app, &verdict), 0) << verdict;

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

TEST_F(RealToolsTest, EachRemovalGivesAPackageTheIndependentVerifierAccepts) {
    testkit::MachOSpec library;
    library.kind = testkit::MachOSpec::Kind::Dylib;
    ASSERT_EQ(testkit::buildMachO(dir + "/libTweak.dylib", library), "");
    struct Case {
        const char* what;
        std::function<void(engine::ResignOptions&)> ask;
        std::function<void(const std::string& app)> check;
    };
    auto loads = [](const std::string& executable) {
        codesign::InputFile input;
        EXPECT_TRUE(input.open(executable));
        auto slices = codesign::macho::readLibraries(input);
        std::vector<std::string> paths;
        if (slices && !slices->empty())
            for (const auto& load : slices->front().loads) paths.push_back(load.path);
        return paths;
    };
    const std::string tweak = "@executable_path/Frameworks/libTweak.dylib";
    // One package, re-signed once per case: the last case takes back what an
    // earlier one injected.
    testkit::PackageSpec shape;
    shape.watchApp = true;
    auto package = open(shape);
    auto info = *plist::parse(testkit::readFile(package->appPath() + "/Info.plist"));
    (*info.asDict())["UISupportedDevices"] = plist::Array{"iPhone10,3"};
    testkit::writeFile(package->appPath() + "/Info.plist", plist::toXml(info));
    const Case cases[] = {
        {"devices",
         [](auto& o) {
             o.removeSupportedDevices = true;
             o.deviceFamily = engine::DeviceFamily::iphone;
         },
         [](const std::string& app) {
             auto written = *plist::parse(testkit::readFile(app + "/Info.plist"));
             EXPECT_EQ(written.get("UISupportedDevices"), nullptr);
             EXPECT_EQ(*written.get("UIDeviceFamily"), plist::Value(plist::Array{1}));
         }},
        {"a named nested bundle and an injected library",
         [&](auto& o) {
             o.removeBundles = {"DemoWatchExt"};
             o.injectLibraries = {dir + "/libTweak.dylib"};
         },
         [&](const std::string& app) {
             EXPECT_FALSE(stdfs::exists(app + "/Watch/DemoWatch.app/PlugIns"));
             EXPECT_TRUE(stdfs::exists(app + "/Watch/DemoWatch.app"));
             EXPECT_EQ(loads(app + "/Demo").back(), tweak);
         }},
        {"every extension and the library again",
         [](auto& o) {
             o.removeExtensions = true;
             o.removeLibraries = {"libTweak.dylib"};
         },
         [&](const std::string& app) {
             EXPECT_FALSE(stdfs::exists(app + "/PlugIns"));
             EXPECT_FALSE(stdfs::exists(app + "/Frameworks/libTweak.dylib"));
             auto paths = loads(app + "/Demo");
             EXPECT_EQ(std::find(paths.begin(), paths.end(), tweak), paths.end());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        engine::ResignOptions options;
        c.ask(options);
        package->setResignOptions(options);
        Recorder r;
        stdfs::remove_all(dir + "/out");
        resign(package, r, std::string("com.example.real"), "Real", std::nullopt, identity);
        ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");
        const std::string unpacked = testkit::makeScratchDir("unpacked");
        ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", dir + "/out/Real.ipa", "-d", unpacked}), 0);
        std::string findings;
        EXPECT_EQ(strictVerdict(unpacked + "/Payload/Demo.app", &findings), 0) << findings;
        c.check(unpacked + "/Payload/Demo.app");
        stdfs::remove_all(unpacked);
    }

    // The strict verifier is not blind to a library that is loaded by name
    // and missing, nor to a link that leads out of the bundle.
    const std::string app = package->appPath();
    {
        codesign::InputFile input;
        ASSERT_TRUE(input.open(app + "/Demo"));
        codesign::macho::LibraryEdit gone;
        gone.add = {{codesign::macho::LC_LOAD_DYLIB, "@rpath/libGone.dylib"}};
        auto patches = codesign::macho::planLibraryEdit(input, gone);
        ASSERT_TRUE(patches);
        ASSERT_TRUE(codesign::macho::applyHeaderPatches(app + "/Demo", *patches));
    }
    stdfs::create_symlink("/etc/hostname", app + "/outside");
    std::string out;
    testkit::writeFile(dir + "/claims.plist", plist::toXml(plist::Value(plist::Dict{{"get-task-allow", true}})));
    ASSERT_EQ(testkit::run({tool("codesign"), "-f", "-s", identity, "--entitlements", dir + "/claims.plist", app}, &out), 0)
        << out;
    std::string findings;
    EXPECT_EQ(testkit::run({"/usr/bin/python3", std::string(IPA_SOURCE_DIR) + "/tests/codesign/independent_verify.py", app},
                           &findings),
              0)
        << findings;
    EXPECT_EQ(strictVerdict(app, &findings), 1);
    EXPECT_NE(findings.find("loads @rpath/libGone.dylib, which is not in the package"), std::string::npos) << findings;
    EXPECT_NE(findings.find("symlink leads out of the bundle: outside"), std::string::npos) << findings;
}

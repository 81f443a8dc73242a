// What a device checks, checked before a run changes anything, and the
// nested applications and extensions provisioned each as itself.
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "engine/QFProvisioningChecks.h"
#include "engine_fixture.h"
#include "platform/folders.h"

using namespace enginetest;
namespace stdfs = std::filesystem;
namespace plist = platform::plist;
namespace pki = testkit::pki;

namespace {

// Every entry of a tree with its kind and bytes.
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> entries;
    for (auto it = stdfs::recursive_directory_iterator(root); it != stdfs::recursive_directory_iterator(); ++it) {
        const std::string relative = stdfs::relative(it->path(), root).string();
        if (it->is_symlink()) entries[relative] = "link:" + stdfs::read_symlink(it->path()).string();
        else if (it->is_directory()) entries[relative] = "folder";
        else entries[relative] = "file:" + testkit::readFile(it->path().string());
    }
    return entries;
}

// Turns the LC_UUID command of a thin 64-bit little-endian Mach-O into an
// LC_ENCRYPTION_INFO_64 with cryptid 1 (both commands are 24 bytes long).
void markEncrypted(const std::string& file) {
    std::string bytes = testkit::readFile(file);
    auto word = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    };
    auto put = [&](size_t at, uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); };
    ASSERT_EQ(word(0), 0xfeedfacfu);
    size_t at = 32;
    for (uint32_t i = 0, n = word(16); i < n; ++i) {
        if (word(at) == 0x1b) {  // LC_UUID
            put(at, 0x2c);
            for (size_t field = 8; field < 24; field += 4) put(at + field, field == 16 ? 1 : 0);
            testkit::writeFile(file, bytes);
            return;
        }
        at += word(at + 4);
    }
    FAIL() << "no LC_UUID in " << file;
}

class ProvisioningTest : public EngineTest {
protected:
    void TearDown() override {
        stdfs::remove_all(installedFolder());
        EngineTest::TearDown();
    }
    static std::string installedFolder() {
        return platform::folders::homeDirectory() + "/Library/MobileDevice/Provisioning Profiles";
    }
    static pki::ProfileOptions options(const std::string& name, const std::string& bundleId, const std::string& uuid) {
        pki::ProfileOptions o;
        o.name = name;
        o.bundleId = bundleId;
        o.uuid = uuid;
        return o;
    }
    std::string writeProfile(const std::string& file, const pki::ProfileOptions& o) {
        testkit::writeFile(file, pki::makeProfile(o));
        return file;
    }
    std::map<std::string, std::string> infoOf(const std::string& bundle) {
        auto info = *plist::parse(testkit::readFile(bundle + "/Info.plist"));
        std::map<std::string, std::string> keys;
        for (const char* key : {"CFBundleIdentifier", "WKCompanionAppBundleIdentifier", "CFBundleDisplayName"})
            if (const plist::Value* v = info.get(key)) keys[key] = *v->asString();
        if (const plist::Value* e = info.get("NSExtension"))
            keys["WKAppBundleIdentifier"] = *e->get("NSExtensionAttributes")->get("WKAppBundleIdentifier")->asString();
        return keys;
    }
    // The entitlements file each signed item was given.
    std::map<std::string, std::string> entitlementsBySignedItem() {
        std::map<std::string, std::string> out;
        for (const auto& call : recordedCalls(codesignLog))
            if (call.size() == 5 && call[0] == "-vvv") out[lastComponent(call[3])] = call[4].substr(std::strlen("--entitlements="));
        return out;
    }
};

}  // namespace

TEST_F(ProvisioningTest, NestedBundlesFollowTheIdentifierAndGetTheirOwnProfileEachWay) {
    // The chosen profile is a wildcard for com.example.*; the share extension
    // gets a profile given for it, the watch application an installed one,
    // and the watch extension, with neither, the chosen wildcard.
    writeProfile(profilePath, options("Chosen Wildcard", "com.example.*", "00000000-0000-4000-8000-000000000001"));
    auto shareProfile = std::make_shared<QFProvisioningProfile>(writeProfile(
        dir + "/share.mobileprovision", options("Share Given", "com.example.new.share", "00000000-0000-4000-8000-000000000002")));
    writeProfile(installedFolder() + "/watch.mobileprovision",
                 options("Watch Installed", "com.example.new.watchkitapp", "00000000-0000-4000-8000-000000000003"));
    // An installed profile of another team for the same identifier is passed over.
    auto otherTeam = options("Watch A Other Team", "com.example.new.watchkitapp", "00000000-0000-4000-8000-000000000004");
    otherTeam.teamId = "ZZZZZ99999";
    writeProfile(installedFolder() + "/a-other-team.mobileprovision", otherTeam);

    // A signer that keeps what it was given to sign each item with.
    QFToolPaths tools = QFToolPaths::current();
    const std::string keeper = dir + "/keeper/codesign";
    testkit::writeFile(keeper,
                       "#!/bin/sh\nif [ \"$1\" = -vvv ]; then mkdir -p " + shellQuote(dir + "/kept") +
                           "; cp \"${5#--entitlements=}\" " + shellQuote(dir + "/kept") +
                           "/\"$(basename \"$4\")\"; fi\nexec " + shellQuote(tools.codesign) + " \"$@\"\n",
                       true);
    tools.codesign = keeper;
    QFToolPaths::setCurrent(tools);

    testkit::PackageSpec shape;
    shape.watchApp = true;
    auto package = open(shape);
    package->setNestedProfiles({shareProfile});
    Recorder r;
    resign(package, r, std::string("com.example.new"));
    ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");

    const std::string app = package->appPath();
    const std::string share = app + "/PlugIns/Share.appex", watch = app + "/Watch/DemoWatch.app",
                      watchExtension = watch + "/PlugIns/DemoWatchExt.appex";
    EXPECT_EQ(infoOf(share), (std::map<std::string, std::string>{{"CFBundleIdentifier", "com.example.new.share"}}));
    EXPECT_EQ(infoOf(watch), (std::map<std::string, std::string>{{"CFBundleIdentifier", "com.example.new.watchkitapp"},
                                                                  {"WKCompanionAppBundleIdentifier", "com.example.new"},
                                                                  {"CFBundleDisplayName", "Watch Own Name"}}));
    EXPECT_EQ(infoOf(watchExtension),
              (std::map<std::string, std::string>{{"CFBundleIdentifier", "com.example.new.watchkitapp.extension"},
                                                  {"WKAppBundleIdentifier", "com.example.new.watchkitapp"}}));

    // Each embeds its own profile and is signed as itself under it.
    const std::map<std::string, std::string> profileOf = {{"Share.appex", dir + "/share.mobileprovision"},
                                                          {"DemoWatch.app", installedFolder() + "/watch.mobileprovision"},
                                                          {"DemoWatchExt.appex", profilePath},
                                                          {"Demo.app", profilePath}};
    auto entitlements = entitlementsBySignedItem();
    for (const auto& [bundle, profile] : profileOf) {
        SCOPED_TRACE(bundle);
        const std::string path = bundle == "Demo.app" ? app : bundle == "Share.appex" ? share
                                                          : bundle == "DemoWatch.app" ? watch
                                                                                      : watchExtension;
        EXPECT_EQ(testkit::readFile(path + "/embedded.mobileprovision"), testkit::readFile(profile));
        ASSERT_TRUE(entitlements.count(bundle));
        auto kept = plist::parse(testkit::readFile(dir + "/kept/" + bundle));
        ASSERT_TRUE(kept.has_value());
        auto info = plist::parse(testkit::readFile(path + "/Info.plist"));
        EXPECT_EQ(*kept->get("application-identifier"),
                  plist::Value("ABCDE12345." + *info->get("CFBundleIdentifier")->asString()));
    }
    // Frameworks keep the application's entitlements, as before.
    EXPECT_EQ(entitlements["W.framework"], package->workPath() + "/Entitlements.plist");

    // The log names each bundle's profile; the archive holds nothing more than before.
    auto said = [&](const std::string& text) {
        return std::any_of(r.lines.begin(), r.lines.end(), [&](const std::string& l) { return l == text; });
    };
    EXPECT_TRUE(said("Nested bundle PlugIns/Share.appex (com.example.new.share) gets the profile \"Share Given\" "
                     "(00000000-0000-4000-8000-000000000002), given for it"));
    EXPECT_TRUE(said("Nested bundle Watch/DemoWatch.app (com.example.new.watchkitapp) gets the profile \"Watch "
                     "Installed\" (00000000-0000-4000-8000-000000000003), installed"));
    EXPECT_TRUE(said("Nested bundle Watch/DemoWatch.app/PlugIns/DemoWatchExt.appex "
                     "(com.example.new.watchkitapp.extension) gets the profile \"Chosen Wildcard\" "
                     "(00000000-0000-4000-8000-000000000001), the chosen wildcard profile"));
    for (const auto& name : testkit::archiveEntries(dir + "/out/New Name.ipa"))
        EXPECT_EQ(name.rfind("NestedEntitlements", 0), std::string::npos) << name;
    EXPECT_FALSE(stdfs::exists(package->workPath() + "/NestedEntitlements"));
}

TEST_F(ProvisioningTest, EveryRefusalComesFirstAndLeavesTheWorkTreeAsUnpacked) {
    const auto& ca = pki::TestPKI::shared();
    const auto now = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    struct Case {
        const char* what;
        std::function<void(pki::ProfileOptions&)> profile;
        std::string identifier;
        std::string expected;  // the start of the refusal
        std::function<void(testkit::PackageSpec&)> shape = [](testkit::PackageSpec&) {};
        bool encrypt = false;
        bool noCertificate = false;
        std::function<void(plist::Value&)> edit = nullptr;
    };
    const std::vector<Case> cases = {
        {"certificate not listed", [&](auto& o) { o.developerCertificates = {ca.issueLeaf().certDer}; }, "com.example.new",
         "The profile \"Chosen Profile\" does not list the certificate of \"Apple Development: Jane Doe (ABCDE12345)\""},
        {"another team", [](auto& o) { o.teamId = "ZZZZZ99999"; }, "com.example.new",
         "The profile \"Chosen Profile\" is for team ZZZZZ99999, but the certificate"},
        {"expired", [&](auto& o) { o.expirationDate = now - std::chrono::hours(1); }, "com.example.new",
         "The profile \"Chosen Profile\" has expired"},
        {"not yet valid", [&](auto& o) { o.creationDate = now + std::chrono::hours(1); }, "com.example.new",
         "The profile \"Chosen Profile\" is not valid yet"},
        {"no entitlements", [](auto& o) { o.withEntitlements = false; }, "com.example.new",
         "The profile \"Chosen Profile\" has no entitlements"},
        {"no application-identifier", [](auto&) {}, "com.example.new",
         "The profile \"Chosen Profile\" has no application-identifier",
         [](auto&) {}, false, false,
         [](plist::Value& v) { (*v.asDict())["Entitlements"].asDict()->erase("application-identifier"); }},
        {"invalid identifier", [](auto&) {}, "com.example.n w", "The bundle identifier \"com.example.n w\" is not valid"},
        {"identifier outside the profile", [](auto& o) { o.bundleId = "com.example.chosen"; }, "com.example.other",
         "The bundle identifier \"com.example.other\" does not fit the profile"},
        {"wildcard as the identifier", [](auto&) {}, "*", "The profile \"Chosen Profile\" is a wildcard profile"},
        {"encrypted executable", [](auto&) {}, "com.example.new", "The executable \"Demo\" is encrypted",
         [](auto&) {}, true},
        {"nested bundle without profile", [](auto& o) { o.bundleId = "com.example.new"; }, "com.example.new",
         "The nested bundle \"PlugIns/Share.appex\" needs a provisioning profile for ABCDE12345.com.example.new.share"},
        {"identity not in the keychain", [](auto&) {}, "com.example.new",
         "The certificate of the signing identity", [](auto&) {}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto o = profileOptions();
        c.profile(o);
        plist::Value value = pki::profileValue(o);
        if (c.edit) c.edit(value);
        testkit::writeFile(profilePath, pki::cmsSign(plist::toXml(value)));
        useDoubles();
        if (c.noCertificate) {
            QFToolPaths tools = QFToolPaths::current();
            tools.security = dir + "/no-identity/security";
            testkit::writeFile(tools.security, "#!/bin/sh\n[ \"$1\" = find-certificate ] && exit 44\nexit 0\n", true);
            QFToolPaths::setCurrent(tools);
        }

        testkit::PackageSpec shape;
        shape.frameworks = false;
        c.shape(shape);
        const std::string root = testkit::makeScratchDir("refusal");
        const std::string app = testkit::buildPackageTree(root, shape);
        if (c.encrypt) markEncrypted(app + "/Demo");
        stdfs::create_directories(dir + "/in");
        testkit::zipTree(root, dir + "/in/Demo.ipa");
        auto package = openIpa(dir + "/in/Demo.ipa");
        const auto before = snapshot(package->workPath());

        // As the run meets it on its own, without the window's removal first.
        Recorder r;
        package->resignWithProvisioningProfile(chosenProfile(), "Apple Development: Jane Doe (ABCDE12345)",
                                               c.identifier, "New Name", dir + "/out", r.log(), r.onError(),
                                               r.onSuccess());
        ASSERT_TRUE(testkit::pumpUntil([&] { return r.ended(); }));
        ASSERT_TRUE(r.error.has_value());
        EXPECT_EQ(r.error->rfind(c.expected, 0), 0u) << *r.error;
        EXPECT_TRUE(r.lines.empty());
        EXPECT_EQ(snapshot(package->workPath()), before);
        EXPECT_FALSE(stdfs::exists(codesignLog));
        EXPECT_FALSE(stdfs::exists(dir + "/out"));
        package->removeWorkDirectory();
    }
}

TEST_F(ProvisioningTest, IdentifierRulesAndMalformedMachOHeaders) {
    using engine::IdentifierFit;
    struct Fit {
        const char* applicationIdentifier;
        const char* identifier;
        IdentifierFit fit;
    };
    for (const Fit& f : {Fit{"T.com.a.b", "com.a.b", IdentifierFit::Exact}, Fit{"T.com.a.*", "com.a.b.c", IdentifierFit::Wildcard},
                         Fit{"T.*", "x", IdentifierFit::Wildcard}, Fit{"T.com.a.*", "com.b", IdentifierFit::None},
                         Fit{"T.com.a.b", "com.a.bc", IdentifierFit::None}, Fit{"T", "T", IdentifierFit::None}})
        EXPECT_EQ(engine::fitsApplicationIdentifier(f.applicationIdentifier, f.identifier), f.fit)
            << f.applicationIdentifier << " " << f.identifier;
    for (const char* bad : {"", ".a", "a.", "a..b", "a b", "a_b", "a*", "ä.b"})
        EXPECT_FALSE(engine::isValidBundleIdentifier(bad)) << bad;
    EXPECT_EQ(engine::nestedIdentifier("com.a.x.y", "com.a", "org.b"), "org.b.x.y");
    EXPECT_EQ(engine::nestedIdentifier("com.a", "com.a", "org.b"), "org.b");
    EXPECT_EQ(engine::nestedIdentifier("com.ab.x", "com.a", "org.b"), "com.ab.x");

    // Headers that lie about their sizes are answered without reading past
    // the file; only a real encryption command counts.
    auto le = [](std::initializer_list<uint32_t> words) {
        std::string out;
        for (uint32_t w : words) out.append(reinterpret_cast<const char*>(&w), 4);
        return out;
    };
    auto be = [](std::initializer_list<uint32_t> words) {
        std::string out;
        for (uint32_t w : words)
            for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(w >> shift);
        return out;
    };
    const std::string header64 = le({0xfeedfacf, 0x0100000c, 0, 2, 1, 24, 0, 0});
    const std::string encryption = le({0x2c, 24, 0, 0, 1, 0});
    struct Bytes {
        const char* what;
        std::string bytes;
        bool encrypted;
    };
    const std::vector<Bytes> files = {
        {"encrypted thin", header64 + encryption, true},
        {"cryptid 0", header64 + le({0x2c, 24, 0, 0, 0, 0}), false},
        {"truncated header", header64.substr(0, 20), false},
        {"commands beyond the file", le({0xfeedfacf, 0x0100000c, 0, 2, 1, 0x7fffffff, 0, 0}) + encryption, false},
        {"command size zero", le({0xfeedfacf, 0x0100000c, 0, 2, 2, 24, 0, 0}) + le({0x2c, 0, 0, 0, 1, 0}), false},
        {"command size past the commands", le({0xfeedfacf, 0x0100000c, 0, 2, 1, 24, 0, 0}) + le({0x2c, 4096, 0, 0, 1, 0}), false},
        {"short encryption command", le({0xfeedfacf, 0x0100000c, 0, 2, 1, 16, 0, 0}) + le({0x2c, 16, 0, 0}) , false},
        {"fat with an encrypted slice", be({0xcafebabe, 1, 0x0100000c, 0, 28, 56, 0}) + header64 + encryption, true},
        {"fat slice beyond the file", be({0xcafebabe, 1, 0x0100000c, 0, 28, 0x7fffffff, 0}) + header64 + encryption, false},
        {"fat with too many slices", be({0xcafebabe, 0xffffffff}), false},
        {"not Mach-O", "plain text, long enough to be read as a header", false},
    };
    for (const auto& f : files) {
        testkit::writeFile(dir + "/macho", f.bytes);
        EXPECT_EQ(engine::isEncryptedMachO(dir + "/macho"), f.encrypted) << f.what;
    }
}

TEST_F(ProvisioningTest, ACheckJustPassedServesTheRunUnlessWhatItReadWasSetSince) {
    // The security double, counting the identity lookups each check makes.
    const std::string counted = dir + "/counted/security";
    const std::string lookups = dir + "/lookups.txt";
    testkit::writeFile(counted,
                       "#!/bin/sh\n[ \"$1\" = find-certificate ] && echo x >> " + shellQuote(lookups) + "\nexec " +
                           shellQuote(writeSecurityDouble(dir)) + " \"$@\"\n",
                       true);
    const std::string identity = "Apple Development: Jane Doe (ABCDE12345)";
    struct Case {
        const char* what;
        std::function<void(QFAppPackageHandler&)> between;
        std::string checkedIdentity;
        int lookups;
    };
    const std::vector<Case> cases = {
        {"nothing set since", [](QFAppPackageHandler&) {}, identity, 1},
        {"options set since", [](QFAppPackageHandler& p) { p.setResignOptions({}); }, identity, 2},
        {"entitlements chosen since", [](QFAppPackageHandler& p) { p.setChosenEntitlements(std::nullopt); }, identity, 2},
        {"nested profiles set since", [](QFAppPackageHandler& p) { p.setNestedProfiles({}); }, identity, 2},
        {"another identity checked", [](QFAppPackageHandler&) {}, "Apple Development: John Doe (ABCDE12345)", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        useDoubles({}, counted);
        stdfs::remove(lookups);
        auto package = open();
        auto profile = chosenProfile();  // the one object, as the window and the command hand it on
        std::optional<std::string> refusal = "not checked";
        package->checkProvisioning(profile, c.checkedIdentity, std::string("com.example.new"),
                                   [&](std::optional<std::string> answer) { refusal = std::move(answer); });
        ASSERT_TRUE(testkit::pumpUntil([&] { return !refusal || *refusal != "not checked"; }));
        ASSERT_FALSE(refusal) << *refusal;
        c.between(*package);
        Recorder r;
        package->removeCodeSignatureDirectory();
        package->resignWithProvisioningProfile(profile, identity, std::string("com.example.new"), "New Name",
                                               dir + "/out", r.log(), r.onError(), r.onSuccess());
        ASSERT_TRUE(testkit::pumpUntil([&] { return r.ended(); }));
        EXPECT_TRUE(r.success) << r.error.value_or("");
        const std::string made = testkit::readFile(lookups);
        EXPECT_EQ(std::count(made.begin(), made.end(), 'x'), c.lookups);
        package->removeWorkDirectory();
    }
}

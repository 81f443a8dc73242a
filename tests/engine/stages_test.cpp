// The stages one by one: entitlements, Info.plist, embedded profile, signing.
#include <filesystem>

#include "engine/QFSigningList.h"
#include "engine_fixture.h"

using namespace enginetest;
namespace stdfs = std::filesystem;
namespace plist = platform::plist;

namespace {

// Runs one asynchronous stage on the package and waits for its report.
template <typename Start>
void runStage(Recorder& r, Start start) {
    start(r.log(), r.onError(), r.onSuccess());
    ASSERT_TRUE(testkit::pumpUntil([&] { return r.ended(); }));
    EXPECT_EQ(r.ends, 1);
}

// The test profile's entitlements made concrete for the package as built,
// whose executable claims nothing.
plist::Value madeForDemo() {
    return plist::Dict{{"application-identifier", "ABCDE12345.com.example.demo"},
                       {"com.apple.developer.team-identifier", "ABCDE12345"},
                       {"get-task-allow", true},
                       {"keychain-access-groups", plist::Array{"ABCDE12345.com.example.demo"}}};
}
const char* const kDemoKeysLine = "Demo.app is signed with the entitlements application-identifier, "
                                  "com.apple.developer.team-identifier, get-task-allow, keychain-access-groups.";

}  // namespace

TEST_F(EngineTest, EntitlementsComeFromTheDecodedProfileMadeConcrete) {
    auto package = open();
    const std::string target = package->workPath() + "/Entitlements.plist";
    const auto expected = madeForDemo();
    struct Case {
        const char* name;
        std::string firstLine;
    };
    for (const Case& c : {Case{"plain", ""}, Case{"policy warning first", "security: SecPolicySetValue: One or more parameters passed to a function were not valid."}}) {
        SCOPED_TRACE(c.name);
        testkit::writeFile(target, "stale");
        useDoubles({}, writeSecurityDouble(dir, c.firstLine));
        Recorder r;
        runStage(r, [&](auto l, auto e, auto s) { package->createEntitlementsWithProvisioning(chosenProfile(), l, e, s); });
        EXPECT_EQ(r.success, "Entitlements generated") << r.error.value_or("");
        EXPECT_EQ(r.lines, (std::vector<std::string>{"Generating entitlements..", kDemoKeysLine}));
        EXPECT_EQ(*plist::parse(testkit::readFile(target)), expected);
        EXPECT_EQ(testkit::readFile(target).rfind("<?xml version=\"1.0\"", 0), 0u);
    }
    // A profile whose content is a binary property list, decoded by our own tool:
    // its bytes reach the parser unchanged and give the same entitlements.
    testkit::writeFile(profilePath, testkit::pki::makeProfile(profileOptions(), true));
    useDoubles({}, testkit::binDir() + "/security");
    Recorder r;
    runStage(r, [&](auto l, auto e, auto s) { package->createEntitlementsWithProvisioning(chosenProfile(), l, e, s); });
    EXPECT_EQ(r.success, "Entitlements generated") << r.error.value_or("");
    EXPECT_EQ(*plist::parse(testkit::readFile(target)), expected);
}

TEST_F(EngineTest, EntitlementsFailuresReportTheStageMessage) {
    auto package = open();
    const std::string target = package->workPath() + "/Entitlements.plist";
    struct Case {
        const char* name;
        std::string security;
    };
    std::vector<Case> cases = {
        {"tool fails", writeSecurityDouble(dir, "", std::string("security: failed to decode\n"), 1)},
        {"not a property list", writeSecurityDouble(dir + "/b", "", std::string("garbage <plist"), 0)},
        {"root not a dictionary", writeSecurityDouble(dir + "/c", "", plist::toXml(plist::Array{1}), 0)},
        {"entitlements not a dictionary",
         writeSecurityDouble(dir + "/d", "", plist::toXml(plist::Dict{{"Entitlements", "x"}}), 0)},
        {"tool missing", dir + "/no-such-security"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        useDoubles({}, c.security);
        Recorder r;
        runStage(r, [&](auto l, auto e, auto s) { package->createEntitlementsWithProvisioning(chosenProfile(), l, e, s); });
        EXPECT_EQ(r.error, "Entitlements generation failed. Please try again");
        EXPECT_FALSE(stdfs::exists(target));
    }
}

TEST_F(EngineTest, EntitlementsSurviveNonAsciiAndMissingKeys) {
    auto package = open();
    const std::string target = package->workPath() + "/Entitlements.plist";
    {
        SCOPED_TRACE("accented names and a stray invalid byte");
        auto options = profileOptions();
        options.name = "Équipe Zoë – Développement";
        std::string xml = testkit::pki::profilePlist(options);
        xml.insert(xml.find("<plist"), "<!-- \xff -->\n");
        useDoubles({}, writeSecurityDouble(dir, "", xml));
        Recorder r;
        runStage(r, [&](auto l, auto e, auto s) { package->createEntitlementsWithProvisioning(chosenProfile(), l, e, s); });
        EXPECT_EQ(r.success, "Entitlements generated") << r.error.value_or("");
        EXPECT_EQ(*plist::parse(testkit::readFile(target)), madeForDemo());
    }
    {
        SCOPED_TRACE("no Entitlements key");
        useDoubles({}, writeSecurityDouble(dir + "/e", "", plist::toXml(plist::Dict{{"Name", "x"}})));
        Recorder r;
        runStage(r, [&](auto l, auto e, auto s) { package->createEntitlementsWithProvisioning(chosenProfile(), l, e, s); });
        EXPECT_EQ(r.success, "Entitlements generated");
        EXPECT_EQ(*plist::parse(testkit::readFile(target)), plist::Value(plist::Dict{}));
    }
}

TEST_F(EngineTest, InfoPlistEditingKeepsOtherKeysAndWritesXml) {
    testkit::PackageSpec shape;
    shape.binaryInfoPlist = true;
    shape.displayName = std::nullopt;
    auto package = open(shape);
    const std::string file = package->appPath() + "/Info.plist";
    auto before = *plist::parse(testkit::readFile(file));

    Recorder r;
    package->editInfoPlistWithIdentifier(std::string("com.example.edited"), std::string("Édité"), r.log(), r.onError(),
                                         r.onSuccess());
    EXPECT_EQ(r.success, "File Info.plist edited properly");
    EXPECT_EQ(r.lines, std::vector<std::string>{"Editing the Info.plist file..."});
    std::string bytes = testkit::readFile(file);
    EXPECT_EQ(bytes.rfind("<?xml", 0), 0u);
    auto after = *plist::parse(bytes);
    (*before.asDict())["CFBundleIdentifier"] = "com.example.edited";
    (*before.asDict())["CFBundleDisplayName"] = "Édité";
    EXPECT_EQ(after, before);
}

TEST_F(EngineTest, InfoPlistThatIsNoDictionaryIsLeftAlone) {
    auto package = open();
    const std::string file = package->appPath() + "/Info.plist";
    for (std::string damaged : {std::string("\0\1garbage", 9), plist::toXml(plist::Array{"a"})}) {
        testkit::writeFile(file, damaged);
        Recorder r;
        package->editInfoPlistWithIdentifier(std::string("a"), std::string("b"), r.log(), r.onError(), r.onSuccess());
        EXPECT_EQ(r.error, "The IPA file you selected is corrupted: the app is unable to find a proper Info.plist file");
        EXPECT_EQ(testkit::readFile(file), damaged);
    }
}

TEST_F(EngineTest, EmbeddedProfileIsReplacedByAnExactCopy) {
    auto package = open();
    const std::string app = package->appPath();
    stdfs::rename(app + "/embedded.mobileprovision", app + "/old.provisionprofile");
    Recorder r;
    package->editEmbeddedProvision(chosenProfile(), r.log(), r.onError(), r.onSuccess());
    EXPECT_EQ(r.success, "Embedded Provision edited successfully");
    EXPECT_FALSE(stdfs::exists(app + "/old.provisionprofile"));
    EXPECT_EQ(testkit::readFile(app + "/embedded.mobileprovision"), testkit::readFile(profilePath));

    // A chosen profile that is a link is embedded by its bytes, not as the link.
    stdfs::create_symlink(profilePath, dir + "/Linked.mobileprovision");
    stdfs::remove(app + "/embedded.mobileprovision");
    Recorder linked;
    package->editEmbeddedProvision(std::make_shared<QFProvisioningProfile>(dir + "/Linked.mobileprovision"),
                                   linked.log(), linked.onError(), linked.onSuccess());
    EXPECT_EQ(linked.success, "Embedded Provision edited successfully");
    EXPECT_FALSE(stdfs::is_symlink(app + "/embedded.mobileprovision"));
    EXPECT_EQ(testkit::readFile(app + "/embedded.mobileprovision"), testkit::readFile(profilePath));

    Recorder missing;
    package->editEmbeddedProvision(std::make_shared<QFProvisioningProfile>(std::nullopt), missing.log(),
                                   missing.onError(), missing.onSuccess());
    EXPECT_EQ(missing.error, "Embedded Provision editing failed. Please try again");
}

TEST_F(EngineTest, SigningListIsInsideOut) {
    EXPECT_EQ(engine::insideOut({"A.framework", "A.framework/Frameworks/B.framework",
                                 "A.framework/Frameworks/B.framework/C.dylib", "A.framework/x.dylib", "D.dylib"}),
              (std::vector<std::string>{"A.framework/Frameworks/B.framework/C.dylib",
                                        "A.framework/Frameworks/B.framework", "A.framework/x.dylib", "A.framework",
                                        "D.dylib"}));
    // A name that only starts like a folder is not inside it.
    EXPECT_EQ(engine::insideOut({"A.framework", "A.frameworkX.dylib"}),
              (std::vector<std::string>{"A.framework", "A.frameworkX.dylib"}));
}

TEST_F(EngineTest, SigningListTakesEveryKindOfNestedCodeByContentInsideOut) {
    testkit::PackageSpec shape;
    shape.frameworks = false;
    shape.appExtension = false;
    auto plain = open(shape);
    EXPECT_EQ(engine::signingList(plain->appPath()), std::vector<std::string>{plain->appPath()});

    shape.everyCodeKind = true;
    auto package = open(shape);
    const std::string app = package->appPath();
    // Not code: a file named like a library, a bundle that names no
    // executable or a missing one, links (signed where they lead), and the
    // dSYM the shape carries.
    testkit::writeFile(app + "/Frameworks/libY.DYLIB", "not a library");
    testkit::writeFile(app + "/PlugIns/Empty.appex/Info.plist",
                       platform::plist::toXml(platform::plist::Dict{{"CFBundleIdentifier", "com.example.empty"}}));
    testkit::writeFile(app + "/PlugIns/Gone.appex/Info.plist",
                       platform::plist::toXml(platform::plist::Dict{{"CFBundleExecutable", "Gone"}}));
    stdfs::create_directory_symlink("Helper.xpc", app + "/XPCServices/Alias.xpc");
    stdfs::create_symlink("../helper", app + "/Frameworks/tool-link");
    std::vector<std::string> expected;
    for (const auto& item : testkit::everyCodeKindItems()) expected.push_back(item.empty() ? app : app + "/" + item);
    EXPECT_EQ(engine::signingList(app), expected);
}

TEST_F(EngineTest, SigningAnApplicationWithoutFrameworks) {
    testkit::PackageSpec shape;
    shape.frameworks = false;
    shape.appExtension = false;
    auto package = open(shape);
    Recorder r;
    runStage(r, [&](auto l, auto e, auto s) { package->doCodesign("id", l, e, s); });
    EXPECT_EQ(r.lines, (std::vector<std::string>{"Beginning the codesign...", "start codesigning with Demo.app...",
                                                 "Verifying codesign: Demo.app", "Demo.app codesigning done"}));
    EXPECT_EQ(r.success, "Verification Codesigning dones");
}

TEST_F(EngineTest, SigningTwoAtATimeLogsInListOrderAndStopsAtAFailure) {
    // Inner.framework, then A.framework beside libX.dylib, then S.framework,
    // Share.appex and Demo.app. A slow A.framework lets its neighbour end first.
    auto itemLines = [](const std::string& item, bool done) {
        std::vector<std::string> lines{"start codesigning with " + item + "...", "Verifying codesign: " + item};
        if (done) lines.push_back(item + " codesigning done");
        return lines;
    };
    struct Case {
        const char* name;
        std::string failVerifying;
        std::vector<std::pair<std::string, bool>> reported;  // item, whether done
    };
    const std::vector<Case> cases = {
        {"all pass: the log keeps the list's order", "",
         {{"Inner.framework", true}, {"A.framework", true}, {"libX.dylib", true}, {"S.framework", true},
          {"Share.appex", true}, {"Demo.app", true}}},
        {"the neighbour ends first and fails: reported after the slow item before it", "libX.dylib",
         {{"Inner.framework", true}, {"A.framework", true}, {"libX.dylib", false}}},
        {"the slow item fails: the neighbours after it are not reported", "A.framework",
         {{"Inner.framework", true}, {"A.framework", false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto package = open();
        CodesignScript script;
        script.slowSigning = "A.framework";
        script.failVerifying = c.failVerifying;
        useDoubles(script);
        stdfs::remove(codesignLog);
        Recorder r;
        runStage(r, [&](auto l, auto e, auto s) { package->doCodesign("id", l, e, s); });
        std::vector<std::string> expected{"Beginning the codesign..."};
        for (const auto& [item, done] : c.reported)
            for (auto& line : itemLines(item, done)) expected.push_back(line);
        EXPECT_EQ(r.lines, expected);
        EXPECT_EQ(r.ends, 1);
        if (c.failVerifying.empty()) {
            EXPECT_EQ(r.success, "Verification Codesigning dones");
        } else {
            ASSERT_TRUE(r.error.has_value());
            EXPECT_NE(r.error->find(c.failVerifying + ": invalid signature"), std::string::npos) << *r.error;
            // The application, which contains every item, was never reached.
            for (const auto& call : recordedCalls(codesignLog))
                EXPECT_NE(call.back(), package->appPath()) << "the application was signed after a failure";
        }
    }
}

TEST_F(EngineTest, VerificationPassesOnlyWithoutOutputAndWithStatusZero) {
    testkit::PackageSpec shape;
    shape.appExtension = false;
    auto package = open(shape);
    for (bool bySignal : {false, true}) {
        SCOPED_TRACE(bySignal ? "a silent verifier killed by a signal fails the item"
                              : "a silent verifier that exits 1 fails the item");
        CodesignScript script;
        script.verifyExitsNonZero = !bySignal;
        script.verifyDiesBySignal = bySignal;
        useDoubles(script);
        Recorder r;
        runStage(r, [&](auto l, auto e, auto s) { package->doCodesign("id", l, e, s); });
        ASSERT_TRUE(r.error.has_value());
        EXPECT_EQ(r.error->rfind("Signing failed with error: ", 0), 0u);
        EXPECT_NE(r.error->find(bySignal ? "status 137" : "status 1 "), std::string::npos) << *r.error;
        EXPECT_EQ(r.lines.back(), "Verifying codesign: Inner.framework") << "the first item stops the stage";
    }
    {
        SCOPED_TRACE("output printed after the tool has ended still fails the item");
        CodesignScript script;
        script.lateFailVerifying = "A.framework";
        useDoubles(script);
        Recorder r;
        runStage(r, [&](auto l, auto e, auto s) { package->doCodesign("id", l, e, s); });
        ASSERT_TRUE(r.error.has_value());
        EXPECT_NE(r.error->find("A.framework: a sealed resource is missing or invalid"), std::string::npos);
        EXPECT_EQ(r.lines.back(), "Verifying codesign: A.framework");
    }
}

TEST_F(EngineTest, SigningFailsWhenTheToolCannotRunOrTheApplicationIsGone) {
    auto package = open();
    {
        QFToolPaths tools = QFToolPaths::current();
        tools.codesign = dir + "/no-such-codesign";
        QFToolPaths::setCurrent(tools);
        Recorder r;
        runStage(r, [&](auto l, auto e, auto s) { package->doCodesign("id", l, e, s); });
        ASSERT_TRUE(r.error.has_value());
        EXPECT_EQ(r.error->rfind("Signing failed with error: ", 0), 0u);
        EXPECT_EQ(r.lines.back(), "start codesigning with Inner.framework...");
    }
    {
        const std::string app = package->appPath();
        stdfs::remove_all(app);
        Recorder r;
        package->doCodesign("id", r.log(), r.onError(), r.onSuccess());
        EXPECT_EQ(r.error, "Not found " + app + " folder");
    }
}

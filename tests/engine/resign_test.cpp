// Whole re-sign runs on generated packages: real zip and unzip, the codesign
// double, and the decode tool (see engine_fixture.h).
#include <algorithm>
#include <filesystem>

#include "engine/QFRunProgress.h"
#include "engine_fixture.h"
#include "platform/plist.h"

using namespace enginetest;
namespace plist = platform::plist;

namespace {

// The package's extension follows the application's identifier and gets
// the chosen (wildcard) profile.
std::vector<std::string> successfulRunLines(const std::string& archive,
                                            const std::string& shareIdentifier = "com.example.new.share") {
    const std::string keys =
        " is signed with the entitlements application-identifier, com.apple.developer.team-identifier, "
        "get-task-allow, keychain-access-groups.";
    std::vector<std::string> lines = {"Generating entitlements..",        "Demo.app" + keys,
                                      "Entitlements generated",
                                      "Editing the Info.plist file...",   "File Info.plist edited properly",
                                      "Editing the Embedded Provision...", "Embedded Provision edited successfully",
                                      "Provisioning the nested applications and extensions...",
                                      "Nested bundle PlugIns/Share.appex (" + shareIdentifier +
                                          ") gets the profile \"Chosen Profile\" (4A1B2C3D-0000-4000-8000-0123456789AB), "
                                          "the chosen wildcard profile",
                                      "Share.appex" + keys,
                                      "Nested bundles provisioned",
                                      "Beginning the codesign..."};
    for (std::string item : {"Inner.framework", "A.framework", "libX.dylib", "S.framework", "Share.appex", "Demo.app"}) {
        lines.push_back("start codesigning with " + item + "...");
        lines.push_back("Verifying codesign: " + item);
        lines.push_back(item + " codesigning done");
    }
    lines.push_back("Verification Codesigning dones");
    lines.push_back("Beginning the zip of the IPA file in the path: " + archive);
    lines.push_back("Zipping done. IPA file saved in the path: " + archive);
    return lines;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

plist::Value parsed(const std::string& bytes) {
    auto value = plist::parse(bytes);
    return value ? *value : plist::Value(std::string("<not a property list>"));
}

}  // namespace

TEST_F(EngineTest, SuccessfulRunReportsEveryStageInOrderAndWritesTheArchive) {
    auto package = open();
    Recorder r;
    resign(package, r);

    const std::string archive = dir + "/out/New Name.ipa";
    ASSERT_FALSE(r.error.has_value()) << *r.error;
    EXPECT_EQ(r.lines, successfulRunLines(archive));
    // The result text: the application's signing output, a blank line, its (empty) verification output.
    const std::string app = package->appPath();
    EXPECT_EQ(*r.success, "Resign result: " + app + ": replacing existing signature\n" + app +
                              ": signed bundle with Mach-O thin (arm64)\n\n\n");

    auto names = testkit::archiveEntries(archive);
    EXPECT_TRUE(contains(names, "Entitlements.plist"));
    EXPECT_TRUE(contains(names, "iTunesMetadata.plist"));
    EXPECT_TRUE(contains(names, "SwiftSupport/iphoneos/libswiftDemo.dylib"));
    EXPECT_TRUE(contains(names, "Payload/Demo.app/PlugIns/Share.appex/Frameworks/S.framework/S"));
    EXPECT_FALSE(contains(names, "Payload/Demo.app/_CodeSignature/CodeResources"));

    auto info = parsed(testkit::archiveEntry(archive, "Payload/Demo.app/Info.plist"));
    EXPECT_EQ(*info.get("CFBundleIdentifier")->asString(), "com.example.new");
    EXPECT_EQ(*info.get("CFBundleDisplayName")->asString(), "New Name");
    EXPECT_EQ(*info.get("CFBundleShortVersionString")->asString(), "1.2.3");
    EXPECT_EQ(testkit::archiveEntry(archive, "Payload/Demo.app/embedded.mobileprovision"),
              testkit::readFile(profilePath));
    // What the application was signed with: the wildcard profile made
    // concrete for its new identifier.
    auto entitlements = parsed(testkit::archiveEntry(archive, "Entitlements.plist"));
    EXPECT_EQ(entitlements, plist::Value(plist::Dict{{"application-identifier", "ABCDE12345.com.example.new"},
                                                     {"com.apple.developer.team-identifier", "ABCDE12345"},
                                                     {"get-task-allow", true},
                                                     {"keychain-access-groups",
                                                      plist::Array{"ABCDE12345.com.example.new"}}}));
}

TEST_F(EngineTest, SigningCallsCarryTheIdentityAndEntitlementsUnchanged) {
    auto package = open();
    Recorder r;
    const std::string identity = "Apple Development: Zoë O'Neil (AB:CD) x";
    resign(package, r, std::string("com.example.new"), "New Name", std::nullopt, identity);
    ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");

    const std::string app = package->appPath();
    const std::string entitlements = "--entitlements=" + package->workPath() + "/Entitlements.plist";
    auto calls = recordedCalls(codesignLog);
    std::vector<std::vector<std::string>> expected;
    for (std::string item : {"/Frameworks/A.framework/Frameworks/Inner.framework", "/Frameworks/A.framework",
                             "/Frameworks/libX.dylib", "/PlugIns/Share.appex/Frameworks/S.framework", "/PlugIns/Share.appex", ""}) {
        // The extension is signed with its own profile's entitlements.
        const std::string own = "--entitlements=" + package->workPath() + "/NestedEntitlements/1-Share.appex.plist";
        expected.push_back({"-vvv", "-fs", identity, app + item, item == "/PlugIns/Share.appex" ? own : entitlements});
        expected.push_back({"-v", app + item});
    }
    // Two items may run at once, so their calls interleave.
    std::sort(calls.begin(), calls.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(calls, expected);
}

TEST_F(EngineTest, FailingVerificationInTheMiddleStopsTheRun) {
    CodesignScript script;
    script.failVerifying = "libX.dylib";
    useDoubles(script);
    auto package = open();
    Recorder r;
    resign(package, r);

    const std::string lib = package->appPath() + "/Frameworks/libX.dylib";
    ASSERT_TRUE(r.error.has_value());
    EXPECT_EQ(*r.error, "Signing failed with error: " + lib + ": replacing existing signature\n" + lib +
                            ": signed bundle with Mach-O thin (arm64)\n\n\n" + lib +
                            ": invalid signature (code or signature have been modified)\n");
    EXPECT_EQ(r.lines.back(), "Verifying codesign: libX.dylib");
    // Nothing that contains the failing item was signed, and nothing was
    // packed. Items beside it (S.framework, then Share.appex, which holds
    // nothing of it) may run while it is verified, as far as timing allows.
    auto calls = recordedCalls(codesignLog);
    EXPECT_NE(std::find(calls.begin(), calls.end(), std::vector<std::string>{"-v", lib}), calls.end());
    for (const auto& call : calls)
        EXPECT_EQ(std::find(call.begin(), call.end(), package->appPath()), call.end()) << package->appPath();
    EXPECT_FALSE(std::filesystem::exists(dir + "/out/New Name.ipa"));
}

TEST_F(EngineTest, StageFailuresEndTheRunWithTheStageMessage) {
    {
        SCOPED_TRACE("Info.plist missing");
        auto package = open();
        std::filesystem::remove(package->appPath() + "/Info.plist");
        Recorder r;
        resign(package, r);
        ASSERT_EQ(r.lines.size(), 4u);
        EXPECT_EQ(r.lines[0], "Generating entitlements..");
        EXPECT_EQ(r.lines[2], "Entitlements generated");
        EXPECT_EQ(r.lines[3], "Editing the Info.plist file...");
        EXPECT_EQ(r.error, "The IPA file you selected is corrupted: the app is unable to find a proper Info.plist file");
        EXPECT_FALSE(std::filesystem::exists(dir + "/out"));
    }
    {
        SCOPED_TRACE("profile record without bundle identifier");
        auto package = open();
        Recorder r;
        resign(package, r, std::nullopt);
        EXPECT_EQ(r.error, "Failed to re-save the Info.plist file properly. Please try again.");
    }
    {
        SCOPED_TRACE("no application in Payload");
        // Opening refuses such a package; a handler whose application is
        // unset all the same still stops at the Info.plist stage.
        auto stranded = open();
        stranded->setAppPath(std::string());
        Recorder r;
        resign(stranded, r);
        EXPECT_EQ(r.error, "The IPA file you selected is corrupted: the app is unable to find a proper Info.plist file");
    }
    {
        SCOPED_TRACE("embedded profile cannot be replaced");
        auto package = open();
        // Two profile files: the one found is removed, the copy then meets embedded.mobileprovision.
        testkit::writeFile(package->appPath() + "/other.provisionprofile", "x");
        Recorder r;
        resign(package, r);
        EXPECT_EQ(r.error, "Embedded Provision editing failed. Please try again");
        EXPECT_EQ(r.lines.back(), "Editing the Embedded Provision...");
    }
    {
        SCOPED_TRACE("packing fails");
        auto package = open();
        testkit::writeFile(dir + "/blocked", "a file where the destination folder should be");
        Recorder r;
        resign(package, r, std::string("com.example.new"), "New Name", dir + "/blocked");
        EXPECT_EQ(r.error, "Unable to unzip the file: the destination path is empty or the source IPA file was corrupted");
        EXPECT_EQ(r.lines.back(), "Beginning the zip of the IPA file in the path: " + dir + "/blocked/New Name.ipa");
    }
}

TEST_F(EngineTest, ProfileDeletedAfterListingFailsBeforeTheCallReturns) {
    auto package = open();
    auto profile = chosenProfile();
    std::filesystem::remove(profilePath);
    Recorder r;
    package->resignWithProvisioningProfile(profile, "id", std::string("com.example.new"), "N", dir + "/out", r.log(),
                                           r.onError(), r.onSuccess());
    EXPECT_EQ(r.lines, std::vector<std::string>{"Generating entitlements.."});
    EXPECT_EQ(r.error, "Unable to replace the entitlements.mobileprovision. Please try again.");
    testkit::pumpUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(r.ends, 1);
}

TEST_F(EngineTest, RunWithoutCallbacksStillWritesTheArchive) {
    auto package = open();
    package->resignWithProvisioningProfile(chosenProfile(), "id", std::string("com.example.quiet"), "Quiet",
                                           dir + "/out", {}, {}, {});
    const std::string archive = dir + "/out/Quiet.ipa";
    EXPECT_TRUE(testkit::pumpUntil([&] { return std::filesystem::exists(archive); }));
    auto info = parsed(testkit::archiveEntry(archive, "Payload/Demo.app/Info.plist"));
    EXPECT_EQ(*info.get("CFBundleIdentifier")->asString(), "com.example.quiet");
}

TEST_F(EngineTest, SecondRunResignsTheModifiedTreeAndReplacesTheArchiveWhole) {
    auto package = open();
    Recorder first;
    resign(package, first);
    ASSERT_TRUE(first.success.has_value()) << first.error.value_or("");

    // A file that disappears between the runs must not survive in the archive.
    std::filesystem::remove(package->appPath() + "/Resources/res-0.txt");
    Recorder second;
    resign(package, second, std::string("com.example.second"));
    ASSERT_TRUE(second.success.has_value()) << second.error.value_or("");
    EXPECT_EQ(second.lines, successfulRunLines(dir + "/out/New Name.ipa", "com.example.second.share"));

    const std::string archive = dir + "/out/New Name.ipa";
    auto names = testkit::archiveEntries(archive);
    EXPECT_FALSE(contains(names, "Payload/Demo.app/Resources/res-0.txt"));
    EXPECT_TRUE(contains(names, "Payload/Demo.app/Resources/res-1.txt"));
    auto info = parsed(testkit::archiveEntry(archive, "Payload/Demo.app/Info.plist"));
    EXPECT_EQ(*info.get("CFBundleIdentifier")->asString(), "com.example.second");
    EXPECT_EQ(testkit::archiveEntry(archive, "Payload/Demo.app/embedded.mobileprovision"),
              testkit::readFile(profilePath));
    // No partial archive is left beside the result.
    size_t files = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir + "/out")) files += entry.is_regular_file();
    EXPECT_EQ(files, 1u);
}

TEST_F(EngineTest, ArchiveStaysDirectlyInsideTheDestinationWhateverTheDisplayName) {
    auto package = open();
    const std::string out = dir + "/named/out";
    for (auto [name, file] : std::vector<std::pair<std::string, std::string>>{
             {"a/b", "a_b.ipa"}, {"..", "...ipa"}, {".", "..ipa"}, {"../../escape", ".._.._escape.ipa"}}) {
        SCOPED_TRACE(name);
        Recorder r;
        resign(package, r, std::string("com.example.new"), name, out);
        ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");
        EXPECT_TRUE(std::filesystem::is_regular_file(out + "/" + file));
        // Info.plist keeps the name as typed.
        auto info = parsed(testkit::archiveEntry(out + "/" + file, "Payload/Demo.app/Info.plist"));
        EXPECT_EQ(*info.get("CFBundleDisplayName")->asString(), name);
    }
    size_t entries = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir + "/named")) entries += 1 + 0 * entry.is_directory();
    EXPECT_EQ(entries, 1u);  // only "out": nothing written beside it
}

TEST_F(EngineTest, RelativeDestinationResolvesAgainstTheCurrentDirectory) {
    auto package = open();
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    Recorder r;
    resign(package, r, std::string("com.example.new"), "Rel", std::string("relative/out"));
    std::filesystem::current_path(previous);
    ASSERT_TRUE(r.success.has_value()) << r.error.value_or("");
    EXPECT_TRUE(std::filesystem::is_regular_file(dir + "/relative/out/Rel.ipa"));
}

TEST_F(EngineTest, RunProgressFollowsTheStagesAndCountsTheSignedItems) {
    auto package = open();
    Recorder r;
    resign(package, r);
    ASSERT_TRUE(r.success.has_value());
    engine::RunProgress progress;
    progress.startUnpacking();
    std::vector<std::string> stages = {engine::stageName(progress.stage())};
    std::vector<std::string> items;
    for (const auto& line : r.lines) {
        if (!progress.noteLogLine(line, package->appPath())) continue;
        if (progress.item() == 0) stages.push_back(engine::stageName(progress.stage()));
        else items.push_back(std::to_string(progress.item()) + "/" + std::to_string(progress.items()) + " " + progress.itemName());
    }
    EXPECT_EQ(stages, (std::vector<std::string>{"unpacking", "entitlements", "info-plist", "embedded-profile", "signing",
                                                "packing"}));
    EXPECT_EQ(items, (std::vector<std::string>{"1/6 Inner.framework", "2/6 A.framework", "3/6 libX.dylib",
                                               "4/6 S.framework", "5/6 Share.appex", "6/6 Demo.app"}));
    EXPECT_EQ(progress.archivePath(), dir + "/out/New Name.ipa");
}

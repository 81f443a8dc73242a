// What the chosen device checks, judged before a run: its UDID in the
// profile, its iOS version against the package's, code it can run.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "engine/QFProvisioningChecks.h"
#include "platform/plist.h"
#include "profile/QFProvisioningProfile.h"
#include "testkit/macho.h"
#include "testkit/package.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace plist = platform::plist;
namespace pki = testkit::pki;

namespace {

constexpr const char* kUdid = "00008030-001A2B3C4D5E6F70";  // the test profiles' device

struct Case {
    const char* what;
    std::function<void(plist::Dict&)> profile;  // edits the profile's property list
    engine::TargetDevice device;
    std::string expected;  // the refusal; empty: the device may install
    std::string executableArch = "arm64";
    std::optional<std::string> minimumWritten = std::nullopt;  // the run's minimum system option
};

}  // namespace

TEST(DeviceVerdict, ProfileDevicesIosVersionAndProcessor) {
    const engine::TargetDevice phone{kUdid, "Jane's iPhone", "17.1", "arm64e"};
    const engine::TargetDevice stranger{"00008101-000000000000AAAA", "Other Phone", "17.1", "arm64e"};
    const std::vector<Case> cases = {
        {"listed", [](auto&) {}, phone, ""},
        {"listed in other case", [](auto& d) { d["ProvisionedDevices"] = plist::Array{"00008030-001a2b3c4d5e6f70"}; },
         phone, ""},
        {"not listed", [](auto&) {}, stranger,
         "The device \"Other Phone\" (UDID 00008101-000000000000AAAA) is not in the profile \"Chosen\": add the device "
         "with UDID 00008101-000000000000AAAA to your developer account and download the profile again."},
        {"all devices", [](auto& d) { d.erase("ProvisionedDevices"); d["ProvisionsAllDevices"] = true; }, stranger, ""},
        {"App Store", [](auto& d) { d.erase("ProvisionedDevices"); }, phone,
         "The profile \"Chosen\" is an App Store profile, which lets no device install directly"},
        {"iOS too old", [](auto&) {}, {kUdid, "Jane's iPhone", "14.8.1", "arm64e"},
         "The device \"Jane's iPhone\" (UDID 00008030-001A2B3C4D5E6F70) runs iOS 14.8.1, but \"Demo.app\" needs iOS "
         "15.0 or later"},
        {"iOS as new as needed", [](auto&) {}, {kUdid, "", "15", ""}, ""},
        {"iOS as new as the minimum the run writes", [](auto&) {}, {kUdid, "", "14.8.1", ""}, "", "arm64", "14.0"},
        {"iOS older than the minimum the run writes", [](auto&) {}, phone,
         "The device \"Jane's iPhone\" (UDID 00008030-001A2B3C4D5E6F70) runs iOS 17.1, but \"Demo.app\" needs iOS "
         "17.2 or later", "arm64", "17.2"},
        {"no arm64 code", [](auto&) {}, phone,
         "The device \"Jane's iPhone\" (UDID 00008030-001A2B3C4D5E6F70) cannot run \"Demo\": it holds no arm64 or "
         "arm64e code",
         "x86_64"},
    };
    const std::string dir = testkit::makeScratchDir("verdict");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        pki::ProfileOptions o;
        o.name = "Chosen";
        o.bundleId = "*";
        plist::Value value = pki::profileValue(o);
        c.profile(*value.asDict());
        const std::string profileFile = dir + "/" + c.what + ".mobileprovision";
        testkit::writeFile(profileFile, pki::cmsSign(plist::toXml(value)));

        testkit::PackageSpec shape;
        shape.frameworks = false;
        shape.appExtension = false;
        const std::string app = testkit::buildPackageTree(testkit::makeScratchDir("tree"), shape);
        auto info = *plist::parse(testkit::readFile(app + "/Info.plist"));
        (*info.asDict())["MinimumOSVersion"] = "15.0";
        testkit::writeFile(app + "/Info.plist", plist::toXml(info));
        if (c.executableArch != "arm64") {
            testkit::MachOSpec binary;
            binary.arch = c.executableArch;
            std::filesystem::remove(app + "/Demo");
            ASSERT_EQ(testkit::buildMachO(app + "/Demo", binary), "");
        }

        engine::CheckInput input;
        input.profile = std::make_shared<QFProvisioningProfile>(profileFile);
        input.identity = "Apple Development: Jane Doe (ABCDE12345)";
        input.certificatePem = pki::defaultLeaf().certPem();
        input.bundleIdentifier = "com.example.demo";
        input.appPath = app;
        input.device = c.device;
        input.minimumOSVersion = c.minimumWritten;
        auto result = engine::checkProvisioning(input);
        if (c.expected.empty()) {
            EXPECT_FALSE(result.refusal) << *result.refusal;
        } else {
            ASSERT_TRUE(result.refusal);
            EXPECT_EQ(result.refusal->rfind(c.expected, 0), 0u) << *result.refusal;
        }
    }
    EXPECT_LT(engine::compareVersions("9.3", "10.0"), 0);
    EXPECT_EQ(engine::compareVersions("10", "10.0.0"), 0);
}

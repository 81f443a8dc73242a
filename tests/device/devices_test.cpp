// The device client against the device double, through the real
// libimobiledevice: listing, choosing, installing and the device's refusals.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "device/Devices.h"
#include "platform/plist.h"
#include "testkit/devicedouble.h"
#include "testkit/package.h"
#include "testkit/testkit.h"

namespace plist = platform::plist;

namespace {

testkit::DeviceDoubleOptions refusing(const std::string& refusal) {
    testkit::DeviceDoubleOptions o;
    o.refuse = refusal;
    return o;
}

std::string package(const std::string& minimumOS = "") {
    testkit::PackageSpec shape;
    shape.frameworks = false;
    shape.appExtension = false;
    const std::string root = testkit::makeScratchDir("pkg");
    const std::string app = testkit::buildPackageTree(root, shape);
    if (!minimumOS.empty()) {
        auto info = *plist::parse(testkit::readFile(app + "/Info.plist"));
        (*info.asDict())["MinimumOSVersion"] = minimumOS;
        testkit::writeFile(app + "/Info.plist", plist::toXml(info));
    }
    const std::string ipa = testkit::makeScratchDir("ipa") + "/Demo.ipa";
    testkit::zipTree(root, ipa);
    return ipa;
}

}  // namespace

TEST(Devices, ListsChoosesAndWatches) {
    if (!testkit::DeviceDouble::available()) GTEST_SKIP() << "the device double is not built";
    {
        SCOPED_TRACE("no daemon");
        auto none = device::listDevices();
        ASSERT_FALSE(none);
        EXPECT_EQ(none.kind(), platform::ErrorKind::NotFound);
        auto chosen = device::chooseDevice(std::nullopt);
        ASSERT_FALSE(chosen);
        EXPECT_NE(chosen.text().find("usbmuxd"), std::string::npos) << chosen.text();
    }
    {
        SCOPED_TRACE("one trusted device");
        testkit::DeviceDoubleOptions o;
        o.name = "Jane's iPhone";
        o.ios = "16.4";
        testkit::DeviceDouble phone(o);
        std::atomic<int> events{0};
        auto watcher = device::DeviceWatcher::start([&] { ++events; });
        ASSERT_TRUE(watcher);
        auto devices = device::listDevices();
        ASSERT_TRUE(devices) << devices.text();
        ASSERT_EQ(devices->size(), 1u);
        const auto& d = devices->front();
        EXPECT_EQ(d.udid, phone.udid());
        EXPECT_EQ(d.name, "Jane's iPhone");
        EXPECT_EQ(d.iosVersion, "16.4");
        EXPECT_FALSE(d.model.empty());
        EXPECT_TRUE(d.paired) << d.pairingError;
        auto chosen = device::chooseDevice(std::nullopt);
        ASSERT_TRUE(chosen);
        EXPECT_EQ(chosen->udid, phone.udid());
        auto missing = device::chooseDevice(std::string("0000-NOT-HERE"));
        ASSERT_FALSE(missing);
        EXPECT_NE(missing.text().find("0000-NOT-HERE is not connected"), std::string::npos) << missing.text();
        // The daemon tells a new listener of every device attached.
        EXPECT_TRUE(testkit::pumpUntil([&] { return events > 0; }, std::chrono::seconds(20)));
    }
    {
        SCOPED_TRACE("untrusted device, and several devices");
        testkit::DeviceDoubleOptions o = refusing("not-paired");
        o.udids = {"00008030-0000000000000001", "00008030-0000000000000002"};
        testkit::DeviceDouble phones(o);
        auto devices = device::listDevices();
        ASSERT_TRUE(devices);
        ASSERT_EQ(devices->size(), 2u);
        EXPECT_FALSE(devices->front().paired);
        EXPECT_FALSE(devices->front().pairingError.empty());
        EXPECT_NE(device::listingLine(devices->front()).find("unlock the device and tap Trust"), std::string::npos);
        auto several = device::chooseDevice(std::nullopt);
        ASSERT_FALSE(several);
        EXPECT_NE(several.text().find("00008030-0000000000000001"), std::string::npos) << several.text();
        EXPECT_NE(several.text().find("00008030-0000000000000002"), std::string::npos) << several.text();
    }
}

TEST(Devices, InstallsThenUpgradesWithProgressAndKeepsTheBytes) {
    if (!testkit::DeviceDouble::available()) GTEST_SKIP() << "the device double is not built";
    testkit::DeviceDouble phone;
    const std::string ipa = package();
    std::vector<std::string> stages;
    auto record = [&](const device::InstallStatus& s) { stages.push_back(s.stage + " " + std::to_string(s.percent)); };
    auto first = device::install({phone.udid(), ipa, "com.example.demo"}, record);
    ASSERT_TRUE(first) << first.text();
    EXPECT_FALSE(first->upgraded);
    EXPECT_EQ(testkit::readFile(phone.keepDir() + "/com.example.demo.ipa"), testkit::readFile(ipa));
    ASSERT_GE(stages.size(), 3u);
    EXPECT_EQ(stages.front(), "Uploading 0");
    EXPECT_NE(std::find(stages.begin(), stages.end(), "Uploading 100"), stages.end());
    EXPECT_NE(std::find_if(stages.begin(), stages.end(), [](auto& s) { return s.rfind("VerifyingApplication ", 0) == 0; }),
              stages.end());

    auto second = device::install({phone.udid(), ipa, "com.example.demo"}, nullptr);
    ASSERT_TRUE(second) << second.text();
    EXPECT_TRUE(second->upgraded);
}

TEST(Devices, EachRefusalInWordsWithTheDevicesErrorKept) {
    if (!testkit::DeviceDouble::available()) GTEST_SKIP() << "the device double is not built";
    struct Case {
        const char* what;
        testkit::DeviceDoubleOptions options;
        std::string minimumOS;
        std::vector<std::string> expected;  // parts of the line
    };
    const std::vector<Case> cases = {
        {"untrusted computer", refusing("not-paired"), "", {"does not trust this computer: Unlock the device and tap Trust", "device error: "}},
        {"not in the profile", refusing("not-in-profile"), "",
         {"is not in the provisioning profile: add the device with UDID 00008030-001A2B3C4D5E6F70 to your developer "
          "account and download the profile again",
          "(device error: ApplicationVerificationFailed, 0xe8008015)"}},
        {"invalid signature", refusing("invalid-signature"), "",
         {"could not verify the application's signature", "(device error: ApplicationVerificationFailed, 0xe8008001)"}},
        {"iOS too old", [] { auto o = refusing(""); o.ios = "14.1"; return o; }(), "15.0", {"runs an iOS older than the application needs", "(device error: DeviceOSVersionTooLow"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testkit::DeviceDouble phone(c.options);
        auto outcome = device::install({phone.udid(), package(c.minimumOS), "com.example.demo"}, nullptr);
        ASSERT_FALSE(outcome);
        for (const auto& part : c.expected) EXPECT_NE(outcome.text().find(part), std::string::npos) << outcome.text();
        EXPECT_FALSE(std::filesystem::exists(phone.keepDir() + "/com.example.demo.ipa"));
    }

    // Reasons the double does not play, from the descriptions devices write.
    const device::DeviceInfo d{"U-1", "Pad", "", "", "", true, ""};
    struct Text {
        const char* description;
        const char* expected;
    };
    for (const Text& t :
         {Text{"... : 0xe8008021 (The maximum number of apps for free development profiles has been reached.)",
               "as many applications as a free developer account may install"},
          Text{"... : 0xe8008012 (This provisioning profile cannot be installed on this device.)",
               "on the device: Settings > General > VPN & Device Management"},
          Text{"... : 0xe8008016 (The executable was signed with invalid entitlements.)", "entitlements"},
          Text{"... : 0xE800801C (No code signature found.)", "signature invalid"}}) {
        const std::string line = device::installFailureText(d, "ApplicationVerificationFailed", 0, t.description);
        EXPECT_NE(line.find(t.expected), std::string::npos) << line;
        EXPECT_NE(line.find("(device error: ApplicationVerificationFailed, 0xe80080"), std::string::npos) << line;
    }
}

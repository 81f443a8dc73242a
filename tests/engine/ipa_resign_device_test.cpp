// ipa-resign with a device on the cable (the device double): listing, the
// device's verdict before any work, and installing after the re-sign.
#include <filesystem>
#include <regex>
#include <sstream>

#include "engine_fixture.h"
#include "testkit/devicedouble.h"

using namespace enginetest;
namespace stdfs = std::filesystem;

namespace {

// The messages of the stamped lines.
std::vector<std::string> messages(const std::string& text) {
    static const std::regex stamped(R"(^\[\d\d/\d\d \d\d:\d\d:\d\d \d\d\d\] (.*)$)");
    std::vector<std::string> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, stamped)) out.push_back(m[1].str());
    }
    return out;
}

bool hasLineStarting(const std::vector<std::string>& lines, const std::string& start) {
    for (const auto& line : lines)
        if (line.rfind(start, 0) == 0) return true;
    return false;
}

class IpaResignDeviceTest : public EngineTest {
protected:
    void SetUp() override {
        if (!testkit::DeviceDouble::available()) GTEST_SKIP() << "the device double is not built";
        EngineTest::SetUp();
        binDir = dir + "/bin";
        stdfs::create_directories(binDir);
        program = binDir + "/ipa-resign";
        stdfs::copy_file(testkit::binDir() + "/ipa-resign", program);
        stdfs::permissions(program, stdfs::perms::owner_all);
        writeSecurityDouble(binDir);
        writeCodesignDouble(binDir, codesignLog);
        testkit::PackageSpec shape;
        shape.frameworks = false;
        ipa = testkit::buildPackage(dir + "/in/Demo.ipa", shape);
    }
    std::vector<std::string> installArgs(const std::vector<std::string>& install = {"--install"}) {
        std::vector<std::string> args = {"--ipa", ipa, "--identity", "Apple Development: Jane (ABCDE12345)",
                                         "--profile", profilePath, "--name", "Shiny", "--bundle-id",
                                         "com.example.chosen", "--output", dir + "/out"};
        args.insert(args.end(), install.begin(), install.end());
        return args;
    }
    std::string binDir, program, ipa;
};

}  // namespace

TEST_F(IpaResignDeviceTest, ListsTheDevicesAsLinesAndJson) {
    testkit::DeviceDoubleOptions options;
    options.name = "Jane's iPhone";
    testkit::DeviceDouble phone(options);
    auto json = runProgram(program, {"--list-devices", "--json"}, dir);
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"udid\":\"" + phone.udid() + "\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"name\":\"Jane's iPhone\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"paired\":true"), std::string::npos) << json.out;
    auto lines = runProgram(program, {"--list-devices"}, dir);
    EXPECT_EQ(lines.status, 0);
    EXPECT_EQ(lines.out.rfind("Jane's iPhone  ", 0), 0u) << lines.out;
    EXPECT_NE(lines.out.find(phone.udid() + "  trusted"), std::string::npos) << lines.out;
}

TEST_F(IpaResignDeviceTest, InstallsTheWrittenBytesThenUpgrades) {
    testkit::DeviceDouble phone;
    auto o = runProgram(program, installArgs({"--install", phone.udid()}), dir);
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string archive = dir + "/out/Shiny.ipa";
    EXPECT_EQ(testkit::readFile(phone.keepDir() + "/com.example.chosen.ipa"), testkit::readFile(archive));
    auto lines = messages(o.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(hasLineStarting(lines, "Resign done, ipa saved to "));
    EXPECT_TRUE(hasLineStarting(lines, "Installing the package on \"Test iPhone\"") ||
                hasLineStarting(lines, "Installing the package on Test iPhone"));
    EXPECT_TRUE(hasLineStarting(lines, "Install: Uploading (100%)"));
    EXPECT_TRUE(hasLineStarting(lines, "Install: VerifyingApplication ("));
    EXPECT_EQ(lines.back(), "Installed com.example.chosen on Test iPhone (UDID " + phone.udid() + ").");

    // Again, the only device connected: the application is there already.
    o = runProgram(program, installArgs({"--overwrite", "--install"}), dir);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(messages(o.out).back(), "Installed com.example.chosen on Test iPhone (UDID " + phone.udid() +
                                          "), replacing the copy that was there.");
}

TEST_F(IpaResignDeviceTest, RefusalsBeforeAndAfterTheWork) {
    {
        SCOPED_TRACE("the device is not in the profile: refused before any work");
        testkit::DeviceDoubleOptions options;
        options.udids = {"00008101-00000000000000AA"};
        testkit::DeviceDouble stranger(options);
        auto o = runProgram(program, installArgs(), dir);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(messages(o.err),
                  std::vector<std::string>{"The device \"Test iPhone\" (UDID 00008101-00000000000000AA) is not in the "
                                           "profile \"Chosen Profile\": add the device with UDID "
                                           "00008101-00000000000000AA to your developer account and download the "
                                           "profile again."});
        EXPECT_FALSE(stdfs::exists(codesignLog));
        EXPECT_FALSE(stdfs::exists(dir + "/out"));
    }
    {
        SCOPED_TRACE("the device refuses the installation: the package is kept");
        testkit::DeviceDoubleOptions options;
        options.refuse = "not-in-profile";
        testkit::DeviceDouble phone(options);
        auto o = runProgram(program, installArgs(), dir);
        EXPECT_EQ(o.status, 1);
        auto errors = messages(o.err);
        ASSERT_EQ(errors.size(), 1u) << o.err;
        EXPECT_NE(errors[0].find("(device error: ApplicationVerificationFailed, 0xe8008015)"), std::string::npos);
        EXPECT_NE(errors[0].find("The re-signed package is kept at " + dir + "/out/Shiny.ipa."), std::string::npos)
            << errors[0];
        EXPECT_TRUE(stdfs::exists(dir + "/out/Shiny.ipa"));
        stdfs::remove_all(dir + "/out");
    }
    {
        SCOPED_TRACE("no device: the package is written, the call fails");
        testkit::DeviceDouble::pointAtNoDaemon();
        auto o = runProgram(program, installArgs(), dir);
        EXPECT_EQ(o.status, 1);
        EXPECT_TRUE(stdfs::exists(dir + "/out/Shiny.ipa"));
        EXPECT_NE(o.err.find("ipa-resign: error: No device can be reached"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("the re-signed packages were written all the same"), std::string::npos) << o.err;
    }
}

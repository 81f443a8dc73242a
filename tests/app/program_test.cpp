// The installed program itself: one running copy per user and home, and a
// clear word instead of a crash where there is no display.
#include <gtest/gtest.h>

#include <signal.h>

#include <QLocalSocket>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "QtTestApp.h"
#include "app/ReopenChannel.h"
#include "platform/files.h"
#include "platform/process.h"
#include "ui/ViewController.h"
#include "testkit/testkit.h"

namespace {

std::string program() { return testkit::binDir() + "/ipa-resigner"; }

// Sets an environment variable for one scope.
struct Env {
    std::string name;
    std::optional<std::string> old;
    Env(std::string n, const char* value) : name(std::move(n)) {
        if (const char* v = std::getenv(name.c_str())) old = v;
        if (value) setenv(name.c_str(), value, 1);
        else unsetenv(name.c_str());
    }
    ~Env() {
        if (old) setenv(name.c_str(), old->c_str(), 1);
        else unsetenv(name.c_str());
    }
};

}  // namespace

TEST(Program, WithoutADisplayItSaysSoAndEnds) {
    Env display("DISPLAY", nullptr), wayland("WAYLAND_DISPLAY", nullptr), platform("QT_QPA_PLATFORM", nullptr);
    std::string out;
    EXPECT_EQ(testkit::run({program()}, &out), 1);
    EXPECT_NE(out.find("no display"), std::string::npos) << out;

    // Help and version need no display.
    EXPECT_EQ(testkit::run({program(), "--help"}, &out), 0);
    EXPECT_NE(out.find("Usage: ipa-resigner [FILE.ipa]"), std::string::npos) << out;
    EXPECT_EQ(testkit::run({program(), "--version"}, &out), 0);
    EXPECT_EQ(out.rfind("ipa-resigner ", 0), 0u) << out;
}

TEST(Program, SecondStartHandsOverToTheRunningOneAndEnds) {
    qttest::application();
    Env platform("QT_QPA_PLATFORM", "offscreen");
    platform::Task first(program(), {});
    ASSERT_TRUE(first.launch());

    // Wait until the first copy listens.
    bool listening = false;
    for (int i = 0; i < 200 && !listening && first.isRunning(); ++i) {
        QLocalSocket probe;
        probe.connectToServer(ReopenChannel::serverName());
        listening = probe.waitForConnected(100);
        if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(listening);

    std::string out;
    EXPECT_EQ(testkit::run({program()}, &out), 0) << out;
    EXPECT_TRUE(first.isRunning());  // closing nothing, quitting nothing

    // A start with a package hands it over: the running copy opens it in
    // its work folders.
    std::string ipa = testkit::makeScratchDir("handover") + "/Handed.ipa";
    testkit::writeFile(ipa, "not a zip");
    EXPECT_EQ(testkit::run({program(), ipa}, &out), 0) << out;
    auto cache = ViewController::cacheFolderPath();
    ASSERT_TRUE(cache);
    bool opened = false;
    for (int i = 0; i < 100 && !opened; ++i) {
        opened = platform::fs::isDirectory(*cache + "/unzip/Handed");
        if (!opened) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(opened);
    EXPECT_TRUE(first.isRunning());

    ::kill(first.processIdentifier(), SIGTERM);
    first.waitUntilExit();
}

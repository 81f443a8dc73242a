// The Options section as the controller reads and resets it, through a
// recording section.
#include <gtest/gtest.h>

#include "FakeView.h"
#include "ui/OptionsSection.h"
#include "ui/ViewController.h"

namespace {

struct FakeSection : ui::OptionsSection {
    ui::OptionsValues values() const override { return held; }
    void setValues(const ui::OptionsValues& v) override { held = v; }
    void setNestedBundles(const std::vector<std::string>& b) override { bundles = b; }
    void setEnabled(bool on) override { enabled = on; }
    ui::OptionsValues held;
    std::vector<std::string> bundles = {"PlugIns/Share.appex"};
    bool enabled = true;
};

}  // namespace

TEST(OptionsSection, ControllerReadsTheSectionAsTheEngineTakesIt) {
    fakeview::View view;
    FakeSection section;
    auto& c = *view.controller;
    EXPECT_TRUE(c.resignOptions().empty());  // no section: nothing asked
    c.setOptionsSection(&section);
    EXPECT_TRUE(c.resignOptions().empty());  // an untouched section: nothing asked

    section.held = {.shortVersion = " 2.0 ",
                    .bundleVersion = "200",
                    .minimumOSVersion = " 14.x",
                    .deviceFamily = "ipad",
                    .removeSupportedDevices = true,
                    .fileSharing = true,
                    .removeExtensions = true,
                    .removeWatchApp = true,
                    .removeBundles = {"PlugIns/Share.appex"},
                    .iconPath = "/icons/new.png",
                    .injectLibraries = {"/libs/a.dylib", "/libs/b.dylib"},
                    .injectWeak = true,
                    .injectIntoExtensions = true,
                    .removeLibraries = " libOld.dylib, ,@rpath/libGone.dylib ,"};
    const engine::ResignOptions o = c.resignOptions();
    EXPECT_EQ(o.shortVersion, "2.0");
    EXPECT_EQ(o.bundleVersion, "200");
    EXPECT_EQ(o.minimumOSVersion, "14.x");  // passed on, for the checks to refuse
    EXPECT_EQ(o.deviceFamily, engine::DeviceFamily::ipad);
    EXPECT_TRUE(o.removeSupportedDevices && o.fileSharing && o.removeExtensions && o.removeWatchApp);
    EXPECT_EQ(o.removeBundles, std::vector<std::string>{"PlugIns/Share.appex"});
    EXPECT_EQ(o.iconPath, "/icons/new.png");
    EXPECT_EQ(o.injectLibraries, (std::vector<std::string>{"/libs/a.dylib", "/libs/b.dylib"}));
    EXPECT_TRUE(o.injectWeak && o.injectIntoExtensions);
    EXPECT_EQ(o.removeLibraries, (std::vector<std::string>{"libOld.dylib", "@rpath/libGone.dylib"}));

    // Blank texts ask for nothing.
    section.held = {};
    section.held.shortVersion = "  ";
    section.held.iconPath = " ";
    EXPECT_TRUE(c.resignOptions().empty());
}

TEST(OptionsSection, PickersFillItAndTheFormLockAndCleanReachIt) {
    fakeview::View view;
    FakeSection section;
    auto& c = *view.controller;
    c.setOptionsSection(&section);

    view.window.panel.result = ui::OpenPanel::OKButton;
    view.window.panel.urls = {"/icons/new.png"};
    c.chooseIconClick();
    EXPECT_EQ(section.held.iconPath, "/icons/new.png");
    EXPECT_EQ(view.window.panel.allowedFileTypes, std::vector<std::string>{"png"});
    view.window.panel.urls = {"/libs/a.dylib"};
    c.addLibraryClick();
    c.addLibraryClick();  // the same library once
    EXPECT_EQ(section.held.injectLibraries, std::vector<std::string>{"/libs/a.dylib"});
    EXPECT_EQ(view.window.panel.allowedFileTypes, std::vector<std::string>{"dylib"});
    view.window.panel.result = 0;  // cancelled: nothing changes
    c.chooseIconClick();
    EXPECT_EQ(section.held.iconPath, "/icons/new.png");

    c.disableControls();
    EXPECT_FALSE(section.enabled);
    c.enableControls();
    EXPECT_TRUE(section.enabled);

    c.clearAll();
    EXPECT_EQ(section.held, ui::OptionsValues{});
    EXPECT_TRUE(section.bundles.empty());
}

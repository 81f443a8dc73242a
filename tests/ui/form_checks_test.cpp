// The Resign checks, the form lock, Clean and the small actions, driven
// through a recording window.
#include <gtest/gtest.h>

#include "FakeView.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "profile/QFProvisioningProfile.h"
#include "testkit/testkit.h"
#include "ui/ViewController.h"

using fakeview::View;
using Lines = std::vector<std::string>;

namespace {

std::shared_ptr<QFProvisioningProfile> profile(const std::string& name, std::optional<std::string> bundleId) {
    auto p = std::make_shared<QFProvisioningProfile>(std::nullopt);
    p->setName(name);
    p->setBundleIdentifier(std::move(bundleId));
    return p;
}

// A form that passes every check: an existing package file, an identity and
// a profile chosen, a name, a destination and a typed bundle identifier.
struct FilledForm : testing::Test {
    View view;
    std::string dir = testkit::makeScratchDir("form");
    std::string ipa = dir + "/App.ipa";

    void SetUp() override {
        testkit::writeFile(ipa, "not really a zip");
        auto& c = *view.controller;
        c.setCertificatesArray({"Apple Development: Test User (ABCDE12345)"});
        c.setProvisioningArray({profile("Team Profile", "com.example.*"), profile("App Profile", "com.example.app")});
        view.ipaPathField.text = ipa;
        view.certificateComboBox.selected = 0;
        view.provisioningComboBox.selected = 1;
        view.appNameField.text = "My App";
        view.destinationPathField.text = dir;
        view.bundleIdField.text = "com.example.app";
    }
};

const std::vector<std::string> kLockOrder = {"ipaPathField",       "browseIpaPathButton",
                                             "provisioningComboBox", "certificateComboBox",
                                             "appNameField",       "destinationPathField",
                                             "browseDestinationPathButton", "bundleIdField",
                                             "resignButton",       "cleanButton"};

std::vector<std::string> lockSteps(const char* suffix) {
    std::vector<std::string> out;
    for (const auto& name : kLockOrder) out.push_back(name + suffix);
    return out;
}

}  // namespace

TEST_F(FilledForm, EachCheckReportsItsOwnFaultInRedAndStartsNothing) {
    struct Case {
        const char* what;
        std::function<void(FilledForm&)> spoil;
        std::string line;
    };
    std::vector<Case> cases = {
        {"missing package", [](FilledForm& f) { f.view.ipaPathField.text = f.dir + "/gone.ipa"; },
         "red: Not found ipa file " + dir + "/gone.ipa"},
        {"no identity", [](FilledForm& f) { f.view.certificateComboBox.selected = -1; }, "red: No select certificate"},
        {"no profile", [](FilledForm& f) { f.view.provisioningComboBox.selected = -1; },
         "red: No select provisioning profile"},
        {"no name", [](FilledForm& f) { f.view.appNameField.text.clear(); }, "red: This app cann't have no name"},
        {"no bundle id", [](FilledForm& f) { f.view.bundleIdField.text.clear(); },
         "red: This app cann't have no bundleIdentifier"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        view.logField.runs.clear();
        view.journal.clear();
        c.spoil(*this);
        view.controller->resignClick();
        EXPECT_EQ(view.lines(), Lines{c.line});
        EXPECT_TRUE(view.lockSteps().empty());
    }
}

TEST_F(FilledForm, OnlyTheFirstFaultInCheckOrderIsReported) {
    view.ipaPathField.text = dir + "/missing.ipa";
    view.certificateComboBox.selected = -1;
    view.provisioningComboBox.selected = -1;
    view.appNameField.text.clear();
    view.destinationPathField.text.clear();
    view.controller->resignClick();
    EXPECT_EQ(view.lines(), Lines{"red: Not found ipa file " + dir + "/missing.ipa"});
    EXPECT_EQ(view.destinationPathField.text, "");  // the destination check never ran

    view.logField.runs.clear();
    view.ipaPathField.text = ipa;
    view.controller->resignClick();
    EXPECT_EQ(view.lines(), Lines{"red: No select certificate"});
}

TEST_F(FilledForm, EmptyDestinationIsDefaultedToTheDesktopInOrangeWithoutStarting) {
    view.destinationPathField.text.clear();
    view.controller->resignClick();
    EXPECT_EQ(view.lines(), Lines{"orange: Default Save the file to your desktop"});
    EXPECT_EQ(view.destinationPathField.text, platform::folders::desktopDirectory());
    EXPECT_TRUE(view.lockSteps().empty());
}

TEST_F(FilledForm, BlankTextsCountAsFilled) {
    view.appNameField.text = " ";
    view.bundleIdField.text = "  ";
    view.controller->resignClick();
    // Past every check: only the missing open package is left to report.
    auto lines = view.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("red: No ipa file is open", 0), 0u) << lines[0];
}

TEST_F(FilledForm, ProfileBundleIdentifierMakesTheTypedOneIrrelevant) {
    view.bundleIdField.text.clear();
    fakeview::Button fromProfile("fromProfile", view.journal, 102);
    fromProfile.stateValue = ui::Button::on;
    view.controller->bundleIdRadioAction(fromProfile);
    view.controller->resignClick();
    auto lines = view.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0], "red: This app cann't have no bundleIdentifier");
}

TEST_F(FilledForm, ResignWithoutAnOpenPackageLeavesTheFormEnabled) {
    view.controller->resignClick();
    auto lines = view.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("red: ", 0), 0u);
    EXPECT_TRUE(view.lockSteps().empty());
    EXPECT_TRUE(view.resignButton.enabled);
}

TEST(BundleIdSource, TagAndStateDecideTheSource) {
    View view;
    fakeview::Button typed("typed", view.journal, 101), fromProfile("fromProfile", view.journal, 102),
        other("other", view.journal, 7);
    auto& c = *view.controller;
    EXPECT_FALSE(c.useMobileprovisionBundleID());

    fromProfile.stateValue = ui::Button::off;
    c.bundleIdRadioAction(fromProfile);
    EXPECT_FALSE(c.useMobileprovisionBundleID());
    fromProfile.stateValue = ui::Button::on;
    c.bundleIdRadioAction(fromProfile);
    EXPECT_TRUE(c.useMobileprovisionBundleID());

    other.stateValue = ui::Button::off;
    c.bundleIdRadioAction(other);
    EXPECT_TRUE(c.useMobileprovisionBundleID());

    // Choosing the typed identifier again, as a radio button is chosen: it
    // turns on. The choice must go back.
    typed.stateValue = ui::Button::on;
    c.bundleIdRadioAction(typed);
    EXPECT_FALSE(c.useMobileprovisionBundleID());

    c.bundleIdRadioAction(fromProfile);
    typed.stateValue = ui::Button::off;
    c.bundleIdRadioAction(typed);
    EXPECT_FALSE(c.useMobileprovisionBundleID());
    EXPECT_TRUE(view.bundleIdField.enabled);
}

TEST(FormLock, LocksAndUnlocksTheFormInItsOrderLeavingTheRestAlone) {
    View view;
    view.controller->disableControls();
    EXPECT_EQ(view.lockSteps(), lockSteps(" off"));
    EXPECT_TRUE(view.cacheFolderButton.enabled);
    view.journal.clear();
    view.controller->enableControls();
    EXPECT_EQ(view.lockSteps(), lockSteps(" on"));
}

TEST(FormLock, ControlsThatAreGoneAreSkipped) {
    View view;
    view.controller->setBundleIdField(nullptr);
    view.controller->setLogField(nullptr);
    view.controller->disableControls();
    view.controller->addLog("nobody sees this", ui::LogColor::black);
    view.controller->clearAll();
    EXPECT_EQ(view.lockSteps().size(), kLockOrder.size() - 1);
    EXPECT_TRUE(view.lines().empty());
}

TEST(Clean, EmptiesTheFormLogAndCacheButKeepsThePickers) {
    View view;
    auto& c = *view.controller;
    c.setCertificatesArray({"Identity A", "Identity B"});
    c.setProvisioningArray({profile("P", "com.p")});
    view.certificateComboBox.selected = 1;
    view.provisioningComboBox.selected = 0;
    view.ipaPathField.text = "/x.ipa";
    view.appNameField.text = "Name";
    view.destinationPathField.text = "/dest";
    view.bundleIdField.text = "com.x";
    c.addLog("an old line", ui::LogColor::black);
    view.lines();
    auto cache = ViewController::cacheFolderPath();
    ASSERT_TRUE(cache);
    testkit::writeFile(*cache + "/unzip/App/stamp/file", "x");
    view.controller->disableControls();
    view.journal.clear();

    view.controller->cleanClick();

    EXPECT_EQ(view.ipaPathField.text, "");
    EXPECT_EQ(view.appNameField.text, "");
    EXPECT_EQ(view.destinationPathField.text, "");
    EXPECT_EQ(view.bundleIdField.text, "");
    EXPECT_TRUE(view.logField.runs.empty());
    EXPECT_FALSE(platform::fs::fileExists(*cache));
    EXPECT_EQ(c.package(), nullptr);
    EXPECT_EQ(c.certificatesArray().size(), 2u);
    EXPECT_EQ(c.provisioningArray().size(), 1u);
    EXPECT_EQ(view.certificateComboBox.selected, 1);
    EXPECT_EQ(view.provisioningComboBox.selected, 0);
    EXPECT_TRUE(view.lockSteps().empty());  // the lock is not Clean's business

    // The next line starts at the top of an empty log.
    c.addLog("fresh", ui::LogColor::green);
    EXPECT_EQ(view.lines(), Lines{"green: fresh"});
    EXPECT_EQ(view.logField.string().front(), '[');
}

TEST(PackageChooser, CancellingChangesNothing) {
    View view;
    view.window.panel.result = 0;
    view.controller->browseIPAFilePathButtonAction();
    EXPECT_EQ(view.window.panel.runs, 1);
    EXPECT_TRUE(view.window.panel.canChooseFiles);
    EXPECT_FALSE(view.window.panel.canChooseDirectories);
    EXPECT_FALSE(view.window.panel.allowsMultipleSelection);
    EXPECT_FALSE(view.window.panel.allowsOtherFileTypes);
    EXPECT_EQ(view.window.panel.allowedFileTypes, Lines{"IPA"});
    EXPECT_EQ(view.journal.front(), "endEditing");  // typing is committed first
    EXPECT_EQ(view.destinationPathField.text, "");
    EXPECT_EQ(view.ipaPathField.text, "");
    EXPECT_EQ(view.controller->package(), nullptr);
    EXPECT_TRUE(view.lines().empty());
}

TEST(DestinationChooser, ChoosesAFolderIntoTheDestinationField) {
    View view;
    view.destinationPathField.text = "/before";
    view.window.panel.result = 0;
    view.controller->browseDestinationPathButtonAction();
    EXPECT_EQ(view.destinationPathField.text, "/before");
    EXPECT_FALSE(view.window.panel.canChooseFiles);
    EXPECT_TRUE(view.window.panel.canChooseDirectories);

    view.window.panel.result = ui::OpenPanel::OKButton;
    view.window.panel.urls = {"/home/me/Out Folder"};
    view.controller->browseDestinationPathButtonAction();
    EXPECT_EQ(view.destinationPathField.text, "/home/me/Out Folder");
    EXPECT_TRUE(view.lines().empty());
}

TEST(CacheFolder, RevealsTheResignFolderAsAnEscapedFileURLEvenWhileLocked) {
    View view;
    view.controller->disableControls();
    view.controller->openCacheFolderClick();
    auto cache = ViewController::cacheFolderPath();
    ASSERT_TRUE(cache);
    EXPECT_EQ(platform::path::lastPathComponent(*cache), "resign");
    ASSERT_EQ(view.window.revealed.size(), 1u);
    EXPECT_EQ(view.window.revealed[0], Lines{"file://" + *cache});

    // A temporary folder with unusual characters still gives a valid URL.
    std::string old = getenv("TMPDIR");
    std::string odd = testkit::makeScratchDir("tmp with space%");
    setenv("TMPDIR", odd.c_str(), 1);
    view.controller->openCacheFolderClick();
    setenv("TMPDIR", old.c_str(), 1);
    ASSERT_EQ(view.window.revealed.size(), 2u);
    const std::string& url = view.window.revealed[1][0];
    EXPECT_EQ(url.find(' '), std::string::npos) << url;
    EXPECT_NE(url.find("tmp%20with%20space%25"), std::string::npos) << url;
}

TEST(Choosers, StartInTheFieldsFolderElseTheLastOneUsedElseHome) {
    View view;
    std::string dir = testkit::makeScratchDir("choosers");
    std::string other = testkit::makeScratchDir("choosers-other");
    testkit::writeFile(dir + "/App.ipa", "x");
    view.window.panel.result = 0;
    struct Case {
        const char* what;
        std::string field;
        std::string startsIn;
    };
    // Nothing chosen yet in this session: the home folder.
    for (const auto& c : std::vector<Case>{{"empty field", "", platform::folders::homeDirectory()},
                                           {"a file", dir + "/App.ipa", dir},
                                           {"a file that is gone", dir + "/Gone.ipa", dir},
                                           {"nowhere", "/no/such/folder/x.ipa", platform::folders::homeDirectory()}}) {
        SCOPED_TRACE(c.what);
        view.ipaPathField.text = c.field;
        view.controller->browseIPAFilePathButtonAction();
        EXPECT_EQ(view.window.panel.directory, c.startsIn);
    }
    // A folder confirmed in a chooser is where the next one starts when its
    // field names no folder; nothing of it outlives the controller.
    view.window.panel.result = ui::OpenPanel::OKButton;
    view.window.panel.urls = {other};
    view.controller->browseDestinationPathButtonAction();
    view.window.panel.result = 0;
    view.ipaPathField.text = "";
    view.controller->browseIPAFilePathButtonAction();
    EXPECT_EQ(view.window.panel.directory, other);
    View fresh;
    fresh.window.panel.result = 0;
    fresh.controller->browseIPAFilePathButtonAction();
    EXPECT_EQ(fresh.window.panel.directory, platform::folders::homeDirectory());
}

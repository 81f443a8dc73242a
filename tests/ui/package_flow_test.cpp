// Opening packages and running re-signs through the controller, with the
// real engine, the real archive tools and the project's security and
// codesign commands.
#include <gtest/gtest.h>

#include "FakeView.h"
#include "engine/QFAppPackageHandler.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/queues.h"
#include "profile/QFProvisioningProfile.h"
#include "support/QFToolPaths.h"
#include "testkit/package.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

using fakeview::View;
using Lines = std::vector<std::string>;

namespace {

std::shared_ptr<QFProvisioningProfile> profile(const std::string& name, const std::string& bundleId) {
    auto p = std::make_shared<QFProvisioningProfile>(std::nullopt);
    p->setName(name);
    p->setBundleIdentifier(bundleId);
    return p;
}

struct PackageFlow : testing::Test {
    View view;
    std::string dir = testkit::makeScratchDir("flow");

    void SetUp() override {
        QFToolPaths paths = QFToolPaths::defaults();
        paths.security = testkit::binDir() + "/security";
        paths.codesign = testkit::binDir() + "/codesign";
        QFToolPaths::setCurrent(paths);
    }
    void TearDown() override { QFToolPaths::setCurrent(QFToolPaths::defaults()); }

    std::string package(const std::string& name, const std::string& embeddedBundleId = "com.example.demo") {
        testkit::PackageSpec shape;
        shape.appName = name;
        shape.frameworks = false;
        shape.appExtension = false;
        shape.oldProfileBytes = testkit::pki::makeProfile({.bundleId = embeddedBundleId});
        return testkit::buildPackage(dir + "/" + name + ".ipa", shape);
    }
    void choose(const std::string& path) {
        view.window.panel.result = ui::OpenPanel::OKButton;
        view.window.panel.urls = {path};
        view.controller->browseIPAFilePathButtonAction();
    }
    // Waits until the form is unlocked again.
    bool settle() {
        return testkit::pumpUntil([&] { return view.resignButton.enabled && view.browseIpaPathButton.enabled; });
    }
};

}  // namespace

TEST_F(PackageFlow, OpeningFillsTheFormAndLocksItMeanwhile) {
    std::string ipa = package("Demo");
    choose(ipa);
    // Locked at once, in the form's order.
    EXPECT_FALSE(view.resignButton.enabled);
    ASSERT_TRUE(settle());
    auto workPath = view.controller->package()->workPath();
    EXPECT_EQ(view.lines(), (Lines{"black: Start unzip the ipa file to path: " + workPath,
                                   "black: Unzip ipa file succeeded"}));
    EXPECT_EQ(view.ipaPathField.text, ipa);
    EXPECT_EQ(view.appNameField.text, "Demo");
    EXPECT_EQ(view.bundleIdField.text, "com.example.demo");
    EXPECT_EQ(view.destinationPathField.text, platform::folders::desktopDirectory());
    auto steps = view.lockSteps();
    ASSERT_EQ(steps.size(), 20u);
    EXPECT_EQ(steps.front(), "ipaPathField off");
    EXPECT_EQ(steps[9], "cleanButton off");
    EXPECT_EQ(steps[10], "ipaPathField on");
    EXPECT_EQ(steps.back(), "cleanButton on");
}

TEST_F(PackageFlow, MatchingProfileIsPreselectedOnlyWhenNoneWasChosen) {
    view.controller->setProvisioningArray(
        {profile("A", "com.example.other"), profile("B", "com.example.demo"), profile("C", "com.example.demo")});
    std::string first = package("Demo");
    choose(first);
    ASSERT_TRUE(settle());
    EXPECT_EQ(view.provisioningComboBox.selected, 1);  // the first match in list order
    EXPECT_EQ(view.certificateComboBox.selected, -1);  // identities are never preselected

    // A profile the user chose stays chosen.
    view.provisioningComboBox.selected = 0;
    choose(first);
    ASSERT_TRUE(settle());
    EXPECT_EQ(view.provisioningComboBox.selected, 0);

    // No match (the comparison is exact): nothing is selected.
    view.provisioningComboBox.selected = -1;
    choose(package("Other", "COM.EXAMPLE.DEMO"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(view.provisioningComboBox.selected, -1);
}

TEST_F(PackageFlow, SecondPackageReplacesTheFirstAndItsWorkDirectory) {
    view.destinationPathField.text = "/kept";
    choose(package("First"));
    ASSERT_TRUE(settle());
    auto firstWork = view.controller->package()->workPath();
    ASSERT_TRUE(platform::fs::isDirectory(firstWork));
    view.lines();  // the lines still queued
    view.logField.runs.clear();

    choose(package("Second"));
    EXPECT_FALSE(platform::fs::fileExists(firstWork));
    ASSERT_TRUE(settle());
    auto secondWork = view.controller->package()->workPath();
    EXPECT_NE(secondWork, firstWork);
    EXPECT_EQ(view.lines().front(), "black: Start unzip the ipa file to path: " + secondWork);
    EXPECT_EQ(view.appNameField.text, "Demo");  // the generated package's display name
    EXPECT_EQ(view.destinationPathField.text, "/kept");
}

TEST_F(PackageFlow, FailedOpeningUnlocksTheFormAndKeepsThePackage) {
    std::string broken = dir + "/Broken.ipa";
    testkit::writeFile(broken, "this is not an archive");
    choose(broken);
    ASSERT_TRUE(settle());
    auto lines = view.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("red: ", 0), 0u) << lines[1];
    EXPECT_NE(view.controller->package(), nullptr);
}

TEST_F(PackageFlow, ClosingTheWindowWhileOpeningUnlocksAtOnceAndIgnoresTheLateResult) {
    choose(package("Demo"));
    EXPECT_FALSE(view.resignButton.enabled);
    view.controller->viewDidDisappear();
    EXPECT_TRUE(view.resignButton.enabled);
    EXPECT_EQ(view.controller->package(), nullptr);
    view.journal.clear();

    // The unpacking's callback still comes; it must leave the cleared form be.
    testkit::pumpUntil([] { return false; }, std::chrono::milliseconds(1500));
    EXPECT_EQ(view.appNameField.text, "");
    EXPECT_TRUE(view.lockSteps().empty());
    for (const auto& line : view.lines()) EXPECT_EQ(line.find("Unzip ipa file succeeded"), std::string::npos);
}

TEST_F(PackageFlow, StartUpNamesEachMissingToolAndLoadsNothing) {
    QFToolPaths paths = QFToolPaths::current();
    paths.unzip = dir + "/no-unzip";
    QFToolPaths::setCurrent(paths);
    view.controller->viewDidLoad();
    EXPECT_EQ(view.resignButton.keyEquivalent, "\r");
    EXPECT_EQ(view.lines(), (Lines{"red: This command requires the support of " + paths.unzip}));
    testkit::pumpUntil([] { return false; }, std::chrono::milliseconds(300));
    for (const auto& entry : view.journal) EXPECT_EQ(entry.find("reload"), std::string::npos) << entry;
    EXPECT_EQ(view.controller->numberOfItemsInComboBox(&view.certificateComboBox), 0);
}

TEST_F(PackageFlow, StartUpWithAnEmptyKeychainSaysSoAndListsTheProfiles) {
    view.controller->viewDidLoad();
    // The profiles are in place when start-up returns; none is installed here.
    EXPECT_EQ(view.journal, (Lines{"provisioningComboBox reload"}));
    ASSERT_TRUE(testkit::pumpUntil([&] { return !view.lines().empty(); }));
    auto lines = view.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "red: There aren't Signign Certificates");
    EXPECT_NE(lines[1].find("Import Identity"), std::string::npos);  // and what to do about it
}

TEST_F(PackageFlow, FullRunReportsEveryStepThenGreenAndCanRunAgain) {
    const auto& pki = testkit::pki::TestPKI::shared();
    const std::string name = "Apple Development: Flow Test (ABCDE12345)";
    auto leaf = pki.issueLeaf({.commonName = name});
    testkit::writeFile(dir + "/id.p12", testkit::pki::pkcs12(leaf, {pki.intermediate()}, "pw"));
    std::string out;
    ASSERT_EQ(testkit::run({testkit::binDir() + "/security", "import", dir + "/id.p12", "-P", "pw"}, &out), 0) << out;
    std::string profilePath = dir + "/chosen.mobileprovision";
    testkit::writeFile(profilePath,
                       testkit::pki::makeProfile({.bundleId = "com.example.flow", .developerCertificates = {leaf.certDer}}));

    auto& c = *view.controller;
    c.setCertificatesArray({name});
    c.setProvisioningArray({std::make_shared<QFProvisioningProfile>(profilePath)});
    choose(package("Demo"));
    ASSERT_TRUE(settle());
    view.certificateComboBox.selected = 0;
    view.provisioningComboBox.selected = 0;
    std::string destination = testkit::makeScratchDir("dest");
    view.destinationPathField.text = destination;
    // The identifier comes from the profile; the typed one is ignored.
    fakeview::Button fromProfile("fromProfile", view.journal, 102);
    fromProfile.stateValue = ui::Button::on;
    c.bundleIdRadioAction(fromProfile);
    view.bundleIdField.text.clear();
    view.logField.runs.clear();
    view.journal.clear();

    // Closed in the middle of a run: the form is free at once, and the run's
    // late callbacks neither lock it again nor report into the cleared log.
    c.resignClick();
    EXPECT_FALSE(view.resignButton.enabled);
    c.viewDidDisappear();
    EXPECT_TRUE(view.resignButton.enabled);
    view.journal.clear();
    testkit::pumpUntil([] { return false; }, std::chrono::milliseconds(2000));
    EXPECT_TRUE(view.lockSteps().empty());
    for (const auto& line : view.lines()) EXPECT_EQ(line.rfind("black: ", 0), 0u) << line;

    // Opened again, the package re-signs from the start as often as asked.
    choose(package("Demo"));
    ASSERT_TRUE(settle());
    view.destinationPathField.text = destination;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        view.logField.runs.clear();
        c.resignClick();
        EXPECT_FALSE(view.resignButton.enabled);
        ASSERT_TRUE(settle());
        auto lines = view.lines();
        ASSERT_FALSE(lines.empty());
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "green: Resign done, ipa saved to " + destination);
        std::string result = destination + "/Demo.ipa";
        // The last line offers the folder that holds the new package.
        EXPECT_EQ(lines.back(), "black: The new package is " + result + " \u2014 [Open Folder](" + destination + ")");
        for (size_t i = 0; i + 2 < lines.size(); ++i) EXPECT_EQ(lines[i].rfind("black: ", 0), 0u) << lines[i];
        // The second run replaces the first one's package, after asking.
        EXPECT_EQ(view.window.askedToReplace.size(), static_cast<size_t>(run));
        ASSERT_TRUE(platform::fs::fileExists(result));
        std::string plist = testkit::archiveEntry(result, "Payload/Demo.app/Info.plist");
        EXPECT_NE(plist.find("com.example.flow"), std::string::npos);
    }
}

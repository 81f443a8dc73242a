// A whole re-sign through the window's own controls, with the real tools: a
// test identity in the keychain, a test profile installed, a generated
// package opened through the chooser.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "QtTestApp.h"
#include "WindowDriver.h"
#include "app/MainWindow.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "support/QFToolPaths.h"
#include "testkit/devicedouble.h"
#include "testkit/package.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"
#include "ui/ViewController.h"

namespace {

const std::string kIdentity = "Apple Development: Window Test (ABCDE12345)";

struct ResignThroughWindow : testing::Test {
    std::string dir;
    std::string ipa;

    void SetUp() override {
        qttest::application();
        dir = testkit::makeScratchDir("window-resign");
        QFToolPaths paths = QFToolPaths::defaults();
        paths.security = testkit::binDir() + "/security";
        paths.codesign = testkit::binDir() + "/codesign";
        QFToolPaths::setCurrent(paths);

        // A signing identity in this process's private keychain, imported the
        // way a user would.
        const auto& pki = testkit::pki::TestPKI::shared();
        auto leaf = pki.issueLeaf({.commonName = kIdentity});
        testkit::writeFile(dir + "/me.p12", testkit::pki::pkcs12(leaf, {pki.intermediate()}, "pw"));
        std::string out;
        ASSERT_EQ(testkit::run({paths.security, "import", dir + "/me.p12", "-P", "pw"}, &out), 0) << out;

        // Two installed profiles; the second matches the package's own.
        std::string installed = platform::folders::homeDirectory() + "/Library/MobileDevice/Provisioning Profiles";
        testkit::pki::ProfileOptions other{.name = "A Other", .bundleId = "com.example.other",
                                           .developerCertificates = {leaf.certDer}};
        testkit::pki::ProfileOptions match{.name = "B Demo", .bundleId = "com.example.demo",
                                           .uuid = "4A1B2C3D-0000-4000-8000-0123456789AC",
                                           .developerCertificates = {leaf.certDer}};
        testkit::writeFile(installed + "/other.mobileprovision", testkit::pki::makeProfile(other));
        testkit::writeFile(installed + "/demo.mobileprovision", testkit::pki::makeProfile(match));

        testkit::PackageSpec shape;
        shape.displayName = "Demo";
        shape.appExtension = false;  // no profile for an extension is installed here
        shape.oldProfileBytes = testkit::pki::makeProfile(match);
        ipa = testkit::buildPackage(dir + "/Demo.ipa", shape);
    }
    void TearDown() override {
        QFToolPaths::setCurrent(QFToolPaths::defaults());
        platform::fs::removeItem(platform::folders::homeDirectory() + "/Library");
    }
};

}  // namespace

TEST_F(ResignThroughWindow, EndsWithTheGreenLineAndTheArchiveOnDisk) {
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* identities = window.findChild<QComboBox*>("certificateComboBox");
    auto* profiles = window.findChild<QComboBox*>("provisioningComboBox");
    ASSERT_TRUE(qttest::waitFor([&] { return identities->count() == 1; }));
    EXPECT_EQ(identities->itemText(0).toStdString(), kIdentity);
    ASSERT_EQ(profiles->count(), 2);
    EXPECT_EQ(profiles->itemText(0), "A Other (com.example.other)");
    EXPECT_EQ(profiles->currentIndex(), -1);

    // Open through the chooser; the matching profile is preselected and the
    // form filled from the package.
    windowdriver::answerNextFileDialog(QString::fromStdString(ipa));
    QTest::mouseClick(window.findChild<QPushButton*>("browseIpaPathButton"), Qt::LeftButton);
    ASSERT_TRUE(qttest::waitFor([&] { return windowdriver::logText(window).contains("Unzip ipa file succeeded"); }));
    ASSERT_TRUE(qttest::waitFor([&] { return window.findChild<QPushButton*>("resignButton")->isEnabled(); }));
    EXPECT_EQ(profiles->currentIndex(), 1);
    EXPECT_EQ(window.findChild<QLineEdit*>("appNameField")->text(), "Demo");
    EXPECT_EQ(window.findChild<QLineEdit*>("bundleIdField")->text(), "com.example.demo");
    EXPECT_EQ(window.findChild<QLineEdit*>("ipaPathField")->text().toStdString(), ipa);
    // The destination was empty: the Desktop is filled in on opening.
    std::string desktop = platform::folders::desktopDirectory();
    EXPECT_EQ(window.findChild<QLineEdit*>("destinationPathField")->text().toStdString(), desktop);

    // Emptied again, the first Resign defaults it in orange and starts nothing.
    identities->setCurrentIndex(0);
    window.findChild<QLineEdit*>("destinationPathField")->clear();
    auto* name = window.findChild<QLineEdit*>("appNameField");
    name->setText("Demo Signed");
    name->setFocus();
    QTest::keyClick(name, Qt::Key_Return);
    ASSERT_TRUE(qttest::waitFor(
        [&] { return windowdriver::logText(window).contains("Default Save the file to your desktop"); }));
    EXPECT_TRUE(window.findChild<QPushButton*>("resignButton")->isEnabled());
    platform::fs::createDirectory(desktop);

    // The second Return starts the run; the form stays locked until it ends.
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_FALSE(window.findChild<QPushButton*>("resignButton")->isEnabled());
    EXPECT_TRUE(window.findChild<QProgressBar*>()->isVisible());
    ASSERT_TRUE(qttest::waitFor(
        [&] { return windowdriver::logText(window).contains("Resign done, ipa saved to " + QString::fromStdString(desktop)); },
        120000))
        << windowdriver::logText(window).toStdString();
    EXPECT_TRUE(window.findChild<QPushButton*>("resignButton")->isEnabled());
    EXPECT_FALSE(window.findChild<QProgressBar*>()->isVisible());

    std::string result = desktop + "/Demo Signed.ipa";
    ASSERT_TRUE(platform::fs::fileExists(result));
    auto entries = testkit::archiveEntries(result);
    EXPECT_NE(std::find(entries.begin(), entries.end(), "Payload/Demo.app/_CodeSignature/CodeResources"),
              entries.end());
    std::string plist = testkit::archiveEntry(result, "Payload/Demo.app/Info.plist");
    EXPECT_NE(plist.find("Demo Signed"), std::string::npos);
}

TEST_F(ResignThroughWindow, DriverRunsTheWholeRe_signAsAUserWould) {
    MainWindow window;
    window.show();
    std::string out = dir + "/out";
    platform::fs::createDirectory(out);
    EXPECT_EQ(windowdriver::resignThroughTheWindow(window, ipa, out), "");
    EXPECT_TRUE(platform::fs::fileExists(out + "/Demo.ipa"));
}

// The device picker lists the device on the cable and follows it out and in
// (the daemon's events); with "Install on device" the verdict names it and
// the new archive goes onto it byte for byte after the run.
TEST_F(ResignThroughWindow, PicksTheDeviceOnTheCableAndInstallsOnIt) {
    if (!testkit::DeviceDouble::available()) GTEST_SKIP() << "the device double is not built";
    testkit::DeviceDouble phone;  // its UDID is in the test profiles
    MainWindow window;
    window.show();
    auto* devices = window.findChild<QComboBox*>("deviceComboBox");
    auto* install = window.findChild<QCheckBox*>("installCheckBox");
    ASSERT_TRUE(devices && install);
    auto listed = [&] { return devices->count() == 1 && devices->itemText(0).startsWith("Test iPhone"); };
    ASSERT_TRUE(qttest::waitFor([&] { return listed() && install->isEnabled(); }, 30000)) << devices->itemText(0).toStdString();

    phone.unplug();
    ASSERT_TRUE(qttest::waitFor([&] { return devices->itemText(0) == "No device connected"; }, 30000));
    EXPECT_FALSE(install->isEnabled());
    EXPECT_FALSE(devices->isEnabled());
    phone.plug();
    ASSERT_TRUE(qttest::waitFor([&] { return listed() && install->isEnabled(); }, 30000));

    install->setChecked(true);
    const std::string out = dir + "/out";
    platform::fs::createDirectory(out);
    ASSERT_EQ(windowdriver::resignThroughTheWindow(window, ipa, out), "");
    const QString installed =
        QString::fromStdString("Installed com.example.demo on Test iPhone (UDID " + phone.udid() + ").");
    ASSERT_TRUE(qttest::waitFor([&] { return windowdriver::logText(window).contains(installed); }, 30000))
        << windowdriver::logText(window).toStdString();
    EXPECT_TRUE(windowdriver::logText(window).contains("Install: Uploading (100%)"));
    EXPECT_EQ(testkit::readFile(phone.keepDir() + "/com.example.demo.ipa"), testkit::readFile(out + "/Demo.ipa"));
    EXPECT_EQ(window.findChild<QLabel*>("verdictLabel")->text().toStdString(),
              "Ready: will install on Test iPhone (UDID " + phone.udid() + ")");
}

// The window's Options section with the real tools: collapsed at first, its
// removals counted by the verdict line, its pickers, and a re-sign with its
// changes that the independent verifier accepts.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>
#include <QToolButton>

#include "QtTestApp.h"
#include "WindowDriver.h"
#include "app/MainWindow.h"
#include "codesign/MachOEdit.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/plist.h"
#include "support/QFToolPaths.h"
#include "testkit/macho.h"
#include "testkit/package.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"
#include "ui/ViewController.h"

namespace {

namespace pki = testkit::pki;
const std::string kIdentity = "Apple Development: Options Test (ABCDE12345)";

std::string png(int side, const std::string& file, QColor color) {
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(color);
    image.save(QString::fromStdString(file), "PNG");
    return testkit::readFile(file);
}

struct OptionsWindow : testing::Test {
    std::string dir;
    std::unique_ptr<MainWindow> window;

    void SetUp() override {
        qttest::application();
        dir = testkit::makeScratchDir("window-options");
        QFToolPaths paths = QFToolPaths::defaults();
        paths.security = testkit::binDir() + "/security";
        paths.codesign = testkit::binDir() + "/codesign";
        QFToolPaths::setCurrent(paths);
        const auto& authority = pki::TestPKI::shared();
        auto leaf = authority.issueLeaf({.commonName = kIdentity});
        testkit::writeFile(dir + "/me.p12", pki::pkcs12(leaf, {authority.intermediate()}, "pw"));
        std::string out;
        ASSERT_EQ(testkit::run({paths.security, "import", dir + "/me.p12", "-P", "pw"}, &out), 0) << out;
        // A profile for the application alone: its extension would need one of its own.
        testkit::writeFile(platform::folders::homeDirectory() + "/Library/MobileDevice/Provisioning Profiles/a.mobileprovision",
                           pki::makeProfile({.name = "Demo", .bundleId = "com.example.demo",
                                             .developerCertificates = {leaf.certDer}}));
        window = std::make_unique<MainWindow>();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override {
        window.reset();
        QApplication::processEvents();
        QFToolPaths::setCurrent(QFToolPaths::defaults());
        platform::fs::removeItem(platform::folders::homeDirectory() + "/Library");
    }
    template <typename W>
    W* find(const char* name) {
        auto* w = window->findChild<W*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString verdict() { return find<QLabel>("verdictLabel")->text(); }
    bool verdictIs(const QString& start) {
        return qttest::waitFor([&] { return verdict().startsWith(start); }, 20000);
    }
};

}  // namespace

TEST_F(OptionsWindow, RemovalsNeedNoProfileAndEveryChangeReachesAPackageTheVerifierAccepts) {
    auto* body = find<QWidget>("optionsBody");
    EXPECT_FALSE(body->isVisible());  // collapsed at first
    QTest::mouseClick(find<QToolButton>("optionsToggle"), Qt::LeftButton);
    EXPECT_TRUE(body->isVisible());

    testkit::PackageSpec shape;
    shape.displayName = "Demo";
    shape.appFiles = {{"Icon.png", png(60, dir + "/old.png", Qt::red)}};
    const std::string ipa = testkit::buildPackage(dir + "/Demo.ipa", shape);
    ASSERT_TRUE(qttest::waitFor([&] { return find<QComboBox>("certificateComboBox")->currentIndex() == 0; }));
    window->openPackage(QString::fromStdString(ipa));
    ASSERT_TRUE(qttest::waitFor([&] { return windowdriver::logText(*window).contains("Unzip ipa file succeeded"); }));
    find<QLineEdit>("destinationPathField")->setText(QString::fromStdString(dir + "/out"));
    window->controller()->updateVerdict();
    ASSERT_TRUE(verdictIs("The nested bundle \"PlugIns/Share.appex\" needs a provisioning profile")) << verdict().toStdString();

    // Ticking the extension: it needs no profile, and the verdict counts it.
    auto* bundles = find<QListWidget>("nestedBundlesList");
    ASSERT_EQ(bundles->count(), 1);
    EXPECT_EQ(bundles->item(0)->text(), "PlugIns/Share.appex");
    bundles->item(0)->setCheckState(Qt::Checked);
    EXPECT_TRUE(verdictIs("Ready: will install on devices this profile lists, with 1 change from Options (1 nested "
                          "bundle removed, needing no profile)"))
        << verdict().toStdString();
    QTest::keyClicks(find<QLineEdit>("minimumOSField"), "14.x");
    EXPECT_TRUE(verdictIs("The minimum system version \"14.x\" is not a version")) << verdict().toStdString();
    find<QLineEdit>("minimumOSField")->clear();
    QTest::keyClicks(find<QLineEdit>("minimumOSField"), "15.0");

    // The pickers: an icon and a library to inject.
    png(512, dir + "/new.png", Qt::blue);
    windowdriver::answerNextFileDialog(QString::fromStdString(dir + "/new.png"));
    QTest::mouseClick(find<QPushButton>("chooseIconButton"), Qt::LeftButton);
    EXPECT_EQ(find<QLineEdit>("iconField")->text().toStdString(), dir + "/new.png");
    testkit::MachOSpec library;
    library.kind = testkit::MachOSpec::Kind::Dylib;
    ASSERT_EQ(testkit::buildMachO(dir + "/libTweak.dylib", library), "");
    windowdriver::answerNextFileDialog(QString::fromStdString(dir + "/libTweak.dylib"));
    QTest::mouseClick(find<QPushButton>("addLibraryButton"), Qt::LeftButton);
    ASSERT_EQ(find<QListWidget>("librariesList")->count(), 1);
    find<QCheckBox>("fileSharingBox")->click();
    EXPECT_TRUE(verdictIs("Ready: will install on devices this profile lists, with 5 changes from Options"))
        << verdict().toStdString();

    QTest::mouseClick(find<QPushButton>("resignButton"), Qt::LeftButton);
    EXPECT_FALSE(body->isEnabled());  // locked with the form
    ASSERT_TRUE(qttest::waitFor([&] { return windowdriver::logText(*window).contains("Resign done"); }, 120000))
        << windowdriver::logText(*window).toStdString();
    EXPECT_TRUE(body->isEnabled());

    const std::string unpacked = testkit::makeScratchDir("unpacked");
    ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", dir + "/out/Demo.ipa", "-d", unpacked}), 0);
    const std::string app = unpacked + "/Payload/Demo.app";
    testkit::writeFile(dir + "/root.pem", pki::TestPKI::shared().root().certPem());
    std::string found;
    EXPECT_EQ(testkit::run({"/usr/bin/python3", std::string(IPA_SOURCE_DIR) + "/tests/codesign/independent_verify.py",
                            "--ca", dir + "/root.pem", "--provisioning", "--strict", app},
                           &found),
              0)
        << found;
    EXPECT_FALSE(platform::fs::fileExists(app + "/PlugIns"));
    auto info = *platform::plist::parse(testkit::readFile(app + "/Info.plist"));
    EXPECT_EQ(*info.get("MinimumOSVersion")->asString(), "15.0");
    EXPECT_EQ(*info.get("UIFileSharingEnabled")->asBool(), true);
    EXPECT_EQ(QImage(QString::fromStdString(app + "/Icon.png")).pixelColor(30, 30), QColor(Qt::blue));
    EXPECT_EQ(QImage(QString::fromStdString(app + "/Icon.png")).size(), QSize(60, 60));
    codesign::InputFile executable;
    ASSERT_TRUE(executable.open(app + "/Demo"));
    auto slices = codesign::macho::readLibraries(executable);
    ASSERT_TRUE(slices && !slices->empty());
    EXPECT_EQ(slices->front().loads.back().path, "@executable_path/Frameworks/libTweak.dylib");

    // Clean empties the section with the form.
    QTest::mouseClick(find<QPushButton>("cleanButton"), Qt::LeftButton);
    EXPECT_EQ(find<QLineEdit>("minimumOSField")->text(), "");
    EXPECT_EQ(find<QListWidget>("librariesList")->count(), 0);
    EXPECT_EQ(bundles->count(), 0);
}

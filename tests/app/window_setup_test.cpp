// Setting up from the window alone, against a real keychain and profile
// folder: importing an identity, installing a profile, the marks and the
// preselection of the profile picker, the verdict line, the destination
// check and what a drop does.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <map>

#include "QtTestApp.h"
#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "engine/QFAppPackageHandler.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "support/QFToolPaths.h"
#include "system/QFFileHelper.h"
#include "testkit/package.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"
#include "ui/ViewController.h"
#include "ui/qt/QtControls.h"

namespace {

namespace pki = testkit::pki;
using std::chrono::hours;

const std::string kMine = "Apple Development: Setup Mine (MINE000001)";
const std::string kTeam = "MINE000001";

std::string profilesFolder() { return QFFileHelper::provisioningProfilesFolder(); }

// Answers the next modal dialog of type D once it shows.
template <typename D>
void answerNext(std::function<void(D*)> answer) {
    auto attempt = std::make_shared<std::function<void(int)>>();
    *attempt = [answer, attempt](int left) {
        if (auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget())) {
            answer(dialog);
            *attempt = nullptr;
            return;
        }
        if (left > 0) QTimer::singleShot(20, [attempt, left] { (*attempt)(left - 1); });
    };
    QTimer::singleShot(0, [attempt] { (*attempt)(500); });
}

void answerPassword(const QString& password) {
    answerNext<QInputDialog>([password](QInputDialog* d) {
        EXPECT_EQ(d->textEchoMode(), QLineEdit::Password);
        d->setTextValue(password);
        d->accept();
    });
}

void answerButton(const QString& text) {
    answerNext<QMessageBox>([text](QMessageBox* box) {
        for (auto* b : box->buttons())
            if (b->text().remove('&') == text) b->click();
    });
}

struct Setup : testing::Test {
    std::string dir;
    pki::Credential mine, stranger;
    std::unique_ptr<MainWindow> window;

    void SetUp() override {
        qttest::application();
        clean();
        dir = testkit::makeScratchDir("window-setup");
        QFToolPaths paths = QFToolPaths::defaults();
        paths.security = testkit::binDir() + "/security";
        paths.codesign = testkit::binDir() + "/codesign";
        QFToolPaths::setCurrent(paths);
        const auto& authority = pki::TestPKI::shared();
        mine = authority.issueLeaf({.commonName = kMine, .teamId = kTeam});
        stranger = authority.issueLeaf({.commonName = "Apple Development: Someone Else (OTHER00001)",
                                        .teamId = "OTHER00001"});
        testkit::writeFile(dir + "/mine.p12", pki::pkcs12(mine, {authority.intermediate()}, "right"));
    }
    void TearDown() override {
        window.reset();
        QApplication::processEvents();
        QFToolPaths::setCurrent(QFToolPaths::defaults());
        clean();
    }
    static void clean() {
        platform::fs::removeItem(platform::folders::homeDirectory() + "/Library");
        platform::fs::removeItem(platform::folders::dataHome() + "/ipa-resigner/keychain");
    }

    void importMine() {
        std::string out;
        ASSERT_EQ(testkit::run({testkit::binDir() + "/security", "import", dir + "/mine.p12", "-P", "right"}, &out), 0)
            << out;
    }
    void install(const std::string& file, pki::ProfileOptions options) {
        testkit::writeFile(profilesFolder() + "/" + file, pki::makeProfile(options));
    }
    pki::ProfileOptions profileFor(const std::string& name, const std::string& bundleId, const std::string& uuid,
                                   const pki::Credential& who, const std::string& team) {
        return {.name = name, .teamId = team, .bundleId = bundleId, .uuid = uuid, .developerCertificates = {who.certDer}};
    }
    std::string package(const std::string& embeddedBundleId) {
        testkit::PackageSpec shape;
        shape.displayName = "Demo";
        shape.appExtension = false;
        shape.oldProfileBytes = pki::makeProfile({.name = "Old", .teamId = "OLDTEAM001", .bundleId = embeddedBundleId});
        return testkit::buildPackage(dir + "/Demo.ipa", shape);
    }

    void open() {
        window = std::make_unique<MainWindow>();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    template <typename W>
    W* find(const char* name) {
        auto* w = window->findChild<W*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString logText() { return find<QTextEdit>("logField")->toPlainText(); }
    bool logHas(const QString& text, int ms = 20000) {
        return qttest::waitFor([&] { return logText().contains(text); }, ms);
    }
    QString verdict() { return find<QLabel>("verdictLabel")->text(); }
    bool verdictIs(const QString& start, int ms = 20000) {
        return qttest::waitFor([&] { return verdict().startsWith(start); }, ms);
    }
    QStringList items(const char* picker) {
        QStringList out;
        auto* box = find<QComboBox>(picker);
        for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
        return out;
    }
    QString chosen(const char* picker) { return find<QComboBox>(picker)->currentText(); }

    // Drops local files on a widget (the window when none) as a file manager does.
    bool drop(const std::vector<std::string>& paths, QWidget* on = nullptr) {
        QWidget* target = on ? on : window.get();
        QMimeData data;
        QList<QUrl> urls;
        for (const auto& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
        data.setUrls(urls);
        data.setText(urls.front().toString());
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &dropped);
        return dropped.isAccepted();
    }
    void openPackage(const std::string& ipa) {
        window->openPackage(QString::fromStdString(ipa));
        ASSERT_TRUE(logHas("Unzip ipa file succeeded"));
    }
};

}  // namespace

TEST_F(Setup, ImportsAnIdentityFromADroppedP12AfterAWrongPassword) {
    open();
    ASSERT_TRUE(logHas("There aren't Signign Certificates"));
    EXPECT_TRUE(logText().contains("Import Identity"));  // the first start says what to do
    EXPECT_TRUE(find<QPushButton>("importIdentityButton")->isVisible());

    answerPassword("Hunter2-secret");
    EXPECT_TRUE(drop({dir + "/mine.p12"}));
    ASSERT_TRUE(logHas("was not imported"));
    EXPECT_FALSE(logText().contains("Hunter2"));  // the password is never logged
    EXPECT_EQ(find<QComboBox>("certificateComboBox")->count(), 0);

    answerPassword("right");
    window->controller()->importIdentityAtPath(dir + "/mine.p12");
    ASSERT_TRUE(qttest::waitFor([&] { return items("certificateComboBox") == QStringList{QString::fromStdString(kMine)}; }));
    EXPECT_EQ(chosen("certificateComboBox").toStdString(), kMine);  // the new one is chosen
    EXPECT_TRUE(qttest::waitFor([&] { return !find<QPushButton>("importIdentityButton")->isVisible(); }));

    // A second identity imported from the window is the one chosen after it.
    auto other = pki::TestPKI::shared().issueLeaf({.commonName = "Apple Distribution: Second (MINE000001)", .teamId = kTeam});
    testkit::writeFile(dir + "/second.p12", pki::pkcs12(other, {}, "pw2"));
    answerPassword("pw2");
    window->controller()->importIdentityAtPath(dir + "/second.p12");
    ASSERT_TRUE(qttest::waitFor([&] { return items("certificateComboBox").size() == 2; }));
    EXPECT_EQ(chosen("certificateComboBox"), "Apple Distribution: Second (MINE000001)");

    // Removing one from the manage view asks first and goes through the security command.
    std::vector<ViewController::IdentityRecord> records;
    bool loaded = false;
    window->controller()->loadIdentityRecords([&](auto r) {
        records = std::move(r);
        loaded = true;
    });
    ASSERT_TRUE(qttest::waitFor([&] { return loaded; }));
    ASSERT_EQ(records.size(), 2u);
    auto second = std::find_if(records.begin(), records.end(), [](auto& r) { return r.name.find("Second") != std::string::npos; });
    ASSERT_NE(second, records.end());
    EXPECT_EQ(second->team, kTeam);
    EXPECT_EQ(second->expires.size(), 10u);
    EXPECT_EQ(second->problem, "");
    answerButton("Keep It");
    window->controller()->removeIdentity(*second, nullptr);
    QTest::qWait(200);
    EXPECT_EQ(items("certificateComboBox").size(), 2);
    answerButton("Remove");
    window->controller()->removeIdentity(*second, nullptr);
    ASSERT_TRUE(qttest::waitFor([&] { return items("certificateComboBox").size() == 1; }));
    EXPECT_EQ(chosen("certificateComboBox").toStdString(), kMine);
}

TEST_F(Setup, InstallsADroppedProfileByItsUuidInAPrivateFolder) {
    open();
    ASSERT_FALSE(platform::fs::fileExists(profilesFolder()));
    testkit::writeFile(dir + "/download.mobileprovision",
                       pki::makeProfile(profileFor("Mine", "com.example.demo", "11111111-2222-4333-8444-555555555555", mine, kTeam)));
    testkit::writeFile(dir + "/broken.mobileprovision", "not a profile");
    EXPECT_TRUE(drop({dir + "/broken.mobileprovision", dir + "/download.mobileprovision"}));
    EXPECT_TRUE(logHas("broken.mobileprovision is not a provisioning profile"));
    std::string installed = profilesFolder() + "/11111111-2222-4333-8444-555555555555.mobileprovision";
    EXPECT_TRUE(platform::fs::fileExists(installed));
    struct stat info {};
    ASSERT_EQ(::stat(profilesFolder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(items("provisioningComboBox"), QStringList{"Mine (com.example.demo)"});

    // Copied in by other means while the window is open: listed all the same.
    install("copied.mobileprovision", profileFor("Copied", "com.example.copied", "C0", mine, kTeam));
    EXPECT_TRUE(qttest::waitFor([&] { return items("provisioningComboBox").size() == 2; }, 10000));

    // While the window is hidden: listed when it is shown again.
    window->close();
    install("later.mobileprovision", profileFor("Later", "com.example.later", "C1", mine, kTeam));
    AppDelegate().applicationShouldHandleReopen(false);
    EXPECT_TRUE(qttest::waitFor([&] { return items("provisioningComboBox").size() == 3; }, 10000));
}

TEST_F(Setup, PickerMarksWhatTheIdentityCannotUseAndPreselectsOnlyUsableProfiles) {
    importMine();
    const auto now = std::chrono::system_clock::now();
    // The package's old profile's identifier matches the other team's profile.
    install("a.mobileprovision", profileFor("A Old Team", "com.example.demo", "A0", stranger, "OTHER00001"));
    auto expired = profileFor("B Expired", "com.example.demo", "B0", mine, kTeam);
    expired.creationDate = std::chrono::time_point_cast<std::chrono::seconds>(now - hours(48));
    expired.expirationDate = std::chrono::time_point_cast<std::chrono::seconds>(now - hours(24));
    install("b.mobileprovision", expired);
    install("c.mobileprovision", profileFor("C Other Team", "com.example.demo", "C0", mine, "OTHER00001"));
    install("d.mobileprovision", profileFor("D Mine", "com.example.*", "D0", mine, kTeam));
    std::string ipa = package("com.example.demo");

    open();
    // The one valid identity is chosen, and the profiles are marked for it.
    ASSERT_TRUE(qttest::waitFor([&] { return chosen("certificateComboBox").toStdString() == kMine; }));
    ASSERT_TRUE(qttest::waitFor([&] { return items("provisioningComboBox").value(0) == "D Mine (com.example.*)"; }));
    QStringList shown = items("provisioningComboBox");
    ASSERT_EQ(shown.size(), 4);
    EXPECT_TRUE(shown[1].startsWith("A Old Team") && shown[1].contains("does not list")) << shown[1].toStdString();
    EXPECT_TRUE(shown[2].startsWith("B Expired") && shown[2].contains("expired")) << shown[2].toStdString();
    EXPECT_TRUE(shown[3].startsWith("C Other Team") && shown[3].contains("another team")) << shown[3].toStdString();

    // The old team's profile matches the package, but cannot be used: the
    // usable one that fits the package's identifier is chosen instead.
    openPackage(ipa);
    EXPECT_EQ(chosen("provisioningComboBox"), "D Mine (com.example.*)");
    ASSERT_TRUE(verdictIs("Ready: will install on devices this profile lists"));
    EXPECT_EQ(find<QLabel>("verdictLabel")->palette().color(QPalette::WindowText),
              ui::qt::colorFor(ui::LogColor::green, find<QLabel>("verdictLabel")));

    // The details view's rows.
    auto rows = ViewController::profileDetails(*window->controller()->selectedProfile());
    std::map<std::string, std::string> details(rows.begin(), rows.end());
    EXPECT_EQ(details["UUID"], "D0");
    EXPECT_EQ(details["Type"], "Development");
    EXPECT_EQ(details["Devices"], "1");
    EXPECT_EQ(details["Application identifier"], kTeam + ".com.example.*");
    EXPECT_NE(details["Team"].find(kTeam), std::string::npos);
    EXPECT_NE(details["Entitlements"].find("application-identifier"), std::string::npos);
}

TEST_F(Setup, VerdictLineNamesTheFirstProblemBeforeResign) {
    importMine();
    install("a.mobileprovision", profileFor("A Other Team", "com.example.demo", "A0", mine, "OTHER00001"));
    auto expired = profileFor("B Expired", "com.example.demo", "B0", mine, kTeam);
    expired.creationDate = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now() - hours(48));
    expired.expirationDate = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now() - hours(1));
    install("b.mobileprovision", expired);
    install("c.mobileprovision", profileFor("C Unlisted", "com.example.demo", "C0", stranger, kTeam));
    install("d.mobileprovision", profileFor("D Exact", "com.example.demo", "D0", mine, kTeam));
    open();
    ASSERT_TRUE(qttest::waitFor([&] { return chosen("certificateComboBox").toStdString() == kMine; }));
    openPackage(package("com.example.demo"));
    ASSERT_TRUE(verdictIs("Ready:"));

    std::string blocker = dir + "/a-file";
    testkit::writeFile(blocker, "x");
    auto* profiles = find<QComboBox>("provisioningComboBox");
    auto choose = [&](const QString& start) {
        for (int i = 0; i < profiles->count(); ++i)
            if (profiles->itemText(i).startsWith(start)) profiles->setCurrentIndex(i);
    };
    struct Case {
        const char* what;
        std::function<void()> make;
        QString verdict;
    };
    std::vector<Case> cases = {
        {"another team", [&] { choose("A Other Team"); }, "The profile \"A Other Team\" is for team OTHER00001"},
        {"expired", [&] { choose("B Expired"); }, "The profile \"B Expired\" has expired"},
        {"certificate not listed", [&] { choose("C Unlisted"); }, "The profile \"C Unlisted\" does not list the certificate"},
        {"identifier", [&] { choose("D Exact"); find<QLineEdit>("bundleIdField")->setText("com.other.app"); },
         "The bundle identifier \"com.other.app\" does not fit"},
        {"no name", [&] { find<QLineEdit>("bundleIdField")->setText("com.example.demo"); find<QLineEdit>("appNameField")->setText(""); },
         "This app cann't have no name"},
        {"destination", [&] { find<QLineEdit>("appNameField")->setText("Demo"); find<QLineEdit>("destinationPathField")->setText(QString::fromStdString(blocker + "/out")); },
         "The destination"},
        {"ready again", [&] { find<QLineEdit>("destinationPathField")->setText(QString::fromStdString(dir + "/out")); }, "Ready:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        window->controller()->updateVerdict();
        EXPECT_TRUE(verdictIs(c.verdict)) << verdict().toStdString();
    }
}

TEST_F(Setup, FromAnEmptyHomeTheWindowAloneSetsUpAndRe_signsCheckingTheDestinationFirst) {
    // Nothing in the keychain, no profile installed: both come from the window.
    open();
    testkit::writeFile(dir + "/d.mobileprovision", pki::makeProfile(profileFor("D Exact", "com.example.demo", "D0", mine, kTeam)));
    answerPassword("right");
    EXPECT_TRUE(drop({dir + "/mine.p12", dir + "/d.mobileprovision"}));
    ASSERT_TRUE(qttest::waitFor([&] { return chosen("certificateComboBox").toStdString() == kMine; }));
    openPackage(package("com.example.demo"));
    ASSERT_TRUE(verdictIs("Ready:"));

    std::string blocker = dir + "/a-file";
    testkit::writeFile(blocker, "x");
    find<QLineEdit>("destinationPathField")->setText(QString::fromStdString(blocker + "/sub"));
    QTest::mouseClick(find<QPushButton>("resignButton"), Qt::LeftButton);
    ASSERT_TRUE(logHas("is a file, not a folder"));
    QTest::qWait(300);  // nothing follows: no work was started
    EXPECT_TRUE(logText().trimmed().endsWith("Choose a folder to save the new package in.")) << logText().toStdString();
    EXPECT_TRUE(find<QPushButton>("resignButton")->isEnabled());

    std::string out = dir + "/out";
    platform::fs::createDirectory(out);
    testkit::writeFile(out + "/Demo.ipa", "an earlier package");
    find<QLineEdit>("destinationPathField")->setText(QString::fromStdString(out));
    answerButton("Keep It");
    QTest::mouseClick(find<QPushButton>("resignButton"), Qt::LeftButton);
    ASSERT_TRUE(logHas("is already there and was kept"));
    EXPECT_EQ(testkit::readFile(out + "/Demo.ipa"), "an earlier package");

    answerButton("Replace");
    QTest::mouseClick(find<QPushButton>("resignButton"), Qt::LeftButton);
    ASSERT_TRUE(logHas("Resign done, ipa saved to", 120000));
    EXPECT_NE(testkit::readFile(out + "/Demo.ipa"), "an earlier package");
    std::string unpacked = testkit::makeScratchDir("unpacked");
    ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", out + "/Demo.ipa", "-d", unpacked}), 0);
    testkit::writeFile(dir + "/root.pem", pki::TestPKI::shared().root().certPem());
    std::string verdictText;
    EXPECT_EQ(testkit::run({"/usr/bin/python3", std::string(IPA_SOURCE_DIR) + "/tests/codesign/independent_verify.py",
                            "--ca", dir + "/root.pem", "--provisioning", unpacked + "/Payload/Demo.app"},
                           &verdictText),
              0)
        << verdictText;
    // Space and Return press Resign again.
    EXPECT_TRUE(qttest::waitFor([&] { return window->focusWidget() == find<QPushButton>("resignButton"); }, 5000));
    // The last line offers the folder; with no file manager, a line says so.
    ASSERT_TRUE(logHas("Open Folder"));
    QByteArray path = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(dir + "/no-tools"));
    window->controller()->openResultFolder(out);
    EXPECT_TRUE(logHas("No file manager could be started"));
    qputenv("PATH", path);
}

TEST_F(Setup, DropsOpenPackagesAnywhereAndSayWhatTheWindowTakes) {
    open();
    std::string ipa = dir + "/Dropped.ipa";
    testkit::writeFile(ipa, "not a zip");
    testkit::writeFile(dir + "/notes.txt", "x");
    auto* field = find<QLineEdit>("ipaPathField");
    EXPECT_TRUE(drop({ipa}, field));
    EXPECT_EQ(field->text().toStdString(), ipa);  // the path, never file:// text
    EXPECT_TRUE(logHas("Start unzip the ipa file to path:"));
    ASSERT_TRUE(qttest::waitFor([&] { return find<QPushButton>("resignButton")->isEnabled(); }));

    EXPECT_TRUE(drop({dir + "/notes.txt"}, find<QLineEdit>("appNameField")));
    EXPECT_TRUE(logHas("Not taken: notes.txt. The window takes an .ipa package"));
    EXPECT_EQ(find<QLineEdit>("appNameField")->text().contains("file:"), false);
}

TEST_F(Setup, UnderXvfbTheWindowOpensWithTheVerdictLine) {
    const std::string driver = testkit::binDir() + "/../tests/screenshot-driver";
    for (const std::string& needed : {std::string("/usr/bin/xvfb-run"), std::string("/usr/bin/import"), driver})
        if (!platform::fs::fileExists(needed)) GTEST_SKIP() << needed << " is missing";
    importMine();
    install("d.mobileprovision", profileFor("D Exact", "com.example.demo", "D0", mine, kTeam));
    std::string ipa = package("com.example.demo");
    // The driver is a program of its own, on the X server xvfb-run starts.
    QByteArray platformName = qgetenv("QT_QPA_PLATFORM");
    qputenv("QT_QPA_PLATFORM", "xcb");
    std::string out;
    int status = testkit::run({"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 800x640x24 -nolisten tcp", driver,
                               "--verdict", ipa, dir + "/shot.png"},
                              &out);
    qputenv("QT_QPA_PLATFORM", platformName);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(platform::fs::fileExists(dir + "/shot.png"));
}

TEST_F(Setup, CancelEndsTheWorkAndRemovesItsFolder) {
    open();
    auto* cancel = find<QPushButton>("cancelButton");
    EXPECT_FALSE(cancel->isVisible());
    window->openPackage(QString::fromStdString(package("com.example.demo")));
    ASSERT_TRUE(window->controller()->isWorking());
    const std::string work = window->controller()->package()->workPath();
    EXPECT_TRUE(cancel->isVisible());
    QTest::mouseClick(cancel, Qt::LeftButton);
    EXPECT_FALSE(window->controller()->isWorking());
    EXPECT_TRUE(find<QPushButton>("resignButton")->isEnabled());
    EXPECT_FALSE(cancel->isVisible());
    ASSERT_TRUE(logHas("Cancelled: the running tools were ended"));
    QTest::qWait(1000);  // whatever the ended tool reports comes to nothing
    EXPECT_FALSE(logText().contains("Unzip ipa file succeeded"));
    EXPECT_FALSE(platform::fs::fileExists(work));
}

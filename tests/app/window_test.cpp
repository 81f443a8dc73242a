// The real window on Qt's offscreen platform: its outlets reach the
// controller, Return presses Resign, the log is drawn in colour, and the
// shell brings a closed window back.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QUrl>
#include <thread>

#include "QtTestApp.h"
#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "profile/QFProvisioningProfile.h"
#include "testkit/testkit.h"
#include "ui/ViewController.h"
#include "ui/qt/QtControls.h"

namespace {

struct Window : testing::Test {
    std::unique_ptr<MainWindow> window;

    void SetUp() override {
        qttest::application();
        window = std::make_unique<MainWindow>();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override {
        window.reset();
        QApplication::processEvents();
    }

    template <typename W>
    W* find(const char* name) {
        auto* w = window->findChild<W*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString logText() { return find<QTextEdit>("logField")->toPlainText(); }
    bool logHas(const QString& text) {
        return qttest::waitFor([&] { return logText().contains(text); }, 10000);
    }
};

std::shared_ptr<QFProvisioningProfile> profile(const std::string& name, const std::string& bundleId) {
    auto p = std::make_shared<QFProvisioningProfile>(std::nullopt);
    p->setName(name);
    p->setBundleIdentifier(bundleId);
    return p;
}

}  // namespace

TEST_F(Window, EveryOutletIsAControlOfTheRightKindHandedToTheController) {
    auto c = window->controller();
    EXPECT_EQ(c->ipaPathField(), nullptr == find<QLineEdit>("ipaPathField") ? nullptr : c->ipaPathField());
    for (auto name : {"ipaPathField", "appNameField", "destinationPathField", "bundleIdField"}) find<QLineEdit>(name);
    for (auto name : {"browseIpaPathButton", "browseDestinationPathButton", "cacheFolderButton", "resignButton",
                      "cleanButton"})
        find<QPushButton>(name);
    find<QComboBox>("certificateComboBox");
    find<QComboBox>("provisioningComboBox");
    find<QTextEdit>("logField");
    for (void* outlet : {(void*)c->ipaPathField(), (void*)c->browseIpaPathButton(), (void*)c->certificateComboBox(),
                         (void*)c->provisioningComboBox(), (void*)c->appNameField(), (void*)c->destinationPathField(),
                         (void*)c->browseDestinationPathButton(), (void*)c->bundleIdField(),
                         (void*)c->cacheFolderButton(), (void*)c->resignButton(), (void*)c->cleanButton(),
                         (void*)c->logField(), (void*)c->view()})
        EXPECT_NE(outlet, nullptr);

    // The controller's texts are the widgets' texts.
    find<QLineEdit>("appNameField")->setText("Grüße 100%");
    EXPECT_EQ(c->appNameField()->stringValue(), "Grüße 100%");
    c->bundleIdField()->setStringValue("com.example.ünï");
    EXPECT_EQ(find<QLineEdit>("bundleIdField")->text(), QString("com.example.ünï"));
}

TEST_F(Window, RadioButtonsCarryTheirTagsAndChooseTheBundleIdentifierSource) {
    auto* typed = find<QRadioButton>("bundleIdFromFieldRadio");
    auto* fromProfile = find<QRadioButton>("bundleIdFromProfileRadio");
    EXPECT_EQ(typed->property("tag").toInt(), 101);
    EXPECT_EQ(fromProfile->property("tag").toInt(), 102);
    EXPECT_TRUE(typed->isChecked());
    auto c = window->controller();
    EXPECT_FALSE(c->useMobileprovisionBundleID());
    QTest::mouseClick(fromProfile, Qt::LeftButton);
    EXPECT_TRUE(c->useMobileprovisionBundleID());
    QTest::mouseClick(typed, Qt::LeftButton);
    EXPECT_FALSE(c->useMobileprovisionBundleID());
}

TEST_F(Window, ButtonsSendTheirActions) {
    find<QLineEdit>("ipaPathField")->setText("/no/such.ipa");
    QTest::mouseClick(find<QPushButton>("resignButton"), Qt::LeftButton);
    EXPECT_TRUE(logHas("Not found ipa file /no/such.ipa"));

    find<QLineEdit>("appNameField")->setText("Name");
    QTest::mouseClick(find<QPushButton>("cleanButton"), Qt::LeftButton);
    EXPECT_EQ(find<QLineEdit>("appNameField")->text(), "");
    EXPECT_EQ(find<QLineEdit>("ipaPathField")->text(), "");
    EXPECT_EQ(logText(), "");
}

TEST_F(Window, ReturnPressesResignWhileItIsEnabled) {
    auto* name = find<QLineEdit>("appNameField");
    name->setFocus();
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_TRUE(logHas("Not found ipa file"));

    window->controller()->disableControls();
    QTest::mouseClick(find<QPushButton>("cleanButton"), Qt::LeftButton);  // disabled: no effect
    EXPECT_NE(logText(), "");
    QTest::keyClick(window.get(), Qt::Key_Enter);
    QApplication::processEvents();
    EXPECT_EQ(logText().count("Not found ipa file"), 1);
    window->controller()->enableControls();
    QTest::keyClick(window.get(), Qt::Key_Enter);
    EXPECT_TRUE(qttest::waitFor([&] { return logText().count("Not found ipa file") == 2; }, 10000));
}

TEST_F(Window, LogLinesAreColouredRunsAndFollowTheEnd) {
    auto c = window->controller();
    std::thread([c] {
        c->addLog("progress 100%", ui::LogColor::black);
        c->addLog("failed", ui::LogColor::red);
    }).join();
    ASSERT_TRUE(logHas("failed"));
    auto* log = find<QTextEdit>("logField");
    // The last two blocks are the two lines (the start-up may have logged before).
    QTextBlock second = log->document()->lastBlock().previous();
    QTextBlock first = second.previous();
    ASSERT_TRUE(first.isValid());
    EXPECT_TRUE(first.text().endsWith("] progress 100%")) << first.text().toStdString();
    EXPECT_TRUE(second.text().endsWith("] failed")) << second.text().toStdString();
    EXPECT_TRUE(second.text().startsWith("[")) << second.text().toStdString();
    int runs = 0;
    for (auto it = second.begin(); !it.atEnd(); ++it, ++runs) {
        QTextFragment fragment = it.fragment();
        QColor expected = fragment.text().startsWith('[') ? ui::qt::colorFor(ui::LogColor::gray)
                                                          : ui::qt::colorFor(ui::LogColor::red);
        EXPECT_EQ(fragment.charFormat().foreground().color(), expected) << fragment.text().toStdString();
    }
    EXPECT_EQ(runs, 2);
    // Scrolled to the end once the burst is in.
    EXPECT_TRUE(qttest::waitFor(
        [&] { return log->textCursor().position() == log->document()->characterCount() - 1; }, 10000));
}

TEST_F(Window, PickersShowTheControllersLists) {
    auto c = window->controller();
    c->setCertificatesArray({"Apple Development: Jane Doe (ABCDE12345)"});
    c->setProvisioningArray({profile("Alpha", "com.alpha"), profile("Beta", "*")});
    c->certificateComboBox()->reloadData();
    c->provisioningComboBox()->reloadData();
    auto* identities = find<QComboBox>("certificateComboBox");
    auto* profiles = find<QComboBox>("provisioningComboBox");
    ASSERT_EQ(identities->count(), 1);
    EXPECT_EQ(identities->itemText(0), "Apple Development: Jane Doe (ABCDE12345)");
    EXPECT_EQ(identities->currentIndex(), -1);  // nothing chosen at start
    ASSERT_EQ(profiles->count(), 2);
    EXPECT_EQ(profiles->itemText(1), "Beta (*)");
    c->provisioningComboBox()->selectItemAtIndex(1);
    EXPECT_EQ(profiles->currentIndex(), 1);
    EXPECT_EQ(c->provisioningComboBox()->indexOfSelectedItem(), 1);
}

TEST_F(Window, BusyIndicatorAndTitleFollowTheForm) {
    auto* busy = window->findChild<QProgressBar*>();
    ASSERT_NE(busy, nullptr);
    EXPECT_FALSE(busy->isVisible());
    window->controller()->disableControls();
    EXPECT_TRUE(busy->isVisible());
    window->controller()->enableControls();
    EXPECT_FALSE(busy->isVisible());

    EXPECT_EQ(window->windowTitle(), "IPA Resigner");
    find<QLineEdit>("ipaPathField")->setText("/some/where/My App.ipa");
    EXPECT_TRUE(window->windowTitle().startsWith("My App.ipa"));
}

TEST_F(Window, DroppingAnIpaOpensItLikeTheChooser) {
    std::string dir = testkit::makeScratchDir("drop");
    std::string ipa = dir + "/Dropped.IPA";
    testkit::writeFile(ipa, "not a zip");
    testkit::writeFile(dir + "/notes.txt", "x");

    auto drop = [&](const std::string& path) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropEvent(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &dropEvent);
        return true;
    };
    EXPECT_TRUE(drop(dir + "/notes.txt"));  // taken, and answered with what the window takes
    EXPECT_TRUE(logHas("Not taken: notes.txt"));
    EXPECT_TRUE(drop(ipa));
    EXPECT_EQ(find<QLineEdit>("ipaPathField")->text().toStdString(), ipa);
    EXPECT_NE(window->controller()->package(), nullptr);
    EXPECT_TRUE(logHas("Start unzip the ipa file to path:"));
    // The destination was empty: the Desktop is filled in, without a line.
    EXPECT_FALSE(find<QLineEdit>("destinationPathField")->text().isEmpty());
    EXPECT_FALSE(logText().contains("Default Save"));
    // Whatever the unpacking says, the form ends unlocked.
    EXPECT_TRUE(qttest::waitFor([&] { return find<QPushButton>("resignButton")->isEnabled(); }));
}

TEST_F(Window, ClosingClearsTheFormAndReopeningShowsTheSameWindow) {
    auto c = window->controller();
    c->setCertificatesArray({"Identity"});
    c->certificateComboBox()->reloadData();
    find<QLineEdit>("appNameField")->setText("Name");
    auto cache = ViewController::cacheFolderPath();
    ASSERT_TRUE(cache);
    testkit::writeFile(*cache + "/unzip/x", "x");

    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(find<QLineEdit>("appNameField")->text(), "");
    EXPECT_FALSE(testkit::readFile(*cache + "/unzip/x") == "x");

    AppDelegate delegate;
    EXPECT_TRUE(delegate.applicationShouldHandleReopen(false));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->controller(), c);
    EXPECT_EQ(find<QComboBox>("certificateComboBox")->count(), 1);  // the lists stay loaded
}

TEST_F(Window, ClosingWhileWorkRunsAsksFirst) {
    std::string ipa = testkit::makeScratchDir("close") + "/Pending.ipa";
    testkit::writeFile(ipa, "not a zip");
    // Answers the question with the button of that text once it shows.
    auto answer = [](const QString& button) {
        QTimer::singleShot(0, [button] {
            auto* ask = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!ask) return;
            for (auto* b : ask->buttons())
                if (b->text() == button) b->click();
        });
    };
    window->openPackage(QString::fromStdString(ipa));
    ASSERT_TRUE(window->controller()->isWorking());
    answer("Keep Working");
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(find<QLineEdit>("ipaPathField")->text().toStdString(), ipa);

    answer("Throw Away");
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->controller()->isWorking());
    EXPECT_TRUE(find<QPushButton>("resignButton")->isEnabled());
}

TEST_F(Window, LogColoursReachTheirContrastOnLightAndDarkPalettes) {
    auto* log = find<QTextEdit>("logField");
    const QPalette original = log->palette();
    for (const QColor& base : {QColor(Qt::white), QColor(0xf0, 0xf0, 0xf0), QColor(0x1e, 0x1e, 0x1e), QColor(Qt::black),
                               QColor(0x44, 0x44, 0x48)}) {
        QPalette palette = original;
        palette.setColor(QPalette::Base, base);
        log->setPalette(palette);
        for (auto color : {ui::LogColor::red, ui::LogColor::orange, ui::LogColor::green, ui::LogColor::gray})
            EXPECT_GE(ui::qt::contrastRatio(ui::qt::colorFor(color, log), base), 4.5)
                << base.name().toStdString() << " " << static_cast<int>(color);
    }
    log->setPalette(original);
}

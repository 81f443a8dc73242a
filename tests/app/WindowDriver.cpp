#include "WindowDriver.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include "app/MainWindow.h"

namespace windowdriver {

void answerNextFileDialog(const QString& path) {
    auto attempt = std::make_shared<std::function<void(int)>>();
    *attempt = [path, attempt](int left) {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            if (left > 0) QTimer::singleShot(20, [attempt, left] { (*attempt)(left - 1); });
            return;
        }
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept();
        *attempt = nullptr;  // the self-reference ends here
    };
    QTimer::singleShot(0, [attempt] { (*attempt)(500); });
}

QString logText(MainWindow& window) { return window.findChild<QTextEdit*>("logField")->toPlainText(); }

bool waitFor(const std::function<bool()>& done, int timeoutMs) { return QTest::qWaitFor(done, timeoutMs); }

std::string resignThroughTheWindow(MainWindow& window, const std::string& ipaPath, const std::string& destination,
                                   int identityIndex) {
    auto* identities = window.findChild<QComboBox*>("certificateComboBox");
    auto* profiles = window.findChild<QComboBox*>("provisioningComboBox");
    auto* resign = window.findChild<QPushButton*>("resignButton");
    auto* appName = window.findChild<QLineEdit*>("appNameField");
    auto* destinationField = window.findChild<QLineEdit*>("destinationPathField");
    if (!identities || !profiles || !resign || !appName || !destinationField) return "the window lacks a control";

    if (!waitFor([&] { return identities->count() > identityIndex; }, 60000)) return "no signing identity listed";

    answerNextFileDialog(QString::fromStdString(ipaPath));
    QTest::mouseClick(window.findChild<QPushButton*>("browseIpaPathButton"), Qt::LeftButton);
    if (!waitFor([&] { return logText(window).contains("Unzip ipa file succeeded") && resign->isEnabled(); }, 60000))
        return "the package did not open: " + logText(window).toStdString();

    identities->setCurrentIndex(identityIndex);
    if (profiles->currentIndex() < 0) profiles->setCurrentIndex(0);
    destinationField->setText(QString::fromStdString(destination));

    appName->setFocus();
    QTest::keyClick(appName, Qt::Key_Return);
    if (!waitFor([&] { return logText(window).contains("Resign done, ipa saved to") && resign->isEnabled(); },
                 120000))
        return "the re-sign did not finish: " + logText(window).toStdString();
    return "";
}

}  // namespace windowdriver

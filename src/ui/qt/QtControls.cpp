#include "ui/qt/QtControls.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <algorithm>
#include <cmath>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QFileDialog>
#include <QLineEdit>
#include <QPalette>
#include <QScrollBar>
#include <QKeyEvent>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>
#include <memory>

#include "platform/paths.h"
#include "platform/process.h"
#include "platform/queues.h"

namespace ui::qt {

namespace {
QString toQ(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string fromQ(const QString& text) { return text.toUtf8().toStdString(); }
}  // namespace

namespace {

double luminance(const QColor& c) {
    auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

// The hue kept, the lightness moved away from the background's until the
// contrast is reached (black or white at the very end).
QColor readableOn(const QColor& wanted, const QColor& background) {
    constexpr double kMinimum = 4.5;
    const bool darkBackground = luminance(background) < 0.18;
    float h = 0, s = 0, l = 0, a = 1;
    wanted.toHsl().getHslF(&h, &s, &l, &a);
    QColor c = wanted;
    for (int step = 0; step < 100 && contrastRatio(c, background) < kMinimum; ++step) {
        l = std::clamp(l + (darkBackground ? 0.01f : -0.01f), 0.0f, 1.0f);
        c = QColor::fromHslF(h, s, l);
    }
    return c;
}

}  // namespace

double contrastRatio(const QColor& a, const QColor& b) {
    double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor colorFor(LogColor color, const QWidget* on) {
    const QPalette palette = on ? on->palette() : QApplication::palette();
    const QColor base = palette.color(QPalette::Base);
    switch (color) {
        case LogColor::black:
            return palette.color(QPalette::Text);
        case LogColor::red:
            return readableOn(QColor(0xe0, 0x30, 0x30), base);
        case LogColor::orange:
            return readableOn(QColor(0xf0, 0x8c, 0x00), base);
        case LogColor::green:
            return readableOn(QColor(0x2a, 0xb0, 0x4a), base);
        case LogColor::gray:
            return readableOn(QColor(0x8a, 0x8a, 0x8a), base);
    }
    return palette.color(QPalette::Text);
}

QString caseInsensitivePattern(const std::string& extension) {
    QString pattern = "*.";
    for (QChar c : toQ(extension)) {
        if (c.isLetter())
            pattern += QString("[%1%2]").arg(c.toLower()).arg(c.toUpper());
        else
            pattern += c;
    }
    return pattern;
}

// ---- Text field -----------------------------------------------------------

std::string QtTextField::stringValue() const { return field ? fromQ(field->text()) : std::string(); }

void QtTextField::setStringValue(const std::string& text) {
    if (field) field->setText(toQ(text));
}

void QtTextField::setEnabled(bool enabled) {
    if (field) field->setEnabled(enabled);
}

// ---- Button ---------------------------------------------------------------

void QtButton::setEnabled(bool enabled) {
    if (button) button->setEnabled(enabled);
}

namespace {

// Return and Enter press the button from anywhere in its window, the way a
// default button works in a dialog; a main window has no default button of
// its own. Watches the whole application, so that the key is seen before any
// field takes it.
class ReturnKeyFilter : public QObject {
public:
    ReturnKeyFilter(QAbstractButton* button) : QObject(button), button(button) {
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
        if (key->modifiers() & ~Qt::KeypadModifier) return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        if (!widget || !button || widget->window() != button->window()) return false;
        if (QApplication::activePopupWidget() || QApplication::activeModalWidget()) return false;
        if (!button->isEnabled() || !button->isVisible()) return true;  // a locked form takes no Return
        button->click();
        return true;
    }

private:
    QPointer<QAbstractButton> button;
};

}  // namespace

void QtButton::setKeyEquivalent(const std::string& key) {
    if (!button || key != "\r") return;
    if (button->property("returnKeyBound").toBool()) return;  // bound once
    button->setProperty("returnKeyBound", true);
    new ReturnKeyFilter(button);
}

int QtButton::tag() const { return button ? button->property("tag").toInt() : 0; }

int QtButton::state() const { return button && button->isChecked() ? Button::on : Button::off; }

void QtButton::setHidden(bool hidden) {
    if (button) button->setHidden(hidden);
}

// ---- Combo box ------------------------------------------------------------

int QtComboBox::indexOfSelectedItem() const { return box ? box->currentIndex() : -1; }

void QtComboBox::selectItemAtIndex(int index) {
    if (box && index >= -1 && index < box->count()) box->setCurrentIndex(index);
}

void QtComboBox::reloadData() {
    if (!box) return;
    auto source = dataSource.lock();
    int selected = box->currentIndex();
    QSignalBlocker quiet(box);
    box->clear();
    long count = source ? source->numberOfItemsInComboBox(this) : 0;
    for (long i = 0; i < count; ++i) box->addItem(toQ(source->comboBox(this, i).value_or("")));
    // An item the user had chosen stays chosen while it exists.
    box->setCurrentIndex(selected < box->count() ? selected : -1);
}

void QtComboBox::setEnabled(bool enabled) {
    if (box) box->setEnabled(enabled);
}

// ---- Text view ------------------------------------------------------------

void QtTextView::setString(const std::string& text) {
    if (view) view->setPlainText(toQ(text));
}

void QtTextView::appendAttributedString(const std::string& text, LogColor color) {
    if (!view) return;
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(colorFor(color, view));
    // Inserted as plain text: nothing in a message is ever markup.
    cursor.insertText(toQ(text), format);
}

size_t QtTextView::length() const {
    if (!view) return 0;
    return static_cast<size_t>(view->document()->characterCount() - 1);
}

void QtTextView::scrollRangeToVisible(size_t location, size_t) {
    if (!view) return;
    // Lines arrive in bursts; the view scrolls once per turn of the event
    // loop, to the place the last line asked for. The request lives on the
    // widget, so that it goes with it.
    view->setProperty("scrollTarget", QVariant::fromValue<qulonglong>(location));
    if (view->property("scrollPending").toBool()) return;
    view->setProperty("scrollPending", true);
    QPointer<QTextEdit> target = view;
    QTimer::singleShot(0, view, [target] {
        if (!target) return;
        target->setProperty("scrollPending", false);
        auto end = static_cast<qulonglong>(target->document()->characterCount() - 1);
        QTextCursor cursor(target->document());
        cursor.setPosition(static_cast<int>(std::min(target->property("scrollTarget").toULongLong(), end)));
        target->setTextCursor(cursor);
        target->ensureCursorVisible();
    });
}

void QtTextView::appendLink(const std::string& text, const std::string& target) {
    if (!view) return;
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setAnchor(true);
    format.setAnchorHref(QUrl::fromLocalFile(toQ(target)).toString());
    format.setForeground(view->palette().color(QPalette::Link));
    format.setFontUnderline(true);
    cursor.insertText(toQ(text), format);
}

// ---- Status line ------------------------------------------------------------

void QtStatusLine::setStatus(const std::string& text, LogColor color) {
    if (!label) return;
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colorFor(color, label));
    label->setPalette(palette);
    label->setText(toQ(text));
}

// ---- Open panel -----------------------------------------------------------

int QtOpenPanel::runModal() {
    chosen.clear();
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!directory.empty()) dialog.setDirectory(toQ(directory));
    if (canChooseDirectories && !canChooseFiles) {
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        dialog.setWindowTitle(QObject::tr("Choose the destination folder"));
    } else {
        dialog.setFileMode(allowsMultipleSelection ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
        dialog.setWindowTitle(title.empty() ? QObject::tr("Choose an ipa file") : toQ(title));
        QStringList filters;
        if (!allowedFileTypes.empty()) {
            QStringList patterns;
            for (const auto& type : allowedFileTypes) patterns << caseInsensitivePattern(type);
            QString name = fileTypesName.empty() ? QObject::tr("iOS packages") : toQ(fileTypesName);
            filters << QString("%1 (%2)").arg(name, patterns.join(' '));
        }
        if (allowsOtherFileTypes || filters.isEmpty()) filters << QObject::tr("All files (*)");
        dialog.setNameFilters(filters);
    }
    if (dialog.exec() != QDialog::Accepted) return 0;
    for (const QString& file : dialog.selectedFiles()) chosen.push_back(fromQ(file));
    return OpenPanel::OKButton;
}

// ---- Window services ------------------------------------------------------

void QtWindow::endEditing() {
    if (!window) return;
    if (QWidget* focused = window->focusWidget()) focused->clearFocus();
}

std::unique_ptr<OpenPanel> QtWindow::openPanel() { return std::make_unique<QtOpenPanel>(window); }

namespace {

// Opens the folder that holds an item with the desktop's default opener.
void openEnclosingFolder(const QString& fileURL) {
    std::string folder = platform::path::deletingLastPathComponent(fromQ(QUrl(fileURL).toLocalFile()));
    auto task = std::make_shared<platform::Task>("/usr/bin/xdg-open", std::vector<std::string>{folder});
    if (!task->launch()) return;
    platform::GlobalQueue::async([task] { task->waitUntilExit(); });
}

}  // namespace

void QtWindow::activateFileViewerSelectingURLs(const std::vector<std::string>& fileURLs) {
    if (fileURLs.empty()) return;
    QStringList uris;
    for (const auto& url : fileURLs) uris << toQ(url);
    // The desktop's file manager selects the items itself when it offers the
    // common file manager interface on the session bus; otherwise the folder
    // holding the first item is opened. The call never blocks the window.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openEnclosingFolder(uris.front());
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << uris << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 3000), window);
    QString first = uris.front();
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [first](QDBusPendingCallWatcher* w) {
        if (w->isError()) openEnclosingFolder(first);
        w->deleteLater();
    });
}

bool QtWindow::openFolder(const std::string& folder) {
    // The desktop's opener, where one is on the PATH; else whatever the
    // toolkit knows of the desktop.
    QString opener = QStandardPaths::findExecutable("xdg-open");
    if (!opener.isEmpty()) {
        auto task = std::make_shared<platform::Task>(fromQ(opener), std::vector<std::string>{folder});
        if (task->launch()) {
            platform::GlobalQueue::async([task] { task->waitUntilExit(); });
            return true;
        }
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(toQ(folder)));
}

bool QtWindow::askToReplace(const std::string& file) {
    QMessageBox ask(QMessageBox::Question, QObject::tr("Replace the package?"),
                    QObject::tr("%1 is already there.\n\nReplace it with the new package?").arg(toQ(file)),
                    QMessageBox::NoButton, window);
    ask.setObjectName("replaceExisting");
    QPushButton* replace = ask.addButton(QObject::tr("&Replace"), QMessageBox::DestructiveRole);
    QPushButton* keep = ask.addButton(QObject::tr("&Keep It"), QMessageBox::RejectRole);
    ask.setDefaultButton(keep);
    ask.setEscapeButton(keep);
    ask.exec();
    return ask.clickedButton() == replace;
}

std::optional<std::string> QtWindow::askForPassword(const std::string& file) {
    QInputDialog ask(window);
    ask.setObjectName("identityPassword");
    ask.setWindowTitle(QObject::tr("Import Identity"));
    ask.setLabelText(QObject::tr("Password of %1:").arg(toQ(platform::path::lastPathComponent(file))));
    ask.setTextEchoMode(QLineEdit::Password);  // never shown
    ask.setOkButtonText(QObject::tr("&Import"));
    if (ask.exec() != QDialog::Accepted) return std::nullopt;
    return fromQ(ask.textValue());
}

bool QtWindow::confirmRemoval(const std::string& identity) {
    QMessageBox ask(QMessageBox::Warning, QObject::tr("Remove the identity?"),
                    QObject::tr("Remove \"%1\" and its private key from the keychain?\n\nPackages cannot be signed "
                                "with it afterwards, unless its .p12 file is imported again.")
                        .arg(toQ(identity)),
                    QMessageBox::NoButton, window);
    ask.setObjectName("confirmRemoval");
    QPushButton* remove = ask.addButton(QObject::tr("&Remove"), QMessageBox::DestructiveRole);
    QPushButton* keep = ask.addButton(QObject::tr("&Keep It"), QMessageBox::RejectRole);
    ask.setDefaultButton(keep);
    ask.setEscapeButton(keep);
    ask.exec();
    return ask.clickedButton() == remove;
}

// ---- Busy indicator --------------------------------------------------------

void QtProgressIndicator::showProgress(const std::string& text, size_t done, size_t total) {
    if (bar) {
        if (total == 0) {
            bar->setRange(0, 0);  // no steps to count: just "working"
        } else {
            bar->setRange(0, static_cast<int>(total));
            bar->setValue(static_cast<int>(done));
        }
        bar->setToolTip(toQ(text));
        bar->show();
    }
    if (label) {
        label->setText(toQ(text));
        label->show();
    }
}

void QtProgressIndicator::hideProgress() {
    if (bar) bar->hide();
    if (label) {
        label->clear();
        label->hide();
    }
}

}  // namespace ui::qt

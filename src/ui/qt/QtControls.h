#pragma once
// The controller's view operations on Qt widgets. Each adapter wraps one
// widget that the window owns; the window keeps the adapters alive exactly as
// long as its widgets.
#include <QAbstractButton>
#include <QColor>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QTextEdit>
#include <memory>
#include <optional>

#include "ui/View.h"

namespace ui::qt {

// How each log colour is drawn on a widget (the application's palette when
// none). Black follows the palette's text colour; the others keep their hue
// but take the lightness that gives them a contrast of at least 4.5:1 against
// the palette's base colour, light or dark.
QColor colorFor(LogColor color, const QWidget* on = nullptr);
// The contrast ratio of two colours (1 to 21), by their relative luminance.
double contrastRatio(const QColor& a, const QColor& b);

class QtTextField : public TextField {
public:
    explicit QtTextField(QLineEdit* field) : field(field) {}
    std::string stringValue() const override;
    void setStringValue(const std::string& text) override;
    void setEnabled(bool enabled) override;

private:
    QPointer<QLineEdit> field;
};

class QtButton : public Button {
public:
    explicit QtButton(QAbstractButton* button) : button(button) {}
    void setEnabled(bool enabled) override;
    // "\r": Return and Enter press the button wherever the focus is in its
    // window, as long as the button is enabled.
    void setKeyEquivalent(const std::string& key) override;
    int tag() const override;    // the widget's "tag" property
    int state() const override;  // checked = on
    void setHidden(bool hidden) override;
    QAbstractButton* widget() const { return button; }

private:
    QPointer<QAbstractButton> button;
};

// A combo box that holds no items of its own: reloadData asks the data
// source for the count and for every item.
class QtComboBox : public ComboBox {
public:
    QtComboBox(QComboBox* box, std::weak_ptr<const ComboBoxDataSource> dataSource)
        : box(box), dataSource(std::move(dataSource)) {}
    int indexOfSelectedItem() const override;
    void selectItemAtIndex(int index) override;
    void reloadData() override;
    void setEnabled(bool enabled) override;

private:
    QPointer<QComboBox> box;
    std::weak_ptr<const ComboBoxDataSource> dataSource;
};

class QtTextView : public TextView {
public:
    explicit QtTextView(QTextEdit* view) : view(view) {}
    void setString(const std::string& text) override;
    void appendAttributedString(const std::string& text, LogColor color) override;
    size_t length() const override;
    void scrollRangeToVisible(size_t location, size_t length) override;
    // An anchor whose target is the file URL of target; the window hands a
    // click on it to the controller.
    void appendLink(const std::string& text, const std::string& target) override;

private:
    QPointer<QTextEdit> view;
};

class QtStatusLine : public StatusLine {
public:
    explicit QtStatusLine(QLabel* label) : label(label) {}
    void setStatus(const std::string& text, LogColor color) override;

private:
    QPointer<QLabel> label;
};

class QtOpenPanel : public OpenPanel {
public:
    explicit QtOpenPanel(QWidget* parent) : parent(parent) {}
    void setCanChooseFiles(bool can) override { canChooseFiles = can; }
    void setCanChooseDirectories(bool can) override { canChooseDirectories = can; }
    void setAllowsMultipleSelection(bool allows) override { allowsMultipleSelection = allows; }
    void setAllowsOtherFileTypes(bool allows) override { allowsOtherFileTypes = allows; }
    void setAllowedFileTypes(const std::vector<std::string>& types) override { allowedFileTypes = types; }
    void setTitle(const std::string& text, const std::string& typesName) override {
        title = text;
        fileTypesName = typesName;
    }
    void setDirectoryURL(const std::string& folder) override { directory = folder; }
    int runModal() override;
    std::vector<std::string> URLs() const override { return chosen; }

private:
    QPointer<QWidget> parent;
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    bool allowsMultipleSelection = false;
    bool allowsOtherFileTypes = true;
    std::vector<std::string> allowedFileTypes;
    std::string title, fileTypesName, directory;
    std::vector<std::string> chosen;
};

// The window's own services: ending an edit, the chooser, the file viewer.
class QtWindow : public Window {
public:
    explicit QtWindow(QWidget* window) : window(window) {}
    void endEditing() override;
    std::unique_ptr<OpenPanel> openPanel() override;
    void activateFileViewerSelectingURLs(const std::vector<std::string>& fileURLs) override;
    bool openFolder(const std::string& folder) override;
    bool askToReplace(const std::string& file) override;
    std::optional<std::string> askForPassword(const std::string& file) override;
    bool confirmRemoval(const std::string& identity) override;

private:
    QPointer<QWidget> window;
};

// The busy indicator: a bar (counting steps where they are known) and a
// label saying what runs; both hidden while nothing does.
class QtProgressIndicator : public ProgressIndicator {
public:
    QtProgressIndicator(QProgressBar* bar, QLabel* label) : bar(bar), label(label) {}
    void showProgress(const std::string& text, size_t done, size_t total) override;
    void hideProgress() override;

private:
    QPointer<QProgressBar> bar;
    QPointer<QLabel> label;
};

// A name filter pattern that matches an extension in any case ("*.[iI][pP][aA]").
QString caseInsensitivePattern(const std::string& extension);

}  // namespace ui::qt

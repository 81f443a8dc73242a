#pragma once
// The few view operations the window's controller needs, so that the form's
// logic runs without a toolkit: the Qt binding implements them for the real
// window, the tests with recording doubles. Outlets are weak: the window owns
// its controls, and the controller treats a control that is gone (null) as one
// that ignores every request.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ui {

// The colours of the log; the binding decides how each one is drawn.
enum class LogColor { black, red, orange, green, gray };

class TextField {
public:
    virtual ~TextField() = default;
    virtual std::string stringValue() const = 0;
    virtual void setStringValue(const std::string& text) = 0;
    virtual void setEnabled(bool enabled) = 0;
};

class Button {
public:
    enum State { off = 0, on = 1 };
    virtual ~Button() = default;
    virtual void setEnabled(bool enabled) = 0;
    // "\r" binds the Return key to the button.
    virtual void setKeyEquivalent(const std::string& key) = 0;
    virtual int tag() const = 0;
    virtual int state() const = 0;
    // Shown only while it has something to do (Cancel, Import beside an
    // empty picker).
    virtual void setHidden(bool) {}
};

class ComboBox;

// What a combo box shows: the controller answers the count and each item.
class ComboBoxDataSource {
public:
    virtual ~ComboBoxDataSource() = default;
    virtual long numberOfItemsInComboBox(const ComboBox* comboBox) const = 0;
    virtual std::optional<std::string> comboBox(const ComboBox* comboBox, long index) const = 0;
};

class ComboBox {
public:
    virtual ~ComboBox() = default;
    virtual int indexOfSelectedItem() const = 0;  // -1: nothing selected
    virtual void selectItemAtIndex(int index) = 0;
    // Asks the data source again for the count and every item.
    virtual void reloadData() = 0;
    virtual void setEnabled(bool enabled) = 0;
};

// Attributed text: runs of characters, each with its colour.
class TextView {
public:
    virtual ~TextView() = default;
    virtual void setString(const std::string& text) = 0;
    virtual void appendAttributedString(const std::string& text, LogColor color) = 0;
    // Length of the whole text, in the units scrollRangeToVisible counts.
    virtual size_t length() const = 0;
    virtual void scrollRangeToVisible(size_t location, size_t length) = 0;
    // A run the user can click; the view hands target back to the
    // controller's openResultFolder.
    virtual void appendLink(const std::string& text, const std::string& target) {
        (void)target;
        appendAttributedString(text, LogColor::black);
    }
};

// One line of text in a colour, outside the log (the verdict under the form).
class StatusLine {
public:
    virtual ~StatusLine() = default;
    virtual void setStatus(const std::string& text, LogColor color) = 0;
};

// The busy indicator: shown while work runs, with what it is doing.
class ProgressIndicator {
public:
    virtual ~ProgressIndicator() = default;
    // done of total steps; total 0 when the steps cannot be counted.
    virtual void showProgress(const std::string& text, size_t done, size_t total) = 0;
    virtual void hideProgress() = 0;
};

// A modal chooser of files or folders.
class OpenPanel {
public:
    virtual ~OpenPanel() = default;
    virtual void setCanChooseFiles(bool can) = 0;
    virtual void setCanChooseDirectories(bool can) = 0;
    virtual void setAllowsMultipleSelection(bool allows) = 0;
    virtual void setAllowsOtherFileTypes(bool allows) = 0;
    // Extensions without the dot, compared without regard to case.
    virtual void setAllowedFileTypes(const std::vector<std::string>& types) = 0;
    // The chooser's title, and what the allowed types are called.
    virtual void setTitle(const std::string&, const std::string& fileTypesName) { (void)fileTypesName; }
    // The folder the chooser shows first.
    virtual void setDirectoryURL(const std::string&) {}
    static constexpr int OKButton = 1;
    virtual int runModal() = 0;  // OKButton when the user confirmed
    virtual std::vector<std::string> URLs() const = 0;  // the chosen items' paths
};

// The window around the controls, and the desktop services it reaches.
class Window {
public:
    virtual ~Window() = default;
    // Commits any text being typed to its field (no first responder left).
    virtual void endEditing() = 0;
    virtual std::unique_ptr<OpenPanel> openPanel() = 0;
    // Opens a file viewer with each item (file:// URLs) selected.
    virtual void activateFileViewerSelectingURLs(const std::vector<std::string>& fileURLs) = 0;
    // Opens a folder with the desktop's file manager; false when none could
    // be started.
    virtual bool openFolder(const std::string&) { return false; }
    // Modal questions; each answers the safe choice (no, nothing) when the
    // user closes it.
    virtual bool askToReplace(const std::string& file) { (void)file; return false; }
    virtual std::optional<std::string> askForPassword(const std::string& file) { (void)file; return std::nullopt; }
    virtual bool confirmRemoval(const std::string& identity) { (void)identity; return false; }
};

}  // namespace ui

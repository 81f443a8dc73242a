#pragma once
// Recording stand-ins for the window's controls: each remembers its state and
// writes every call that changes it into one journal shared by the window, so
// that tests can check what the controller did and in which order.
#include <memory>
#include <string>
#include <vector>

#include "ui/View.h"
#include "ui/ViewController.h"

namespace fakeview {

using Journal = std::vector<std::string>;

struct TextField : ui::TextField {
    TextField(std::string name, Journal& journal) : name(std::move(name)), journal(journal) {}
    std::string stringValue() const override { return text; }
    void setStringValue(const std::string& value) override { text = value; }
    void setEnabled(bool value) override {
        enabled = value;
        journal.push_back(name + (value ? " on" : " off"));
    }
    std::string name;
    Journal& journal;
    std::string text;
    bool enabled = true;
};

struct Button : ui::Button {
    Button(std::string name, Journal& journal, int tag = 0) : name(std::move(name)), journal(journal), tagValue(tag) {}
    void setEnabled(bool value) override {
        enabled = value;
        journal.push_back(name + (value ? " on" : " off"));
    }
    void setKeyEquivalent(const std::string& key) override { keyEquivalent = key; }
    int tag() const override { return tagValue; }
    int state() const override { return stateValue; }
    std::string name;
    Journal& journal;
    int tagValue;
    int stateValue = off;
    bool enabled = true;
    std::string keyEquivalent;
};

struct ComboBox : ui::ComboBox {
    ComboBox(std::string name, Journal& journal) : name(std::move(name)), journal(journal) {}
    int indexOfSelectedItem() const override { return selected; }
    void selectItemAtIndex(int index) override {
        selected = index;
        journal.push_back(name + " select " + std::to_string(index));
    }
    void reloadData() override { journal.push_back(name + " reload"); }
    void setEnabled(bool value) override {
        enabled = value;
        journal.push_back(name + (value ? " on" : " off"));
    }
    std::string name;
    Journal& journal;
    int selected = -1;
    bool enabled = true;
};

struct Run {
    std::string text;
    ui::LogColor color;
};

struct TextView : ui::TextView {
    void setString(const std::string& text) override {
        runs.clear();
        if (!text.empty()) runs.push_back({text, ui::LogColor::black});
    }
    void appendAttributedString(const std::string& text, ui::LogColor color) override { runs.push_back({text, color}); }
    void appendLink(const std::string& text, const std::string& target) override {
        runs.push_back({"[" + text + "](" + target + ")", ui::LogColor::black});
    }
    size_t length() const override {
        size_t n = 0;
        for (const auto& r : runs) n += r.text.size();
        return n;
    }
    void scrollRangeToVisible(size_t location, size_t) override { scrolledTo.push_back(location); }
    std::string string() const {
        std::string s;
        for (const auto& r : runs) s += r.text;
        return s;
    }
    std::vector<Run> runs;
    std::vector<size_t> scrolledTo;
};

// What the next chooser answers, and what the last one was asked.
struct OpenPanelScript {
    int result = 0;
    std::vector<std::string> urls;
    bool canChooseFiles = false, canChooseDirectories = false, allowsMultipleSelection = true,
         allowsOtherFileTypes = true;
    std::vector<std::string> allowedFileTypes;
    int runs = 0;
};

struct OpenPanel : ui::OpenPanel {
    explicit OpenPanel(OpenPanelScript& script) : script(script) {}
    void setCanChooseFiles(bool v) override { script.canChooseFiles = v; }
    void setCanChooseDirectories(bool v) override { script.canChooseDirectories = v; }
    void setAllowsMultipleSelection(bool v) override { script.allowsMultipleSelection = v; }
    void setAllowsOtherFileTypes(bool v) override { script.allowsOtherFileTypes = v; }
    void setAllowedFileTypes(const std::vector<std::string>& v) override { script.allowedFileTypes = v; }
    int runModal() override {
        ++script.runs;
        return script.result;
    }
    std::vector<std::string> URLs() const override { return script.result == OKButton ? script.urls : std::vector<std::string>{}; }
    OpenPanelScript& script;
};

struct Window : ui::Window {
    explicit Window(Journal& journal) : journal(journal) {}
    void endEditing() override { journal.push_back("endEditing"); }
    std::unique_ptr<ui::OpenPanel> openPanel() override { return std::make_unique<OpenPanel>(panel); }
    void activateFileViewerSelectingURLs(const std::vector<std::string>& urls) override { revealed.push_back(urls); }
    bool askToReplace(const std::string& file) override {
        askedToReplace.push_back(file);
        return replaceAnswer;
    }
    std::vector<std::string> askedToReplace;
    bool replaceAnswer = true;
    Journal& journal;
    OpenPanelScript panel;
    std::vector<std::vector<std::string>> revealed;
};

// The whole window, with its controls handed to a fresh controller.
struct View {
    Journal journal;
    TextField ipaPathField{"ipaPathField", journal}, appNameField{"appNameField", journal},
        destinationPathField{"destinationPathField", journal}, bundleIdField{"bundleIdField", journal};
    Button browseIpaPathButton{"browseIpaPathButton", journal},
        browseDestinationPathButton{"browseDestinationPathButton", journal},
        cacheFolderButton{"cacheFolderButton", journal}, resignButton{"resignButton", journal},
        cleanButton{"cleanButton", journal};
    ComboBox certificateComboBox{"certificateComboBox", journal}, provisioningComboBox{"provisioningComboBox", journal};
    TextView logField;
    Window window{journal};
    std::shared_ptr<ViewController> controller = ViewController::create();

    View() {
        auto& c = *controller;
        c.setIpaPathField(&ipaPathField);
        c.setBrowseIpaPathButton(&browseIpaPathButton);
        c.setCertificateComboBox(&certificateComboBox);
        c.setProvisioningComboBox(&provisioningComboBox);
        c.setAppNameField(&appNameField);
        c.setDestinationPathField(&destinationPathField);
        c.setBrowseDestinationPathButton(&browseDestinationPathButton);
        c.setBundleIdField(&bundleIdField);
        c.setCacheFolderButton(&cacheFolderButton);
        c.setResignButton(&resignButton);
        c.setCleanButton(&cleanButton);
        c.setLogField(&logField);
        c.setView(&window);
    }
    ~View() {
        // Lines still queued must find no control.
        auto& c = *controller;
        c.setIpaPathField(nullptr);
        c.setBrowseIpaPathButton(nullptr);
        c.setCertificateComboBox(nullptr);
        c.setProvisioningComboBox(nullptr);
        c.setAppNameField(nullptr);
        c.setDestinationPathField(nullptr);
        c.setBrowseDestinationPathButton(nullptr);
        c.setBundleIdField(nullptr);
        c.setCacheFolderButton(nullptr);
        c.setResignButton(nullptr);
        c.setCleanButton(nullptr);
        c.setLogField(nullptr);
        c.setView(nullptr);
    }

    // Runs the queued log lines, then answers the messages with their colours
    // ("red: No select certificate"), time stamps left out.
    std::vector<std::string> lines();
    // The journal's entries that lock or unlock controls.
    std::vector<std::string> lockSteps() const;
};

const char* colorName(ui::LogColor color);

}  // namespace fakeview

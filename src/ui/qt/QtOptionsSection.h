#pragma once
// The Options section under the form, in Qt widgets: a toggle that shows or
// hides it (hidden at first), and the fields, boxes and lists of the changes
// a re-sign may make besides the new identity.
#include <QWidget>
#include <functional>

#include "ui/OptionsSection.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QToolButton;

namespace ui::qt {

class QtOptionsSection : public QWidget, public OptionsSection {
public:
    explicit QtOptionsSection(QWidget* parent = nullptr);

    OptionsValues values() const override;
    void setValues(const OptionsValues& values) override;
    void setNestedBundles(const std::vector<std::string>& bundles) override;
    void setEnabled(bool enabled) override;

    // Shows or hides the section's body, as the toggle does.
    void setExpanded(bool expanded);
    bool isExpanded() const;

    // What the window wires: the two file pickers, and any change the user
    // makes (for the verdict line).
    std::function<void()> onChooseIcon;
    std::function<void()> onAddLibrary;
    std::function<void()> onChanged;

private:
    void changed();

    QToolButton* toggle = nullptr;
    QWidget* body = nullptr;
    QLineEdit *shortVersionField = nullptr, *bundleVersionField = nullptr, *minimumOSField = nullptr;
    QComboBox* deviceFamilyBox = nullptr;
    QCheckBox *removeSupportedDevicesBox = nullptr, *fileSharingBox = nullptr, *removeExtensionsBox = nullptr,
              *removeWatchAppBox = nullptr, *injectWeakBox = nullptr, *injectIntoExtensionsBox = nullptr;
    QListWidget* nestedBundlesList = nullptr;
    QLineEdit* iconField = nullptr;
    QPushButton *chooseIconButton = nullptr, *addLibraryButton = nullptr, *removeLibraryButton = nullptr;
    QListWidget* librariesList = nullptr;
    QLineEdit* removeLibrariesField = nullptr;
};

}  // namespace ui::qt

#include "ui/qt/QtOptionsSection.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

namespace ui::qt {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

// The device family choices: what the box shows, what the section holds.
// NOTE: keep in step with engine::deviceFamilyNamed.
const std::pair<const char*, const char*> kFamilies[] = {
    {"As the package has it", ""}, {"iPhone", "iphone"}, {"iPad", "ipad"}, {"iPhone and iPad", "both"}};

}  // namespace

QtOptionsSection::QtOptionsSection(QWidget* parent) : QWidget(parent) {
    setObjectName("optionsSection");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    toggle = new QToolButton(this);
    toggle->setObjectName("optionsToggle");
    toggle->setText(tr("Options"));
    toggle->setToolTip(tr("Changes to make to the package while re-signing it"));
    toggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toggle->setAutoRaise(true);
    toggle->setCheckable(true);
    outer->addWidget(toggle);

    body = new QWidget(this);
    body->setObjectName("optionsBody");
    auto* form = new QFormLayout(body);
    auto field = [this](const char* name, const QString& placeholder) {
        auto* f = new QLineEdit(body);
        f->setObjectName(name);
        f->setPlaceholderText(placeholder);
        connect(f, &QLineEdit::textEdited, this, [this] { changed(); });
        return f;
    };
    auto box = [this](const char* name, const QString& text) {
        auto* b = new QCheckBox(text, body);
        b->setObjectName(name);
        connect(b, &QCheckBox::clicked, this, [this] { changed(); });
        return b;
    };
    const QString unchanged = tr("as the package has it");
    shortVersionField = field("shortVersionField", unchanged);
    bundleVersionField = field("bundleVersionField", unchanged);
    minimumOSField = field("minimumOSField", tr("as the package has it, e.g. 14.0"));
    auto* versions = new QHBoxLayout;
    versions->addWidget(shortVersionField);
    versions->addWidget(new QLabel(tr("Build:"), body));
    versions->addWidget(bundleVersionField);
    versions->addWidget(new QLabel(tr("Minimum iOS:"), body));
    versions->addWidget(minimumOSField);
    form->addRow(tr("Version:"), versions);

    deviceFamilyBox = new QComboBox(body);
    deviceFamilyBox->setObjectName("deviceFamilyBox");
    for (const auto& [shown, name] : kFamilies) deviceFamilyBox->addItem(tr(shown), QString(name));
    connect(deviceFamilyBox, &QComboBox::activated, this, [this] { changed(); });
    removeSupportedDevicesBox = box("removeSupportedDevicesBox", tr("Allow every device model (remove UISupportedDevices)"));
    auto* devices = new QHBoxLayout;
    devices->addWidget(deviceFamilyBox);
    devices->addWidget(removeSupportedDevicesBox, 1);
    form->addRow(tr("Devices:"), devices);
    fileSharingBox = box("fileSharingBox", tr("Turn on file sharing (the app's documents in Files and on a computer)"));
    form->addRow(QString(), fileSharingBox);

    removeExtensionsBox = box("removeExtensionsBox", tr("Every extension"));
    removeWatchAppBox = box("removeWatchAppBox", tr("The Watch app"));
    auto* removals = new QHBoxLayout;
    removals->addWidget(removeExtensionsBox);
    removals->addWidget(removeWatchAppBox);
    removals->addStretch(1);
    nestedBundlesList = new QListWidget(body);
    nestedBundlesList->setObjectName("nestedBundlesList");
    nestedBundlesList->setToolTip(tr("Tick the nested bundles to leave out: they are not signed and need no profile"));
    nestedBundlesList->setMaximumHeight(80);
    connect(nestedBundlesList, &QListWidget::itemChanged, this, [this] { changed(); });
    auto* removeColumn = new QVBoxLayout;
    removeColumn->addLayout(removals);
    removeColumn->addWidget(nestedBundlesList);
    form->addRow(tr("Remove:"), removeColumn);

    // A file's field with the button that runs its picker.
    auto fileRow = [this, form](const QString& label, QLineEdit* f, const char* buttonName,
                                std::function<void()> QtOptionsSection::*picker) {
        auto* button = new QPushButton(tr("Choose…"), body);
        button->setObjectName(buttonName);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, picker] {
            if (this->*picker) (this->*picker)();
        });
        auto* row = new QHBoxLayout;
        row->addWidget(f, 1);
        row->addWidget(button);
        form->addRow(label, row);
        return button;
    };
    iconField = field("iconField", tr("keep the package's icon"));
    chooseIconButton = fileRow(tr("Icon (PNG):"), iconField, "chooseIconButton", &QtOptionsSection::onChooseIcon);

    librariesList = new QListWidget(body);
    librariesList->setObjectName("librariesList");
    librariesList->setToolTip(tr("Libraries copied into Frameworks and loaded by the application"));
    librariesList->setMaximumHeight(60);
    addLibraryButton = new QPushButton(tr("Add…"), body);
    addLibraryButton->setObjectName("addLibraryButton");
    addLibraryButton->setAutoDefault(false);
    connect(addLibraryButton, &QPushButton::clicked, this, [this] {
        if (onAddLibrary) onAddLibrary();
    });
    removeLibraryButton = new QPushButton(tr("Remove"), body);
    removeLibraryButton->setObjectName("removeLibraryButton");
    removeLibraryButton->setAutoDefault(false);
    connect(removeLibraryButton, &QPushButton::clicked, this, [this] {
        delete librariesList->takeItem(librariesList->currentRow());
        changed();
    });
    auto* libraryButtons = new QVBoxLayout;
    libraryButtons->addWidget(addLibraryButton);
    libraryButtons->addWidget(removeLibraryButton);
    libraryButtons->addStretch(1);
    auto* libraries = new QHBoxLayout;
    libraries->addWidget(librariesList, 1);
    libraries->addLayout(libraryButtons);
    form->addRow(tr("Inject libraries:"), libraries);
    injectWeakBox = box("injectWeakBox", tr("Load weakly"));
    injectIntoExtensionsBox = box("injectIntoExtensionsBox", tr("Into the extensions too"));
    auto* injectHow = new QHBoxLayout;
    injectHow->addWidget(injectWeakBox);
    injectHow->addWidget(injectIntoExtensionsBox);
    injectHow->addStretch(1);
    form->addRow(QString(), injectHow);
    removeLibrariesField = field("removeLibrariesField", tr("names of libraries to stop loading, separated by commas"));
    form->addRow(tr("Remove libraries:"), removeLibrariesField);

    entitlementsField = field("entitlementsField", tr("made from the profile and what the app claimed"));
    entitlementsField->setToolTip(tr("A property list to sign the application with; the profile must permit "
                                     "every key and value in it. Extensions keep their own."));
    chooseEntitlementsButton = fileRow(tr("Entitlements:"), entitlementsField, "chooseEntitlementsButton",
                                       &QtOptionsSection::onChooseEntitlements);
    outer->addWidget(body);

    connect(toggle, &QToolButton::toggled, this, [this](bool on) { setExpanded(on); });
    setExpanded(false);
}

void QtOptionsSection::setExpanded(bool expanded) {
    {
        QSignalBlocker quiet(toggle);
        toggle->setChecked(expanded);
    }
    toggle->setArrowType(expanded ? Qt::DownArrow : Qt::RightArrow);
    body->setVisible(expanded);
}

bool QtOptionsSection::isExpanded() const { return toggle->isChecked(); }

void QtOptionsSection::changed() {
    if (onChanged) onChanged();
}

OptionsValues QtOptionsSection::values() const {
    OptionsValues v;
    v.shortVersion = shortVersionField->text().toStdString();
    v.bundleVersion = bundleVersionField->text().toStdString();
    v.minimumOSVersion = minimumOSField->text().toStdString();
    v.deviceFamily = deviceFamilyBox->currentData().toString().toStdString();
    v.removeSupportedDevices = removeSupportedDevicesBox->isChecked();
    v.fileSharing = fileSharingBox->isChecked();
    v.removeExtensions = removeExtensionsBox->isChecked();
    v.removeWatchApp = removeWatchAppBox->isChecked();
    for (int i = 0; i < nestedBundlesList->count(); ++i)
        if (nestedBundlesList->item(i)->checkState() == Qt::Checked)
            v.removeBundles.push_back(nestedBundlesList->item(i)->text().toStdString());
    v.iconPath = iconField->text().toStdString();
    for (int i = 0; i < librariesList->count(); ++i) v.injectLibraries.push_back(librariesList->item(i)->text().toStdString());
    v.injectWeak = injectWeakBox->isChecked();
    v.injectIntoExtensions = injectIntoExtensionsBox->isChecked();
    v.removeLibraries = removeLibrariesField->text().toStdString();
    v.entitlementsPath = entitlementsField->text().toStdString();
    return v;
}

void QtOptionsSection::setValues(const OptionsValues& v) {
    QSignalBlocker quiet(nestedBundlesList);
    shortVersionField->setText(q(v.shortVersion));
    bundleVersionField->setText(q(v.bundleVersion));
    minimumOSField->setText(q(v.minimumOSVersion));
    const int family = deviceFamilyBox->findData(q(v.deviceFamily));
    deviceFamilyBox->setCurrentIndex(family < 0 ? 0 : family);
    removeSupportedDevicesBox->setChecked(v.removeSupportedDevices);
    fileSharingBox->setChecked(v.fileSharing);
    removeExtensionsBox->setChecked(v.removeExtensions);
    removeWatchAppBox->setChecked(v.removeWatchApp);
    for (int i = 0; i < nestedBundlesList->count(); ++i) {
        QListWidgetItem* item = nestedBundlesList->item(i);
        const bool ticked = std::find(v.removeBundles.begin(), v.removeBundles.end(), item->text().toStdString()) !=
                            v.removeBundles.end();
        item->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
    }
    iconField->setText(q(v.iconPath));
    librariesList->clear();
    for (const auto& library : v.injectLibraries) librariesList->addItem(q(library));
    injectWeakBox->setChecked(v.injectWeak);
    injectIntoExtensionsBox->setChecked(v.injectIntoExtensions);
    removeLibrariesField->setText(q(v.removeLibraries));
    entitlementsField->setText(q(v.entitlementsPath));
}

void QtOptionsSection::setNestedBundles(const std::vector<std::string>& bundles) {
    QSignalBlocker quiet(nestedBundlesList);
    const OptionsValues before = values();
    nestedBundlesList->clear();
    for (const auto& bundle : bundles) {
        auto* item = new QListWidgetItem(q(bundle), nestedBundlesList);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        const bool ticked = std::find(before.removeBundles.begin(), before.removeBundles.end(), bundle) !=
                            before.removeBundles.end();
        item->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
    }
    nestedBundlesList->setVisible(!bundles.empty());
}

void QtOptionsSection::setEnabled(bool enabled) { body->setEnabled(enabled); }

}  // namespace ui::qt

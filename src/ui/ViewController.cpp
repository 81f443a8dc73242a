#include "ui/ViewController.h"

#include "crypto/Hex.h"
#include "engine/QFAppPackageHandler.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "profile/QFProvisioningProfile.h"
#include "system/QFFileHelper.h"

namespace {

// Tags of the two bundle identifier choice buttons in the window layout.
constexpr int kTypedBundleIdTag = 101;
constexpr int kProfileBundleIdTag = 102;

// A file URL for a path: every byte but the unreserved ones and "/" escaped.
std::string fileURLWithPath(const std::string& path) {
    std::string url = "file://";
    for (unsigned char c : path) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += crypto::hexDigit(c >> 4, crypto::HexCase::Upper);
            url += crypto::hexDigit(c & 15, crypto::HexCase::Upper);
        }
    }
    return url;
}

// The package keeps its callbacks after they have run, and the controller
// keeps the package: a callback holding the controller directly would tie the
// two together for good. The callbacks of one operation share this slot
// instead; it holds the controller while the work is pending, and the final
// callback empties it.
using ControllerSlot = std::shared_ptr<std::shared_ptr<ViewController>>;

std::shared_ptr<ViewController> release(const ControllerSlot& slot) {
    auto controller = std::move(*slot);
    *slot = nullptr;
    return controller;
}

template <typename Control>
void setEnabled(Control* control, bool enabled) {
    if (control) control->setEnabled(enabled);
}

}  // namespace

std::shared_ptr<std::shared_ptr<ViewController>> ViewController::holdUntilDone() {
    return std::make_shared<std::shared_ptr<ViewController>>(shared_from_this());
}

std::function<void(const std::string&)> ViewController::failureCallback(ControllerSlot holder, uint64_t generation) {
    return [holder = std::move(holder), generation](const std::string& message) {
        auto self = release(holder);
        if (!self || !self->isCurrent(generation)) return;
        self->workPending = false;
        self->hideProgress();
        self->enableControls();
        self->addLog(message, LogColor::red);
    };
}

std::shared_ptr<ViewController> ViewController::create() {
    return std::shared_ptr<ViewController>(new ViewController());
}

std::optional<std::string> ViewController::cacheFolderPath() { return QFAppPackageHandler::cacheFolderPath(); }

std::string ViewController::text(const ui::TextField* field) const {
    return field ? field->stringValue() : std::string();
}

void ViewController::setText(ui::TextField* field, const std::string& text) {
    if (field) field->setStringValue(text);
}

// ---- Start-up and closing -------------------------------------------------

void ViewController::viewDidLoad() {
    if (_resignButton) _resignButton->setKeyEquivalent("\r");
    auto missing = QFFileHelper::sharedInstance().lackSupportUtility();
    if (!missing.empty()) {
        for (const auto& tool : missing) addLog("This command requires the support of " + tool, LogColor::red);
        return;
    }
    getCertificates();
    getProvisioningProfiles();
}

void ViewController::viewDidDisappear() {
    clearAll();
    // An unpacking or a run may still be going: its package is gone with the
    // cache folder, so its late callbacks are dropped and the form is
    // unlocked now rather than whenever they come.
    if (workPending) {
        ++workGeneration;
        workPending = false;
        hideProgress();
        enableControls();
    }
}

// ---- Choosing and opening a package ---------------------------------------

std::optional<std::string> ViewController::chooseOne(bool files, const std::vector<std::string>& fileTypes) {
    if (!_view) return std::nullopt;
    _view->endEditing();
    auto panel = _view->openPanel();
    if (!panel) return std::nullopt;
    panel->setCanChooseFiles(files);
    panel->setCanChooseDirectories(!files);
    panel->setAllowsMultipleSelection(false);
    if (!fileTypes.empty()) {
        panel->setAllowsOtherFileTypes(false);
        panel->setAllowedFileTypes(fileTypes);
    }
    if (panel->runModal() != ui::OpenPanel::OKButton) return std::nullopt;
    auto urls = panel->URLs();
    if (urls.empty()) return std::nullopt;
    return urls.front();
}

void ViewController::browseIPAFilePathButtonAction() {
    if (auto path = chooseOne(true, {"IPA"})) openPackageAtPath(*path);
}

void ViewController::openPackageAtPath(const std::string& path) {
    if (_view) _view->endEditing();
    if (text(_destinationPathField).empty()) setText(_destinationPathField, platform::folders::desktopDirectory());
    if (_package && !_package->workPath().empty()) platform::fs::removeItem(_package->workPath());
    setText(_ipaPathField, path);
    setPackage(QFAppPackageHandler::initWithPackagePath(path));
    unzipIpa();
}

void ViewController::browseDestinationPathButtonAction() {
    if (auto path = chooseOne(false, {})) setText(_destinationPathField, *path);
}

void ViewController::unzipIpa() {
    auto package = _package;
    if (!package) return;
    addLog("Start unzip the ipa file to path: " + package->workPath(), LogColor::black);
    disableControls();
    workPending = true;
    runProgress.startUnpacking();
    showProgress();
    auto holder = holdUntilDone();
    uint64_t generation = workGeneration;
    package->unzipIpa(
        [holder, generation] {
            auto self = release(holder);
            if (!self || !self->isCurrent(generation)) return;
            self->workPending = false;
            self->hideProgress();
            self->addLog("Unzip ipa file succeeded", LogColor::black);
            self->showIpaInfo();
            self->enableControls();
        },
        failureCallback(holder, generation));
}

void ViewController::showIpaInfo() {
    if (!_package) return;
    setText(_appNameField, _package->bundleDisplayName());
    setText(_bundleIdField, _package->bundleID().value_or(""));
    if (!_provisioningComboBox || _provisioningComboBox->indexOfSelectedItem() != -1) return;
    auto embedded = _package->embeddedMobileprovision();
    if (!embedded || !embedded->bundleIdentifier()) return;
    for (size_t i = 0; i < _provisioningArray.size(); ++i) {
        const auto& profile = _provisioningArray[i];
        if (profile && profile->bundleIdentifier() == embedded->bundleIdentifier()) {
            _provisioningComboBox->selectItemAtIndex(static_cast<int>(i));
            return;
        }
    }
}

// ---- The form's own actions -----------------------------------------------

void ViewController::bundleIdRadioAction(const ui::Button& sender) {
    // The typed-identifier button reverts to the field whether it was just
    // turned on (chosen as a radio button) or off: without the first, a
    // radio group could never return to the typed identifier.
    if (sender.tag() == kTypedBundleIdTag) {
        _useMobileprovisionBundleID = false;
    } else if (sender.tag() == kProfileBundleIdTag && sender.state() == ui::Button::on) {
        _useMobileprovisionBundleID = true;
    }
}

void ViewController::resignClick() {
    const std::string ipaPath = text(_ipaPathField);
    if (!platform::fs::fileExists(ipaPath)) {
        addLog("Not found ipa file " + ipaPath, LogColor::red);
        return;
    }
    int certificateIndex = _certificateComboBox ? _certificateComboBox->indexOfSelectedItem() : -1;
    if (certificateIndex < 0 || static_cast<size_t>(certificateIndex) >= _certificatesArray.size()) {
        addLog("No select certificate", LogColor::red);
        return;
    }
    int profileIndex = _provisioningComboBox ? _provisioningComboBox->indexOfSelectedItem() : -1;
    if (profileIndex < 0 || static_cast<size_t>(profileIndex) >= _provisioningArray.size()) {
        addLog("No select provisioning profile", LogColor::red);
        return;
    }
    const std::string displayName = text(_appNameField);
    if (displayName.empty()) {
        addLog("This app cann't have no name", LogColor::red);
        return;
    }
    const std::string destination = text(_destinationPathField);
    if (destination.empty()) {
        setText(_destinationPathField, platform::folders::desktopDirectory());
        addLog("Default Save the file to your desktop", LogColor::orange);
        return;
    }
    auto profile = _provisioningArray[static_cast<size_t>(profileIndex)];
    std::optional<std::string> bundleIdentifier;
    if (_useMobileprovisionBundleID) {
        if (profile) bundleIdentifier = profile->bundleIdentifier();
    } else {
        bundleIdentifier = text(_bundleIdField);
        if (bundleIdentifier->empty()) {
            addLog("This app cann't have no bundleIdentifier", LogColor::red);
            return;
        }
    }
    // The form can name a file that was typed in by hand and never opened.
    auto package = _package;
    if (!package) {
        addLog("No ipa file is open: choose one with the browse button first", LogColor::red);
        return;
    }

    disableControls();
    workPending = true;
    runProgress.reset();
    auto holder = holdUntilDone();
    uint64_t generation = workGeneration;
    const std::string certificate = _certificatesArray[static_cast<size_t>(certificateIndex)];
    // What a device will check is checked before anything on disk changes;
    // a refusal is one red line and leaves the package as it was opened.
    package->checkProvisioning(
        profile, certificate, bundleIdentifier,
        [holder, generation, package, profile, certificate, bundleIdentifier, displayName,
         destination](std::optional<std::string> refusal) {
            auto self = *holder;
            if (!self || !self->isCurrent(generation)) {
                *holder = nullptr;
                return;
            }
            if (refusal) {
                release(holder);
                self->workPending = false;
                self->hideProgress();
                self->enableControls();
                self->addLog(*refusal, LogColor::red);
                return;
            }
            package->removeCodeSignatureDirectory();
            package->resignWithProvisioningProfile(
                profile, certificate, bundleIdentifier, displayName, destination,
                [holder, generation](const std::string& message) {
                    auto self = *holder;
                    if (!self || !self->isCurrent(generation)) return;
                    auto running = self->_package;
                    if (self->runProgress.noteLogLine(message, running ? running->appPath() : std::string()))
                        self->showProgress();
                    self->addLog(message, LogColor::black);
                },
                failureCallback(holder, generation),
                [holder, generation, destination](const std::string&) {
                    auto self = release(holder);
                    if (!self || !self->isCurrent(generation)) return;
                    self->workPending = false;
                    self->hideProgress();
                    self->enableControls();
                    self->addLog("Resign done, ipa saved to " + destination, LogColor::green);
                });
        });
}

void ViewController::cleanClick() { clearAll(); }

// ---- The busy indicator ---------------------------------------------------

std::string ViewController::progressText(const engine::RunProgress& progress) {
    using engine::RunStage;
    switch (progress.stage()) {
        case RunStage::idle: return "Working\u2026";
        case RunStage::unpacking: return "Unpacking the package\u2026";
        case RunStage::entitlements: return "Writing the entitlements\u2026";
        case RunStage::infoPlist: return "Editing Info.plist\u2026";
        case RunStage::embeddedProfile: return "Embedding the profile\u2026";
        case RunStage::signing:
            if (progress.item() == 0) return "Signing\u2026";
            return "Signing item " + std::to_string(progress.item()) + " of " + std::to_string(progress.items()) +
                   ": " + progress.itemName();
        case RunStage::packing: return "Packing the new package\u2026";
        case RunStage::installing:
            if (progress.installStep().empty()) return "Installing on the device\u2026";
            return "Installing on the device: " + progress.installStep() +
                   (progress.installPercent() >= 0 ? " (" + std::to_string(progress.installPercent()) + "%)" : "");
    }
    return "Working\u2026";
}

void ViewController::showProgress() {
    if (!_progressIndicator) return;
    bool counting = runProgress.stage() == engine::RunStage::signing && runProgress.items() > 0;
    if (runProgress.stage() == engine::RunStage::installing && runProgress.installPercent() >= 0) {
        _progressIndicator->showProgress(progressText(runProgress), static_cast<size_t>(runProgress.installPercent()),
                                         100);
        return;
    }
    _progressIndicator->showProgress(progressText(runProgress), counting ? runProgress.item() : 0,
                                     counting ? runProgress.items() : 0);
}

void ViewController::hideProgress() {
    if (_progressIndicator) _progressIndicator->hideProgress();
}

void ViewController::clearAll() {
    setText(_ipaPathField, "");
    setText(_appNameField, "");
    setText(_destinationPathField, "");
    setText(_bundleIdField, "");
    if (_logField) _logField->setString("");
    if (auto cache = cacheFolderPath()) platform::fs::removeItem(*cache);
    setPackage(nullptr);
}

void ViewController::openCacheFolderClick() {
    auto cache = cacheFolderPath();
    if (!cache || !_view) return;
    _view->activateFileViewerSelectingURLs({fileURLWithPath(*cache)});
}

void ViewController::disableControls() {
    setEnabled(_ipaPathField, false);
    setEnabled(_browseIpaPathButton, false);
    setEnabled(_provisioningComboBox, false);
    setEnabled(_certificateComboBox, false);
    setEnabled(_appNameField, false);
    setEnabled(_destinationPathField, false);
    setEnabled(_browseDestinationPathButton, false);
    setEnabled(_bundleIdField, false);
    setEnabled(_resignButton, false);
    setEnabled(_cleanButton, false);
}

void ViewController::enableControls() {
    setEnabled(_ipaPathField, true);
    setEnabled(_browseIpaPathButton, true);
    setEnabled(_provisioningComboBox, true);
    setEnabled(_certificateComboBox, true);
    setEnabled(_appNameField, true);
    setEnabled(_destinationPathField, true);
    setEnabled(_browseDestinationPathButton, true);
    setEnabled(_bundleIdField, true);
    setEnabled(_resignButton, true);
    setEnabled(_cleanButton, true);
}

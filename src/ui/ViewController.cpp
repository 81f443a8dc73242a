#include "ui/ViewController.h"

#include <signal.h>

#include "crypto/Hex.h"
#include "platform/process.h"
#include "engine/QFAppPackageHandler.h"
#include "engine/QFEntitlements.h"
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

std::function<void(const std::string&)> ViewController::failureCallback(ControllerSlot holder, uint64_t generation,
                                                                        std::string workPath) {
    return [holder = std::move(holder), generation, workPath](const std::string& message) {
        auto self = release(holder);
        // Cancelled work: a tool ended late may have written after the work
        // folder was removed.
        if (self && !self->isCurrent(generation)) platform::fs::removeItem(workPath);
        if (!self || !self->isCurrent(generation)) return;
        self->setWorking(false);
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
    if (_deviceComboBox) startWatchingDevices();
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
        setWorking(false);
        enableControls();
    }
}

void ViewController::setWorking(bool working) {
    workPending = working;
    if (!working) hideProgress();
    if (_cancelButton) {
        _cancelButton->setHidden(!working);
        _cancelButton->setEnabled(working);
    }
    if (working && _verdictLine) _verdictLine->setStatus("", LogColor::gray);
}

void ViewController::cancelClick() {
    if (!workPending) return;
    // The late callbacks of the work find it is no longer current; the tools
    // still running are ended, and the steps waiting on them fail quietly.
    cancelledGeneration = workGeneration++;
    platform::signalRunningTasks(SIGTERM);
    if (_package && !_package->workPath().empty()) platform::fs::removeItem(_package->workPath());
    setPackage(nullptr);
    setWorking(false);
    enableControls();
    addLog("Cancelled: the running tools were ended and the work folder removed; nothing was written. "
           "Open the package again to re-sign it.",
           LogColor::orange);
}

// ---- Choosing and opening a package ---------------------------------------

std::string ViewController::chooserStartFolder(const std::string& fieldValue) const {
    if (!fieldValue.empty()) {
        std::string absolute = platform::path::absolutePath(fieldValue);
        if (platform::fs::isDirectory(absolute)) return absolute;
        std::string parent = platform::path::deletingLastPathComponent(absolute);
        if (platform::fs::isDirectory(parent)) return parent;
    }
    if (!lastFolder.empty() && platform::fs::isDirectory(lastFolder)) return lastFolder;
    return platform::folders::homeDirectory();
}

std::optional<std::string> ViewController::chooseOne(bool files, const std::vector<std::string>& fileTypes,
                                                     const std::string& title, const std::string& typesName,
                                                     const std::string& fieldValue) {
    if (!_view) return std::nullopt;
    _view->endEditing();
    auto panel = _view->openPanel();
    if (!panel) return std::nullopt;
    if (!title.empty()) panel->setTitle(title, typesName);
    panel->setDirectoryURL(chooserStartFolder(fieldValue));
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
    // Remembered for this session only: the program keeps no settings.
    lastFolder = files || !platform::fs::isDirectory(urls.front())
                     ? platform::path::deletingLastPathComponent(urls.front())
                     : urls.front();
    return urls.front();
}

void ViewController::browseIPAFilePathButtonAction() {
    if (auto path = chooseOne(true, {"IPA"}, "", "", text(_ipaPathField))) openPackageAtPath(*path);
}

void ViewController::openPackageWhenIdle(const std::string& path) {
    if (workPending) {
        addLog("Not opened while work is running: " + path + " (open it again once the log shows the work has ended)",
               LogColor::red);
        return;
    }
    openPackageAtPath(path);
}

void ViewController::openFile(const std::string& path) {
    const std::string extension = platform::path::toLower(platform::path::pathExtension(path));
    if (extension == "ipa" && !platform::fs::isDirectory(path)) {
        openPackageWhenIdle(path);
    } else if (extension == "p12" || extension == "pfx") {
        importIdentityAtPath(path);
    } else if (extension == "mobileprovision" || extension == "provisionprofile") {
        installProfileAtPath(path);
    } else {
        addLog("Not taken: " + platform::path::lastPathComponent(path) +
                   ". The window takes an .ipa package to re-sign, a .p12 signing identity to import, or a "
                   ".mobileprovision profile to install.",
               LogColor::red);
    }
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
    if (auto path = chooseOne(false, {}, "", "", text(_destinationPathField))) setText(_destinationPathField, *path);
}

void ViewController::unzipIpa() {
    auto package = _package;
    if (!package) return;
    addLog("Start unzip the ipa file to path: " + package->workPath(), LogColor::black);
    disableControls();
    setWorking(true);
    runProgress.startUnpacking();
    showProgress();
    auto holder = holdUntilDone();
    uint64_t generation = workGeneration;
    const std::string workPath = package->workPath();
    package->unzipIpa(
        [holder, generation, workPath] {
            auto self = release(holder);
            if (self && !self->isCurrent(generation)) platform::fs::removeItem(workPath);
            if (!self || !self->isCurrent(generation)) return;
            self->setWorking(false);
            self->addLog("Unzip ipa file succeeded", LogColor::black);
            self->showIpaInfo();
            self->enableControls();
            self->updateVerdict();
        },
        failureCallback(holder, generation, workPath));
}

void ViewController::showIpaInfo() {
    if (!_package) return;
    setText(_appNameField, _package->bundleDisplayName());
    setText(_bundleIdField, _package->bundleID().value_or(""));
    preselectProfile();
    showPackageOptions();
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
    // Where the package goes is known now: a folder that cannot take it is
    // said before any work, in place of a failure at the very end.
    if (auto problem = destinationProblem(destination)) {
        addLog(*problem, LogColor::red);
        return;
    }
    // The form can name a file that was typed in by hand and never opened.
    auto package = _package;
    if (!package) {
        addLog("No ipa file is open: choose one with the browse button first", LogColor::red);
        return;
    }
    const std::string archive = platform::path::appendingPathComponent(
        platform::path::absolutePath(destination), QFAppPackageHandler::archiveFileName(displayName));
    if (platform::fs::fileExists(archive) || platform::fs::isSymlink(archive)) {
        if (!_view || !_view->askToReplace(archive)) {
            addLog("Not re-signed: " + archive + " is already there and was kept. Change the app name or the "
                   "folder, or press Resign again and agree to replace it.",
                   LogColor::orange);
            return;
        }
    }

    disableControls();
    setWorking(true);
    runProgress.reset();
    auto holder = holdUntilDone();
    uint64_t generation = workGeneration;
    const std::string certificate = _certificatesArray[static_cast<size_t>(certificateIndex)];
    package->setResignOptions(resignOptions());
    package->setChosenEntitlements(chosenEntitlements());
    // With "Install on device", that device's verdict is one of the checks,
    // and the new archive goes onto it after the run.
    const std::optional<device::DeviceInfo> target = deviceToInstallOn();
    package->setTargetDevice(target);
    // What a device will check is checked before anything on disk changes;
    // a refusal is one red line and leaves the package as it was opened.
    package->checkProvisioning(
        profile, certificate, bundleIdentifier,
        [holder, generation, package, profile, certificate, bundleIdentifier, displayName,
         destination, archive, target](std::optional<std::string> refusal) {
            auto self = *holder;
            if (!self || !self->isCurrent(generation)) {
                *holder = nullptr;
                return;
            }
            if (refusal) {
                release(holder);
                self->setWorking(false);
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
                    // A capability the app loses stands out from the facts.
                    self->addLog(message,
                                 engine::isLostCapabilityLine(message) ? LogColor::orange : LogColor::black);
                },
                failureCallback(holder, generation, package->workPath()),
                // The package holds this block, so the block holds it weakly.
                [holder, generation, destination, archive, target,
                 weakPackage = std::weak_ptr<QFAppPackageHandler>(package)](const std::string&) {
                    auto self = target ? *holder : release(holder);
                    if (self && generation == self->cancelledGeneration && platform::fs::fileExists(archive))
                        self->addLog("The package was finished before the work could be stopped: " + archive,
                                     LogColor::orange);
                    if (!self || !self->isCurrent(generation)) {
                        *holder = nullptr;
                        return;
                    }
                    auto package = weakPackage.lock();
                    if (target && package) {
                        self->addLog("Resign done, ipa saved to " + destination, LogColor::green);
                        self->offerResult(archive);
                        self->installAfterRun(holder, generation, package, archive);
                        return;
                    }
                    self->setWorking(false);
                    self->enableControls();
                    self->addLog("Resign done, ipa saved to " + destination, LogColor::green);
                    self->offerResult(archive);
                    self->updateVerdict();
                });
        });
}

void ViewController::installAfterRun(ControllerSlot holder, uint64_t generation,
                                     std::shared_ptr<QFAppPackageHandler> package, std::string archive) {
    // The archive the packing wrote; the form's name for it otherwise.
    if (!package->lastArchivePath().empty()) archive = package->lastArchivePath();
    const std::string workPath = package->workPath();
    package->installOnDevice(
        archive,
        [holder, generation](const std::string& message) {
            auto self = *holder;
            if (!self || !self->isCurrent(generation)) return;
            if (self->runProgress.noteLogLine(message, std::string())) self->showProgress();
            self->addLog(message, LogColor::black);
        },
        failureCallback(holder, generation, workPath),
        [holder, generation](const std::string& message) {
            auto self = release(holder);
            if (!self || !self->isCurrent(generation)) return;
            self->setWorking(false);
            self->enableControls();
            self->addLog(message, LogColor::green);
            self->updateVerdict();
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
    if (_verdictLine) _verdictLine->setStatus("", LogColor::gray);
    if (_optionsSection) {
        _optionsSection->setValues({});
        _optionsSection->setNestedBundles({});
    }
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
    setEnabled(_optionsSection, false);
    setEnabled(_resignButton, false);
    setEnabled(_cleanButton, false);
    enableDeviceControls(false);
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
    setEnabled(_optionsSection, true);
    setEnabled(_resignButton, true);
    setEnabled(_cleanButton, true);
    enableDeviceControls(true);
}

#pragma once
// The controller of the main window: opens the package the user chooses,
// fills the form from it, checks the form when Resign is pressed, hands the
// work to the package's re-sign run, keeps the form locked while work runs and
// reports every step in the log. It is also the data source of the two
// pickers. Everything but addLog runs on the main queue.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/Devices.h"
#include "engine/QFProvisioningChecks.h"
#include "engine/QFResignOptions.h"
#include "engine/QFRunProgress.h"
#include "ui/OptionsSection.h"
#include "ui/View.h"

class QFAppPackageHandler;
class QFProvisioningProfile;

class ViewController : public ui::ComboBoxDataSource, public std::enable_shared_from_this<ViewController> {
public:
    using LogColor = ui::LogColor;

    // Pending callbacks hold the controller, so it is always shared.
    static std::shared_ptr<ViewController> create();

    // Life cycle, called by the window.
    void viewDidLoad();
    void viewDidDisappear();

    // Actions.
    void browseIPAFilePathButtonAction();
    void browseDestinationPathButtonAction();
    void bundleIdRadioAction(const ui::Button& sender);
    void resignClick();
    void cleanClick();
    void openCacheFolderClick();
    // A package handed over by other means than the chooser (dropped onto
    // the window): opened exactly as if the chooser had confirmed it.
    void openPackageAtPath(const std::string& path);
    // The same, unless work is running, which opening would end: then a line.
    void openPackageWhenIdle(const std::string& path);
    // A file dropped onto the window: a package opens, an identity (.p12)
    // is imported, a profile installed; anything else gets a line saying
    // what the window takes.
    void openFile(const std::string& path);
    // Ends the running unpacking or run: its tools are stopped and its work
    // folder removed, as the command line does when interrupted.
    void cancelClick();
    // Opens the folder that holds a new package (the log's last line).
    void openResultFolder(const std::string& folder);

    // Identities and profiles, managed from the window.
    void importIdentityClick();
    // Asks for the file's password, then imports it through the security
    // command; the list is read again with the new identity chosen.
    void importIdentityAtPath(const std::string& path);
    void installProfileClick();
    void installProfileAtPath(const std::string& path);
    // Both lists read again; what was chosen stays chosen while it exists.
    void refreshLists();
    struct IdentityRecord {
        std::string name;     // as find-identity prints it
        std::string sha1;     // of the certificate
        std::string team;     // subject OU, "" when none
        std::string expires;  // "YYYY-MM-DD", "" when unknown
        std::string problem;  // "" when valid, else why not
    };
    // Every signing identity of the keychain, valid or not; done runs on
    // the main queue.
    void loadIdentityRecords(std::function<void(std::vector<IdentityRecord>)> done);
    // After a confirmation: removes the identity through the security
    // command, then reads the identities again; done runs when finished.
    void removeIdentity(const IdentityRecord& identity, std::function<void()> done);

    // The pickers' choices changed (byUser: the user picked the profile).
    void certificateSelectionChanged();
    void profileSelectionChanged(bool byUser);
    // The verdict line under the form: the checks a re-sign runs first,
    // run now on what the form holds.
    void updateVerdict();

    // The chosen profile, or null.
    std::shared_ptr<QFProvisioningProfile> selectedProfile() const;
    // Label and value rows describing a profile, for its details view.
    static std::vector<std::pair<std::string, std::string>> profileDetails(const QFProvisioningProfile& profile);
    // What is wrong with a destination folder, or nothing when it is a folder
    // this user can write to, or one that can be created.
    static std::optional<std::string> destinationProblem(const std::string& folder);
    // The mark a profile the picker cannot use gets, "" when usable.
    static std::string profileMark(engine::ProfileUse use);
    // The folder a chooser starts in: the field's value (or its folder),
    // else the last folder chosen in this session, else the home folder.
    std::string chooserStartFolder(const std::string& fieldValue) const;

    // The Options section (Options.cpp): what it asks of the next re-sign,
    // as the engine takes it; its file pickers; the package's nested
    // bundles offered in it.
    engine::ResignOptions resignOptions() const;
    // The entitlements file chosen there, or nothing.
    std::optional<std::string> chosenEntitlements() const;
    void chooseIconClick();
    void chooseEntitlementsClick();
    void addLibraryClick();
    void showPackageOptions();
    ui::OptionsSection* optionsSection() const { return _optionsSection; }
    void setOptionsSection(ui::OptionsSection* v) { _optionsSection = v; }

    // The form.
    void unzipIpa();
    void showIpaInfo();
    void clearAll();
    void disableControls();
    void enableControls();

    // The activity log; callable from any thread.
    void addLog(const std::string& message, LogColor color);

    // The pickers and their data source.
    void getCertificates();
    void getProvisioningProfiles();
    long numberOfItemsInComboBox(const ui::ComboBox* comboBox) const override;
    std::optional<std::string> comboBox(const ui::ComboBox* comboBox, long index) const override;

    // The device picker: the connected devices, listed off the main queue
    // and again whenever one comes or goes; "No device connected" when none.
    void refreshDevices();
    // Lists again only when the daemon's UDIDs differ from the picker's:
    // the window asks every few seconds, in case an event was missed.
    void checkDevicesChanged();
    const std::vector<device::DeviceInfo>& devicesArray() const { return _devicesArray; }
    void setDevicesArray(std::vector<device::DeviceInfo> v);
    // The text a device shows as in the device picker.
    static std::string pickerItemForDevice(const device::DeviceInfo& device);
    // The device picked while "Install on device" is on; nothing otherwise.
    std::optional<device::DeviceInfo> deviceToInstallOn() const;

    // The folder under which every opened package has its work directory;
    // nothing when the private temporary folder is not usable.
    static std::optional<std::string> cacheFolderPath();
    // The text a profile shows as in the profile picker.
    static std::string pickerItemForProfile(const QFProvisioningProfile& profile);
    // What the busy indicator says at this point of the work.
    static std::string progressText(const engine::RunProgress& progress);

    // An unpacking or a run has started and not called back yet.
    bool isWorking() const { return workPending; }

    // Properties.
    bool useMobileprovisionBundleID() const { return _useMobileprovisionBundleID; }
    void setUseMobileprovisionBundleID(bool v) { _useMobileprovisionBundleID = v; }
    const std::vector<std::shared_ptr<QFProvisioningProfile>>& provisioningArray() const { return _provisioningArray; }
    void setProvisioningArray(std::vector<std::shared_ptr<QFProvisioningProfile>> v) {
        _provisioningArray = std::move(v);
        profileUses.clear();  // not marked yet
    }
    const std::vector<std::string>& certificatesArray() const { return _certificatesArray; }
    void setCertificatesArray(std::vector<std::string> v) { _certificatesArray = std::move(v); }

    // Outlets: controls the window owns. The window sets them to null before
    // its controls go away.
    ui::TextField* ipaPathField() const { return _ipaPathField; }
    void setIpaPathField(ui::TextField* v) { _ipaPathField = v; }
    ui::Button* browseIpaPathButton() const { return _browseIpaPathButton; }
    void setBrowseIpaPathButton(ui::Button* v) { _browseIpaPathButton = v; }
    ui::ComboBox* certificateComboBox() const { return _certificateComboBox; }
    void setCertificateComboBox(ui::ComboBox* v) { _certificateComboBox = v; }
    ui::ComboBox* provisioningComboBox() const { return _provisioningComboBox; }
    void setProvisioningComboBox(ui::ComboBox* v) { _provisioningComboBox = v; }
    ui::TextField* appNameField() const { return _appNameField; }
    void setAppNameField(ui::TextField* v) { _appNameField = v; }
    ui::TextField* destinationPathField() const { return _destinationPathField; }
    void setDestinationPathField(ui::TextField* v) { _destinationPathField = v; }
    ui::Button* browseDestinationPathButton() const { return _browseDestinationPathButton; }
    void setBrowseDestinationPathButton(ui::Button* v) { _browseDestinationPathButton = v; }
    ui::TextField* bundleIdField() const { return _bundleIdField; }
    void setBundleIdField(ui::TextField* v) { _bundleIdField = v; }
    ui::Button* cacheFolderButton() const { return _cacheFolderButton; }
    void setCacheFolderButton(ui::Button* v) { _cacheFolderButton = v; }
    ui::Button* resignButton() const { return _resignButton; }
    void setResignButton(ui::Button* v) { _resignButton = v; }
    ui::Button* cleanButton() const { return _cleanButton; }
    void setCleanButton(ui::Button* v) { _cleanButton = v; }
    ui::TextView* logField() const { return _logField; }
    void setLogField(ui::TextView* v) { _logField = v; }
    ui::Window* view() const { return _view; }
    void setView(ui::Window* v) { _view = v; }
    ui::ProgressIndicator* progressIndicator() const { return _progressIndicator; }
    void setProgressIndicator(ui::ProgressIndicator* v) { _progressIndicator = v; }
    ui::Button* cancelButton() const { return _cancelButton; }
    void setCancelButton(ui::Button* v) { _cancelButton = v; }
    ui::Button* importIdentityButton() const { return _importIdentityButton; }
    void setImportIdentityButton(ui::Button* v) { _importIdentityButton = v; }
    ui::ComboBox* deviceComboBox() const { return _deviceComboBox; }
    void setDeviceComboBox(ui::ComboBox* v) { _deviceComboBox = v; }
    ui::Button* installCheckBox() const { return _installCheckBox; }
    void setInstallCheckBox(ui::Button* v) { _installCheckBox = v; }
    ui::StatusLine* verdictLine() const { return _verdictLine; }
    void setVerdictLine(ui::StatusLine* v) { _verdictLine = v; }

    std::shared_ptr<QFAppPackageHandler> package() const { return _package; }
    void setPackage(std::shared_ptr<QFAppPackageHandler> v) { _package = std::move(v); }

private:
    ViewController() = default;

    // A slot holding the controller for the callbacks of one operation.
    std::shared_ptr<std::shared_ptr<ViewController>> holdUntilDone();
    // The failure callback of an unpacking or a run: ends the work of that
    // generation and logs the message in red.
    static std::function<void(const std::string&)> failureCallback(
        std::shared_ptr<std::shared_ptr<ViewController>> holder, uint64_t generation, std::string workPath);
    // Runs the chooser for one file of the Options section into its field.
    void chooseOptionsFile(std::string ui::OptionsValues::*field, const std::vector<std::string>& types,
                           const std::string& title, const std::string& typesName);
    // Runs the chooser for one file (of fileTypes, when given) or one folder;
    // the chosen path, or nothing when cancelled.
    std::optional<std::string> chooseOne(bool files, const std::vector<std::string>& fileTypes,
                                         const std::string& title = "", const std::string& typesName = "",
                                         const std::string& fieldValue = "");
    // Work starts or ends: the flag, the busy indicator's end, Cancel.
    void setWorking(bool working);
    // The identity list read again; the first name not in `before` is chosen
    // (an import), else the one chosen before, else the only one.
    void loadCertificates(bool startUp, std::optional<std::vector<std::string>> before);
    void takeCertificates(std::vector<std::string> identities, const std::optional<std::vector<std::string>>& before);
    std::string selectedIdentity() const;
    // Marks every profile for the chosen identity, usable ones first.
    void remarkProfiles();
    // The profile the package suggests, never one that cannot be used.
    void preselectProfile();
    // The log line that offers the folder of a new package.
    void offerResult(const std::string& archive);
    // The busy indicator from runProgress, or hidden.
    void showProgress();
    void hideProgress();
    // The second half of addLog, on the main queue.
    void appendLogLine(const std::string& message, LogColor color);
    std::string text(const ui::TextField* field) const;
    void setText(ui::TextField* field, const std::string& text);
    // Devices: the watcher and the first listing (only for a window with a
    // device picker); the picker's items; the picker and the check box
    // usable only with a device to pick; the install after a run.
    void startWatchingDevices();
    long numberOfDeviceItems() const;
    std::optional<std::string> deviceItem(long index) const;
    void enableDeviceControls(bool enabled);
    void installAfterRun(std::shared_ptr<std::shared_ptr<ViewController>> holder, uint64_t generation,
                         std::shared_ptr<QFAppPackageHandler> package, std::string archive);
    // Work the window was closed on: its late callbacks must not touch the
    // form, which by then belongs to whatever the user does next.
    bool isCurrent(uint64_t generation) const { return generation == workGeneration; }

    bool _useMobileprovisionBundleID = false;
    std::vector<std::shared_ptr<QFProvisioningProfile>> _provisioningArray;
    std::vector<std::string> _certificatesArray;
    ui::TextField* _ipaPathField = nullptr;
    ui::Button* _browseIpaPathButton = nullptr;
    ui::ComboBox* _certificateComboBox = nullptr;
    ui::ComboBox* _provisioningComboBox = nullptr;
    ui::TextField* _appNameField = nullptr;
    ui::TextField* _destinationPathField = nullptr;
    ui::Button* _browseDestinationPathButton = nullptr;
    ui::TextField* _bundleIdField = nullptr;
    ui::Button* _cacheFolderButton = nullptr;
    ui::Button* _resignButton = nullptr;
    ui::Button* _cleanButton = nullptr;
    ui::TextView* _logField = nullptr;
    ui::Window* _view = nullptr;
    ui::ProgressIndicator* _progressIndicator = nullptr;
    ui::Button* _cancelButton = nullptr;
    ui::Button* _importIdentityButton = nullptr;
    ui::StatusLine* _verdictLine = nullptr;
    ui::ComboBox* _deviceComboBox = nullptr;
    ui::Button* _installCheckBox = nullptr;
    ui::OptionsSection* _optionsSection = nullptr;
    std::shared_ptr<QFAppPackageHandler> _package;
    std::vector<device::DeviceInfo> _devicesArray;
    std::unique_ptr<device::DeviceWatcher> deviceWatcher;
    bool devicesListing = false;  // a listing runs; another is due when it ends
    bool devicesStale = false;
    bool devicesChecking = false;  // checkDevicesChanged is waiting for the daemon
    engine::RunProgress runProgress;  // of the work pending, for the busy indicator

    uint64_t workGeneration = 0;  // bumped when the window closes on pending work
    bool workPending = false;     // an unpacking or a run has not called back yet
    uint64_t cancelledGeneration = UINT64_MAX;  // the work Cancel ended last

    std::vector<engine::ProfileUse> profileUses;  // beside provisioningArray
    std::string certificateFor;  // the identity whose certificate is below (or being fetched)
    std::string certificatePem;  // its certificate, "" when not found
    bool certificateKnown = true;
    bool certificateStale = false;  // the keychain was read again: fetch the certificate anew
    uint64_t certificateGeneration = 0;
    bool profilePreselected = false;  // the chosen profile was chosen by preselectProfile
    std::string lastFolder;           // of the last chooser confirmed in this session
};

#pragma once
// One opened .ipa package: its private work directory, the application inside
// it, the queries on the unpacked application, and the chained stages of a
// re-sign run. Every operation is called on the main thread; every callback
// arrives there. Pending callbacks hold the handler (shared_ptr).
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/QFNestedBundles.h"
#include "engine/QFResignOptions.h"
#include "device/Devices.h"

class QFProvisioningProfile;
struct QFUnpackedTree;
class QFCompressedAhead;
namespace engine {
struct ProvisioningPlan;
}

class QFAppPackageHandler : public std::enable_shared_from_this<QFAppPackageHandler> {
public:
    using LogBlock = std::function<void(const std::string&)>;
    using ErrorBlock = std::function<void(const std::string&)>;
    using SuccessBlock = std::function<void(const std::string&)>;  // the stage's or run's result text

    // initWithPackagePath: computes the paths; touches nothing on disk.
    static std::shared_ptr<QFAppPackageHandler> initWithPackagePath(std::string packagePath);
    // Waits for code still being compressed ahead of packing.
    ~QFAppPackageHandler();

    // Workspace
    void unzipIpa(std::function<void()> success, ErrorBlock error);
    void setAppPath();  // finds the .app inside "Payload"
    // Why an unpacked package cannot be opened (no application, or one
    // without its Info.plist), or nothing; unpacking refuses it with this line.
    std::optional<std::string> openingRefusal() const;
    bool removeWorkDirectory();
    bool removeCodeSignatureDirectory();
    std::optional<std::string> getEmbeddedProvisioningProfilePath();
    std::string bundleDisplayName();
    std::optional<std::string> bundleID();
    std::shared_ptr<QFProvisioningProfile> embeddedMobileprovision();

    std::string packagePath() const;
    void setPackagePath(std::string value);
    std::string workPath() const;
    void setWorkPath(std::string value);
    // The application's entitlements, written by the entitlements stage and
    // read by the signing stage: "Entitlements.plist" in the work folder.
    std::string entitlementsPath() const;
    // The folder every package's work folder lives under ("resign" in the
    // temporary directory), which the window's Clean removes; none when
    // there is no private temporary directory.
    static std::optional<std::string> cacheFolderPath();
    std::string appPath() const;
    void setAppPath(std::string value);
    // The file name the packing stage gives the new package for a display
    // name, directly inside the destination folder.
    static std::string archiveFileName(std::string displayName);

    // The whole run: entitlements, Info.plist, embedded profile, signing, packing.
    void resignWithProvisioningProfile(std::shared_ptr<QFProvisioningProfile> profile, std::string certificate,
                                       std::optional<std::string> bundleIdentifier, std::string displayName,
                                       std::string destinationPath, LogBlock log, ErrorBlock error,
                                       SuccessBlock success);

    // What a device will check, checked before anything changes (the run
    // does it first too, unless this check has just passed with the run's
    // profile, identity and identifier and nothing it reads was set since):
    // the profile against the identity's certificate and
    // the clock, the identifier against the profile, encrypted executables,
    // and a profile for every nested application and extension. complete
    // runs on the main queue with the line to show, or nothing when the run
    // may go on. Nothing on disk is changed.
    void checkProvisioning(std::shared_ptr<QFProvisioningProfile> profile, std::string certificate,
                           std::optional<std::string> bundleIdentifier,
                           std::function<void(std::optional<std::string>)> complete);
    // Further profiles the user gave, each for the nested bundle whose new
    // identifier its application-identifier fits; read by the next run.
    void setNestedProfiles(std::vector<std::shared_ptr<QFProvisioningProfile>> profiles);
    // After a run: the file of the profile each nested application and
    // extension was given, by the bundle's absolute path (main thread only).
    std::map<std::string, std::string> nestedProfilePaths() const;
    // A property list the application is signed with instead of the
    // entitlements made from its old signature and its profile; checked
    // against the profile with the other checks. Nothing: none chosen.
    void setChosenEntitlements(std::optional<std::string> path);
    // The changes asked besides the new identity (all off at first), for
    // the next check and run; the check plans them and refuses what cannot
    // be done.
    void setResignOptions(engine::ResignOptions options);
    const engine::ResignOptions& resignOptions() const { return options; }
    // During and after a run: the changes it made, one line each, in the
    // order made (main thread only).
    const std::vector<std::string>& changesMade() const { return changes; }

    // The device the package is for: the checks before a run then also check
    // what that device checks (its UDID in every profile, its iOS version, its
    // processor), and installOnDevice installs on it. None: no device.
    void setTargetDevice(std::optional<device::DeviceInfo> device);
    const std::optional<device::DeviceInfo>& targetDevice() const { return _targetDevice; }
    // After a run: copies the archive it wrote to the target device and
    // installs it there (an upgrade when the application is installed). The
    // device's progress comes as log lines ("Install: VerifyingApplication
    // (40%)"); error gets one line in our words that keeps the device's error
    // and says where the archive is kept; success the closing line. The
    // device is worked on a thread of the global queue; the callbacks arrive
    // on the main queue.
    void installOnDevice(std::string archivePath, LogBlock log, ErrorBlock error, SuccessBlock success);
    // The archive the last packing wrote; empty before any.
    std::string lastArchivePath() const { return _lastArchivePath; }

    // Stages (each stores its three callbacks in the Local fields on entry).
    void createEntitlementsWithProvisioning(std::shared_ptr<QFProvisioningProfile> profile, LogBlock log,
                                            ErrorBlock error, SuccessBlock success);
    void doEntitlements(std::shared_ptr<QFProvisioningProfile> profile);
    void editInfoPlistWithIdentifier(std::optional<std::string> identifier, std::optional<std::string> displayName,
                                     LogBlock log, ErrorBlock error, SuccessBlock success);
    void editEmbeddedProvision(std::shared_ptr<QFProvisioningProfile> profile, LogBlock log, ErrorBlock error,
                               SuccessBlock success);
    // Between the embedded profile and signing, when the application holds
    // nested applications or extensions: their identifiers, profiles and
    // entitlements, as the last check planned them.
    void provisionNestedBundles(LogBlock log, ErrorBlock error, SuccessBlock success);
    void doCodesign(std::string certificate, LogBlock log, ErrorBlock error, SuccessBlock success);
    void verifySignature(std::string path, std::function<void(std::optional<std::string>)> complete);
    void zipPackageToDirPath(std::string destinationPath, LogBlock log, ErrorBlock error, SuccessBlock success);

    // Output readers (run on the global queue; see the .cpp for the ordering).
    // Each keeps a tool's captured output (as it wrote it) for the verdicts.
    void watchEntitlements(const std::string& output);
    void watchCodesigning(const std::string& output);
    void watchVerificationProcess(const std::string& output);

private:
    explicit QFAppPackageHandler(std::string packagePath);

    // Report through the current stage's callbacks; each is copied first,
    // since the callback may start the next stage, which replaces the field.
    void reportLog(const std::string& message);
    void reportError(const std::string& message);
    void reportSuccess(const std::string& message);
    // appPath/"Info.plist", or nothing while no application was found.
    std::optional<std::string> infoPlistPath() const;
    // A forwarder to one of the run's callbacks, read when it fires.
    LogBlock forwardToResignLog();
    ErrorBlock forwardToResignError();
    // The signing stage's items and their progress (see the Codesign .cpp).
    struct SigningRun;
    // Right after the Info.plist stage: the options' changes to files,
    // reported through the run's callbacks. False when the run ended there.
    bool changePackageFiles();
    // Starts the next items that may run now, up to two at a time.
    void startSigningItems(const std::shared_ptr<SigningRun>& run);
    // One item of the signing stage: sign, verify, then judge.
    void codesignItem(const std::shared_ptr<SigningRun>& run, size_t index);
    void compressNestedCodeAhead(const std::shared_ptr<SigningRun>& run);
    void finishItem(const std::shared_ptr<SigningRun>& run, size_t index, std::optional<std::string> failure);
    // Reports, in list order, every finished item not reported yet; ends
    // the stage once every item is reported or a failure has been reached.
    void reportSigningItems(const std::shared_ptr<SigningRun>& run);
    // Reads, once per bundle, what the executables of the application and of
    // the nested bundles the last check planned claimed in their signatures
    // as unpacked, with the codesign command; then calls done.
    void readClaimedEntitlements(std::function<void()> done);
    void readNextClaim(std::vector<std::string> bundles, std::function<void()> done);

    // Stage and run callbacks.
    SuccessBlock successLocalBlock;
    ErrorBlock errorLocalBlock;
    LogBlock logLocalBlock;
    SuccessBlock successResignBlock;
    ErrorBlock errorResignBlock;
    LogBlock logResignBlock;

    // Texts captured from the tools; each written by its reader and read only
    // after that reader has signalled its end.
    std::mutex resultsLock;
    std::string entitlementsResult;
    std::string codesigningResult;
    std::string verificationResult;

    std::shared_ptr<QFProvisioningProfile> _embeddedMobileprovision;
    // The work directory as unpacked, so that packing can copy what the run
    // left alone from the package itself (main thread only).
    std::shared_ptr<const QFUnpackedTree> unpackedTree;
    // The nested code compressed while the application is signed.
    std::shared_ptr<QFCompressedAhead> compressedAhead;
    // The last check's plan, the further profiles, and the entitlements file
    // of each nested bundle for the signing stage (main thread only).
    std::shared_ptr<engine::ProvisioningPlan> provisioningPlan;
    // What the last check that passed was asked, until a setter it reads,
    // another check or a run comes: a run asked the same takes its plans.
    struct PassedCheck {
        std::shared_ptr<QFProvisioningProfile> profile;
        std::string certificate;
        std::optional<std::string> bundleIdentifier;
        std::string appPath;
    };
    std::optional<PassedCheck> passedCheck;
    std::vector<std::shared_ptr<QFProvisioningProfile>> nestedProfiles;
    std::map<std::string, std::string> itemEntitlements;
    // Bundle path -> the entitlements its executable claimed before the
    // first run signed anything (XML; empty when it claimed none).
    std::map<std::string, std::string> claimedEntitlements;
    // The run's helper tools and XPC services, found when the claims are read.
    std::vector<engine::HelperCode> helperItems;
    std::optional<std::string> chosenEntitlements;
    // The options, the last check's plan of them, and the changes the
    // current run made (main thread only).
    engine::ResignOptions options;
    std::shared_ptr<engine::OptionsPlan> optionsPlan;
    std::vector<std::string> changes;
    std::optional<device::DeviceInfo> _targetDevice;  // main thread only
    std::string _lastArchivePath;                      // main thread only
    mutable std::mutex pathsLock;  // the three path properties are atomic
    std::string _packagePath;
    std::string _workPath;
    std::string _appPath;
};

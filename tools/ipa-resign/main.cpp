// ipa-resign: the re-sign run of the desktop application, from a script.
// It opens each package named, runs the same engine run as the window's
// Resign and prints the same time-stamped log lines (Report.h tells where
// they go).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "DeviceCommands.h"
#include "Options.h"
#include "PrivateKeychain.h"
#include "Report.h"
#include "engine/QFAppPackageHandler.h"
#include "engine/QFEntitlements.h"
#include "engine/QFRunProgress.h"
#include "engine/QFRunWorkspace.h"
#include "engine/QFSigningList.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/plist.h"
#include "platform/queues.h"
#include "profile/QFProvisioningProfile.h"
#include "system/QFFileHelper.h"

#ifndef IPA_VERSION
#define IPA_VERSION "unknown"
#endif

using namespace ipa_resign;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// What every package of one call is signed with.
struct Signing {
    std::string identity;         // as reported: the identity's name
    std::string signingIdentity;  // as handed to codesign: the name, or the SHA-1 of the run's own identity
    std::shared_ptr<QFProvisioningProfile> profile;
    std::string profilePath;
    // Every further --profile, for the nested applications and extensions.
    std::vector<std::shared_ptr<QFProvisioningProfile>> nestedProfiles;
    std::optional<std::string> entitlements;  // the application's, chosen; absolute
    std::optional<std::string> name, bundleId;
    bool profileBundleId = false;
    std::string destination;
    bool keepWork = false;
    bool overwrite = false;  // an archive already in the destination may be replaced
    engine::ResignOptions changes;
    // --install: the device each package is checked for and installed on.
    std::optional<device::DeviceInfo> device;
};

// The display name a package shows now: its display name, else its bundle
// name, else the application folder's name.
std::string currentDisplayName(const QFAppPackageHandler& package) {
    const std::string app = package.appPath();
    auto bytes = platform::fs::readFile(platform::path::appendingPathComponent(app, "Info.plist"));
    auto info = bytes ? platform::plist::parse(*bytes) : std::nullopt;
    for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
        const platform::plist::Value* value = info ? info->get(key) : nullptr;
        if (value && value->asString() && !value->asString()->empty()) return *value->asString();
    }
    return platform::path::deletingPathExtension(platform::path::lastPathComponent(app));
}

// NOTE: keep in step with archiveFileName() of QFAppPackageHandlerResign.cpp.
std::string archiveFileName(std::string displayName) {
    for (char& c : displayName)
        if (c == '/') c = '_';
    return displayName + ".ipa";
}

// Seconds spent in each stage, in the order the stages came.
class StageClock {
public:
    void enter(const char* stage) {
        close();
        current = stage;
        since = std::chrono::steady_clock::now();
    }
    void close() {
        if (current.empty()) return;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
        times.emplace_back(current, seconds);
        current.clear();
    }
    std::vector<std::pair<std::string, double>> times;

private:
    std::string current;
    std::chrono::steady_clock::time_point since;
};

class PackageRun {
public:
    PackageRun(const std::string& ipa, const Signing& signing, Reporter& out, std::set<std::string>& archivesWritten)
        : ipa(ipa), signing(signing), out(out), archivesWritten(archivesWritten) {
        result.package = ipa;
    }

    PackageResult run() {
        out.setPackage(ipa);
        if (!platform::fs::fileExists(ipa)) return finish(fail("Not found ipa file " + ipa));
        package = QFAppPackageHandler::initWithPackagePath(ipa);
        // A folder of this run's own, out of the window's reach.
        workspace = QFRunWorkspace::create();
        if (!workspace) return finish(fail("Unable to create a private work folder in the temporary folder"));
        workspace->setKeep(signing.keepWork);
        package->setWorkPath(workspace->workPath());
        package->setNestedProfiles(signing.nestedProfiles);
        package->setChosenEntitlements(signing.entitlements);
        package->setResignOptions(signing.changes);
        package->setTargetDevice(signing.device);
        progress.startUnpacking();
        clock.enter(engine::stageName(progress.stage()));
        log("Start unzip the ipa file to path: " + package->workPath());

        bool opened = false;
        std::optional<std::string> openError;
        package->unzipIpa([&] { opened = true; }, [&](const std::string& message) { openError = message; });
        platform::MainQueue::runUntil([&] { return opened || openError.has_value(); });
        if (openError) return finish(fail(*openError));
        log("Unzip ipa file succeeded");

        std::string displayName = signing.name ? *signing.name : currentDisplayName(*package);
        std::optional<std::string> bundleIdentifier;
        if (signing.profileBundleId) bundleIdentifier = signing.profile->bundleIdentifier();
        else if (signing.bundleId) bundleIdentifier = signing.bundleId;
        else bundleIdentifier = package->bundleID();
        if (!bundleIdentifier && !signing.profileBundleId) {
            out.error(ipa + ": its Info.plist names no bundle identifier; give one with --bundle-id");
            return finish(failQuietly("no bundle identifier"));
        }
        // Two packages of one call with the same name would end in one file.
        const std::string archiveName = archiveFileName(displayName);
        if (archivesWritten.count(archiveName)) {
            out.error(ipa + ": its archive " + archiveName +
                      " would replace the one this call has just written; re-sign it on its own with --name");
            return finish(failQuietly("archive name taken"));
        }
        // One from before this call is replaced only when asked.
        // NOTE: keep the path in step with zipPackageToDirPath() of QFAppPackageHandlerResign.cpp.
        const std::string archive =
            platform::path::appendingPathComponent(platform::path::absolutePath(signing.destination), archiveName);
        if (!signing.overwrite && platform::fs::fileExists(archive)) {
            out.error(ipa + ": " + archive + " exists already; give --overwrite to replace it, or --name for another name");
            return finish(failQuietly("archive exists"));
        }

        // Refused before anything in the package changes, like the window's Resign.
        std::optional<std::string> refusal;
        bool checked = false;
        package->checkProvisioning(signing.profile, signing.identity, bundleIdentifier,
                                   [&](std::optional<std::string> answer) {
                                       refusal = std::move(answer);
                                       checked = true;
                                   });
        platform::MainQueue::runUntil([&] { return checked; });
        if (refusal) return finish(fail(*refusal));

        bool finished = false;
        package->removeCodeSignatureDirectory();
        package->resignWithProvisioningProfile(
            signing.profile, signing.signingIdentity, bundleIdentifier, displayName, signing.destination,
            [this](const std::string& line) {
                if (progress.noteLogLine(line, package->appPath()) && progress.item() == 0)
                    clock.enter(engine::stageName(progress.stage()));
                log(line);
            },
            [&](const std::string& message) {
                fail(message);
                finished = true;
            },
            [&](const std::string&) {
                result.succeeded = true;
                result.archive = progress.archivePath();
                archivesWritten.insert(archiveName);
                result.message = "Resign done, ipa saved to " + signing.destination;
                out.log(result.message, Color::green, engine::stageName(progress.stage()));
                finished = true;
            });
        platform::MainQueue::runUntil([&] { return finished; });
        if (result.succeeded) listSignedItems();
        result.changes = package->changesMade();
        if (result.succeeded && signing.device) installOnDevice();
        return finish(result);
    }

private:
    // The written archive onto the chosen device; a failure fails the
    // package, whose archive stays where it was written.
    void installOnDevice() {
        bool finished = false;
        package->installOnDevice(
            result.archive.value_or(package->lastArchivePath()),
            [this](const std::string& line) {
                if (progress.noteLogLine(line, "") && progress.stage() == engine::RunStage::installing &&
                    progress.installStep().empty())
                    clock.enter(engine::stageName(progress.stage()));
                log(line);
            },
            [&](const std::string& message) {
                fail(message);
                finished = true;
            },
            [&](const std::string& message) {
                out.log(message, Color::green, engine::stageName(progress.stage()));
                finished = true;
            });
        platform::MainQueue::runUntil([&] { return finished; });
    }
    // A capability the app loses stands out from the facts, as in the window.
    void log(const std::string& message) {
        out.log(message, engine::isLostCapabilityLine(message) ? Color::orange : Color::black,
                engine::stageName(progress.stage()));
    }
    PackageResult fail(const std::string& message) {
        out.log(message, Color::red, engine::stageName(progress.stage()));
        return failQuietly(message);
    }
    PackageResult failQuietly(const std::string& message) {
        result.succeeded = false;
        result.message = message;
        return result;
    }
    PackageResult finish(PackageResult finalResult) {
        clock.close();
        finalResult.timings = clock.times;
        if (package && !signing.keepWork) package->removeWorkDirectory();
        if (workspace && !signing.keepWork) workspace->remove();
        out.result(finalResult);
        return finalResult;
    }
    void listSignedItems() {
        const std::string work = package->workPath(), app = package->appPath();
        const auto nestedProfiles = package->nestedProfilePaths();
        for (const auto& item : engine::signingList(app)) {
            std::string relative = item.rfind(work + "/", 0) == 0 ? item.substr(work.size() + 1) : item;
            std::optional<std::string> profile;
            if (item == app) profile = signing.profilePath;
            if (auto nested = nestedProfiles.find(item); nested != nestedProfiles.end()) profile = nested->second;
            result.signedItems.push_back({relative, signing.identity, profile});
        }
    }

    const std::string ipa;
    const Signing& signing;
    Reporter& out;
    std::set<std::string>& archivesWritten;
    std::shared_ptr<QFAppPackageHandler> package;
    std::shared_ptr<QFRunWorkspace> workspace;
    engine::RunProgress progress;
    StageClock clock;
    PackageResult result;
};

// The program's own share of a run: waiting, parsing and bookkeeping, not
// the tools it runs (they are children, counted apart).
void printOwnUsage() {
    struct rusage self {};
    if (::getrusage(RUSAGE_SELF, &self) != 0) return;
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    std::fprintf(stderr, "ipa-resign usage: user %.3f s, system %.3f s, peak memory %ld KiB\n",
                 seconds(self.ru_utime), seconds(self.ru_stime), self.ru_maxrss);
}

int usageError(const std::string& text) {
    std::fprintf(stderr, "ipa-resign: error: %s\nTry 'ipa-resign --help' for more information.\n", text.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto error = parse(argc, argv, options)) return usageError(*error);
    if (options.help) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("ipa-resign %s\n", IPA_VERSION);
        return 0;
    }
    if (options.listDevices) return listDevicesCommand(options.json);
    if (auto error = checkComplete(options)) return usageError(*error);
    engine::ResignOptions changes;
    if (auto error = packageChanges(options, changes)) return usageError(*error);

    QFRunWorkspace::interceptInterruptions();  // before any other thread starts
    Reporter out(options.json, options.quiet);
    // Before any thread or child process: the run's keychain changes the
    // environment that every tool inherits.
    std::unique_ptr<PrivateKeychain> runKeychain;
    Signing signing;
    if (options.p12) {
        std::string error;
        auto password = readP12Password(options.p12PasswordEnv, options.p12PasswordFile, &error);
        if (password) runKeychain = PrivateKeychain::create(*options.p12, *password, &error);
        if (!runKeychain) {
            out.error(error);
            return kExitFailure;
        }
        signing.identity = runKeychain->identityName();
        signing.signingIdentity = runKeychain->sha1();
    } else {
        signing.identity = signing.signingIdentity = *options.identity;
    }

    platform::MainQueue::bindToCurrentThread();

    // --install: the device is chosen before any work, so that every check
    // before a run is also that device's. Without one the packages are still
    // re-signed and written; the call fails at the end.
    std::optional<std::string> noDevice;
    if (options.install) {
        auto chosen = device::chooseDevice(options.installUdid);
        if (chosen) signing.device = *chosen;
        else noDevice = chosen.text();
    }

    // The same checks as the window makes before it starts, with its messages.
    auto missingTools = QFFileHelper::sharedInstance().lackSupportUtility();
    for (const auto& tool : missingTools) out.log("This command requires the support of " + tool, Color::red, "idle");
    if (!missingTools.empty()) return kExitFailure;

    signing.profilePath = options.profiles.front();
    signing.profile = std::make_shared<QFProvisioningProfile>(signing.profilePath);
    for (size_t i = 1; i < options.profiles.size(); ++i)
        signing.nestedProfiles.push_back(std::make_shared<QFProvisioningProfile>(options.profiles[i]));
    if (options.entitlements) signing.entitlements = platform::path::absolutePath(*options.entitlements);
    signing.name = options.name;
    signing.bundleId = options.bundleId;
    signing.profileBundleId = options.profileBundleId;
    signing.destination = *options.output;
    signing.keepWork = options.keepWork;
    signing.overwrite = options.overwrite;
    signing.changes = changes;

    std::vector<PackageResult> results;
    std::set<std::string> archivesWritten;
    for (const auto& ipa : options.packages) {
        results.push_back(PackageRun(ipa, signing, out, archivesWritten).run());
        if (QFRunWorkspace::interruption()) {
            // The run's folder went with its package; the private keychain
            // holds a key in the clear and goes too.
            if (runKeychain) runKeychain->remove();
            out.error("Interrupted: the work folder was removed and no archive was written");
            QFRunWorkspace::endIfInterrupted();
        }
    }
    out.summary(results);
    if (noDevice) out.error(*noDevice + " Nothing was installed; the re-signed packages were written all the same.");

    if (options.printUsage) printOwnUsage();
    for (const auto& r : results)
        if (!r.succeeded) return kExitFailure;
    return noDevice ? kExitFailure : 0;
}

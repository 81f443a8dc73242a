// The installation proxy and the notification proxy, both framed as
// lockdownd frames. An install reads the package from the media folder,
// walks the device's stages with their percentages and ends with "Complete",
// or with the device's error name, description and code.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cctype>
#include <regex>

#include "Device.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "support/QFToolPaths.h"

namespace devdouble {
namespace {

using platform::plist::Array;
using platform::plist::Dict;
using platform::plist::Value;

struct Stage {
    const char* name;
    int percent;
};
// NOTE: keep in step with the verification stage below (refusals stop there).
constexpr Stage kStagesBeforeVerifying[] = {
    {"CreatingStagingDirectory", 5}, {"ExtractingPackage", 15}, {"InspectingPackage", 20},
    {"TakingInstallLock", 20},       {"PreflightingApplication", 30}, {"InstallingEmbeddedProfile", 30},
};
constexpr Stage kVerifying = {"VerifyingApplication", 40};
constexpr Stage kStagesAfterVerifying[] = {
    {"CreatingContainer", 50},    {"InstallingApplication", 60}, {"PostflightingApplication", 70},
    {"SandboxingApplication", 80}, {"GeneratingApplicationMap", 90},
};

Dict failure(const std::string& name, const std::string& description, int64_t detail = 0) {
    Dict d{{"Error", name}, {"ErrorDescription", description}};
    if (detail) d["ErrorDetail"] = detail;
    return d;
}

// Compares dotted versions numerically: "9.3" < "10.0".
int compareVersions(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        long x = 0, y = 0;
        while (i < a.size() && a[i] != '.') x = x * 10 + (std::isdigit(static_cast<unsigned char>(a[i])) ? a[i] - '0' : 0), ++i;
        while (j < b.size() && b[j] != '.') y = y * 10 + (std::isdigit(static_cast<unsigned char>(b[j])) ? b[j] - '0' : 0), ++j;
        if (x != y) return x < y ? -1 : 1;
        ++i, ++j;
        if (x > 1000000 || y > 1000000) break;
    }
    return 0;
}

std::string runUnzip(const std::vector<std::string>& arguments, int& status) {
    platform::Task task(QFToolPaths::current().unzip, arguments);
    task.setCapturesOutput(true);
    if (!task.launch()) {
        status = -1;
        return {};
    }
    std::string output = platform::readToEnd(task.takeOutputDescriptor());
    task.waitUntilExit();
    status = task.terminationStatus();
    return output;
}

struct Inspection {
    std::string appName;   // "Name.app"
    Dict info;             // its Info.plist
    std::string problem;   // our words when the package cannot be read
};

// The application's Info.plist, from Payload/<name>.app/Info.plist inside
// the package, read with the unpacking tool in a private scratch folder.
Inspection inspect(const std::string& package) {
    Inspection result;
    const char* base = std::getenv("TMPDIR");
    std::string scratch = std::string(base && *base ? base : "/tmp") + "/device-double.XXXXXX";
    if (!::mkdtemp(scratch.data())) {
        result.problem = "The device could not make a scratch folder to read the package.";
        return result;
    }
    std::string archive = scratch + "/package.ipa";
    int status = 0;
    std::string entry;
    if (!platform::fs::writeFileAtomically(archive, package)) {
        result.problem = "The device could not store the package to read it.";
    } else {
        // The scratch path is absolute: never read as an option.
        std::string listing = runUnzip({"-Z1", archive}, status);
        static const std::regex infoPlist("^Payload/([^/]+\\.app)/Info\\.plist$");
        size_t start = 0;
        while (start < listing.size() && status == 0) {
            size_t end = listing.find('\n', start);
            if (end == std::string::npos) end = listing.size();
            std::string line = listing.substr(start, end - start);
            std::smatch m;
            if (std::regex_match(line, m, infoPlist) && QFToolCommands::entryNameIsLiteral(line)) {
                entry = line;
                result.appName = m[1];
                break;
            }
            start = end + 1;
        }
        if (status != 0 || entry.empty()) {
            result.problem = "The package holds no Payload/<name>.app/Info.plist; it is not an application package.";
        } else {
            runUnzip(QFToolCommands::unpackEntries(archive, scratch + "/x", {entry}), status);
            auto bytes = platform::fs::readFile(scratch + "/x/" + entry);
            auto parsed = bytes ? platform::plist::parse(*bytes) : std::nullopt;
            if (status != 0 || !parsed || !parsed->asDict())
                result.problem = "The application's Info.plist could not be read.";
            else
                result.info = *parsed->asDict();
        }
    }
    platform::fs::removeItem(scratch);
    return result;
}

bool sendStatus(Channel& channel, const Stage& stage) {
    return sendPlist(channel, Dict{{"Status", stage.name}, {"PercentComplete", int64_t{stage.percent}}});
}

}  // namespace

void Double::install(Channel& channel, Device& device, const std::string& command, const Dict& request) {
    const std::string* packagePath = stringAt(request, "PackagePath");
    const Dict* clientOptions = dictAt(request, "ClientOptions");
    auto path = packagePath ? normalizedPath(*packagePath) : std::nullopt;
    std::optional<std::string> package;
    {
        std::lock_guard<std::mutex> g(lock);
        if (path && device.files.count(*path)) package = device.files[*path];
    }
    if (!packagePath) {
        sendPlist(channel, failure("MissingPackagePath", "The " + command + " command names no PackagePath."));
        return;
    }
    if (!package) {
        sendPlist(channel, failure("PackageExtractionFailed",
                                   "There is no package at " + *packagePath + "; upload it through AFC first."));
        return;
    }
    for (int i = 0; i < 3; ++i)
        if (!sendStatus(channel, kStagesBeforeVerifying[i])) return;

    Inspection found = inspect(*package);
    if (!found.problem.empty()) {
        sendPlist(channel, failure("PackageInspectionFailed", found.problem));
        return;
    }
    std::string bundleId;
    if (auto id = stringAt(found.info, "CFBundleIdentifier")) bundleId = *id;
    else if (auto optionId = clientOptions ? stringAt(*clientOptions, "CFBundleIdentifier") : nullptr)
        bundleId = *optionId;
    // The kept copy is named by the identifier: it must be a plain name.
    static const std::regex plainIdentifier("^[A-Za-z0-9][A-Za-z0-9.-]*$");
    if (!std::regex_match(bundleId, plainIdentifier) || bundleId.size() > 255) {
        sendPlist(channel, failure("MissingBundleIdentifier",
                                   "The application's Info.plist has no usable CFBundleIdentifier."));
        return;
    }
    if (auto minimum = stringAt(found.info, "MinimumOSVersion");
        minimum && compareVersions(device.productVersion, *minimum) < 0) {
        sendPlist(channel, failure("DeviceOSVersionTooLow",
                                   "The application needs iOS " + *minimum + " or later; this device runs iOS " +
                                       device.productVersion + "."));
        return;
    }
    for (size_t i = 3; i < std::size(kStagesBeforeVerifying); ++i)
        if (!sendStatus(channel, kStagesBeforeVerifying[i])) return;
    if (!sendStatus(channel, kVerifying)) return;

    const std::string staged = "/var/installd/Library/Caches/com.apple.mobile.installd.staging/temp.D0uB1e/extracted/Payload/" +
                               found.appName;
    if (options.refusal == Refusal::NotInProfile) {
        sendPlist(channel, failure("ApplicationVerificationFailed",
                                   "Failed to verify code signature of " + staged +
                                       " : 0xe8008015 (A valid provisioning profile for this executable was not found.)",
                                   int64_t{0xe8008015}));
        return;
    }
    if (options.refusal == Refusal::InvalidSignature) {
        sendPlist(channel, failure("ApplicationVerificationFailed",
                                   "Failed to verify code signature of " + staged +
                                       " : 0xe8008001 (An unknown error has occurred.)",
                                   int64_t{0xe8008001}));
        return;
    }
    for (const auto& stage : kStagesAfterVerifying)
        if (!sendStatus(channel, stage)) return;

    if (!options.keepDir.empty() &&
        !platform::fs::writeFileAtomically(options.keepDir + "/" + bundleId + ".ipa", *package)) {
        sendPlist(channel, failure("InstallMapUpdateFailed",
                                   "The double could not keep the package in " + options.keepDir + "."));
        return;
    }
    Dict app = found.info;
    app["CFBundleIdentifier"] = bundleId;
    app["ApplicationType"] = "User";
    app["Path"] = "/private/var/containers/Bundle/Application/" + randomUuid() + "/" + found.appName;
    {
        std::lock_guard<std::mutex> g(lock);
        device.apps[bundleId] = std::move(app);
        device.notifications.push_back("com.apple.mobile.application_installed");
    }
    sendPlist(channel, Dict{{"Status", "Complete"}});
}

void Double::serveInstallationProxy(Channel& channel, Device& device) {
    for (;;) {
        auto message = receivePlist(channel);
        const Dict* request = message ? message->asDict() : nullptr;
        if (!request) return;
        const std::string* command = stringAt(*request, "Command");
        const Dict* clientOptions = dictAt(*request, "ClientOptions");
        if (!command) {
            if (!sendPlist(channel, failure("MissingCommand", "The request names no Command."))) return;
            continue;
        }
        if (*command == "Install" || *command == "Upgrade") {
            install(channel, device, *command, *request);
            continue;
        }
        // The applications a Browse or Lookup asks for, with the attributes
        // asked for (all when none are named).
        std::vector<std::pair<std::string, Dict>> chosen;
        if (*command == "Browse" || *command == "Lookup") {
            const std::string* type = clientOptions ? stringAt(*clientOptions, "ApplicationType") : nullptr;
            const Value* ids = clientOptions && clientOptions->count("BundleIDs") ? &clientOptions->at("BundleIDs") : nullptr;
            const Value* attributes =
                clientOptions && clientOptions->count("ReturnAttributes") ? &clientOptions->at("ReturnAttributes") : nullptr;
            std::lock_guard<std::mutex> g(lock);
            for (const auto& [id, app] : device.apps) {
                if (type && *type != "User" && *type != "Any") continue;
                if (ids && ids->asArray() &&
                    std::find(ids->asArray()->begin(), ids->asArray()->end(), Value(id)) == ids->asArray()->end())
                    continue;
                Dict shown;
                if (attributes && attributes->asArray()) {
                    for (const auto& a : *attributes->asArray())
                        if (auto key = a.asString(); key && app.count(*key)) shown[*key] = app.at(*key);
                } else {
                    shown = app;
                }
                chosen.emplace_back(id, std::move(shown));
            }
        }
        bool ok = true;
        if (*command == "Browse") {
            if (!chosen.empty()) {
                Array list(chosen.size());
                for (size_t i = 0; i < chosen.size(); ++i) list[i].v = std::move(chosen[i].second);
                ok = sendPlist(channel, Dict{{"Status", "BrowsingApplications"},
                                             {"CurrentIndex", int64_t{0}},
                                             {"CurrentAmount", static_cast<int64_t>(list.size())},
                                             {"Total", static_cast<int64_t>(list.size())},
                                             {"CurrentList", list}});
            }
            ok = ok && sendPlist(channel, Dict{{"Status", "Complete"}});
        } else if (*command == "Lookup") {
            Dict result;
            for (auto& [id, app] : chosen) result[id] = app;
            ok = sendPlist(channel, Dict{{"LookupResult", result}, {"Status", "Complete"}});
        } else if (*command == "Uninstall") {
            const std::string* id = stringAt(*request, "ApplicationIdentifier");
            {
                std::lock_guard<std::mutex> g(lock);
                if (id && device.apps.erase(*id))
                    device.notifications.push_back("com.apple.mobile.application_uninstalled");
            }
            ok = sendPlist(channel, Dict{{"Status", "RemovingApplication"}, {"PercentComplete", int64_t{50}}}) &&
                 sendPlist(channel, Dict{{"Status", "GeneratingApplicationMap"}, {"PercentComplete", int64_t{90}}}) &&
                 sendPlist(channel, Dict{{"Status", "Complete"}});
        } else {
            ok = sendPlist(channel, failure("UnknownCommand", "The double does not know the command " + *command + "."));
        }
        if (!ok) return;
    }
}

void Double::serveNotificationProxy(Channel& channel, Device& device) {
    std::set<std::string> observed;
    size_t seen;
    {
        std::lock_guard<std::mutex> g(lock);
        seen = device.notifications.size();
    }
    for (;;) {
        // Relays what was posted since the last look, then waits a little
        // for a request.
        std::vector<std::string> posted;
        {
            std::lock_guard<std::mutex> g(lock);
            for (; seen < device.notifications.size(); ++seen)
                if (observed.count(device.notifications[seen])) posted.push_back(device.notifications[seen]);
        }
        for (const auto& name : posted)
            if (!sendPlist(channel, Dict{{"Command", "RelayNotification"}, {"Name", name}})) return;
        if (!channel.waitReadable(100)) continue;
        auto message = receivePlist(channel);
        const Dict* request = message ? message->asDict() : nullptr;
        if (!request) return;
        const std::string* command = stringAt(*request, "Command");
        const std::string* name = stringAt(*request, "Name");
        if (command && *command == "ObserveNotification" && name) {
            observed.insert(*name);
        } else if (command && *command == "PostNotification" && name) {
            std::lock_guard<std::mutex> g(lock);
            device.notifications.push_back(*name);
        } else if (command && *command == "Shutdown") {
            sendPlist(channel, Dict{{"Command", "ProxyDeath"}});
            return;
        }
    }
}

}  // namespace devdouble

// The two stages that carry the chosen profile into the package: the
// entitlements file beside "Payload", and the application's embedded profile.
#include <string_view>

#include "engine/QFAppPackageHandler.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/plist.h"
#include "platform/text.h"
#include "profile/QFProvisioningProfile.h"
#include "support/QFToolLaunch.h"
#include "support/QFToolPaths.h"

namespace fs = platform::fs;
namespace path = platform::path;
namespace plist = platform::plist;

namespace {

constexpr const char* kEntitlementsFailed = "Entitlements generation failed. Please try again";

std::optional<std::string> profileFile(const std::shared_ptr<QFProvisioningProfile>& profile) {
    if (!profile || !profile->path() || profile->path()->empty()) return std::nullopt;
    return profile->path();
}

// The decode tool may print a policy warning as its first line, ahead of the
// property list; that line is dropped.
std::string withoutPolicyWarning(const std::string& output) {
    if (output.find("SecPolicySetValue") == std::string::npos) return output;
    auto firstBreak = output.find('\n');
    return firstBreak == std::string::npos ? std::string() : output.substr(firstBreak + 1);
}

// The decode tool prints the profile's content as it is: XML text, or the
// bytes of a binary property list, which must reach the parser unchanged.
std::string decodedProfileText(const std::string& raw) {
    if (withoutPolicyWarning(raw).rfind("bplist", 0) == 0) return raw;
    return platform::text::decodeUtf8Lossy(raw);
}

// The profile's "Entitlements" dictionary, unchanged; an empty one when the
// key is missing. Nothing when the output is not a dictionary property list
// or the entitlements are not a dictionary.
std::optional<plist::Value> entitlementsFromOutput(const std::string& text) {
    auto decoded = plist::parse(text);
    if (!decoded || !decoded->asDict()) return std::nullopt;
    const plist::Value* entitlements = decoded->get("Entitlements");
    if (!entitlements) return plist::Value(plist::Dict{});
    if (!entitlements->asDict()) return std::nullopt;
    return *entitlements;
}

}  // namespace

// MARK: entitlements

void QFAppPackageHandler::createEntitlementsWithProvisioning(std::shared_ptr<QFProvisioningProfile> profile,
                                                             LogBlock log, ErrorBlock error, SuccessBlock success) {
    logLocalBlock = std::move(log);
    errorLocalBlock = std::move(error);
    successLocalBlock = std::move(success);
    reportLog("Generating entitlements..");

    const std::string work = workPath();
    const std::string target = entitlementsPath();
    if (fs::fileExists(target) && !fs::removeItem(target)) {
        reportError("Unable to delete the last entitlements.mobileprovision. Please try again.");
        return;
    }
    auto source = profileFile(profile);
    if (!source || !fs::fileExists(*source)) {
        reportError("Unable to replace the entitlements.mobileprovision. Please try again.");
        return;
    }

    auto self = shared_from_this();
    const auto& tools = QFToolPaths::current();
    QFToolLaunchRequest request{tools.security, QFToolCommands::decodeProfile(platform::path::absolutePath(*source)), work,
                                true};
    bool launched = QFLaunchTool(
        request, [self, profile](QFToolLaunchResult result) {
            self->watchEntitlements(result.output);
            if (result.status == 0) self->doEntitlements(profile);
            else self->reportError(kEntitlementsFailed);
        });
    if (!launched) reportError(kEntitlementsFailed);
}

void QFAppPackageHandler::watchEntitlements(const std::string& output) {
    std::string text = decodedProfileText(output);
    std::lock_guard<std::mutex> g(resultsLock);
    entitlementsResult = std::move(text);
}

void QFAppPackageHandler::doEntitlements(std::shared_ptr<QFProvisioningProfile> /*profile*/) {
    std::string text;
    {
        std::lock_guard<std::mutex> g(resultsLock);
        entitlementsResult = withoutPolicyWarning(entitlementsResult);
        text = entitlementsResult;
    }
    auto entitlements = entitlementsFromOutput(text);
    const std::string target = entitlementsPath();
    if (entitlements && fs::writeFileAtomically(target, plist::toXml(*entitlements))) reportSuccess("Entitlements generated");
    else reportError(kEntitlementsFailed);
}

// MARK: embedded profile

void QFAppPackageHandler::editEmbeddedProvision(std::shared_ptr<QFProvisioningProfile> profile, LogBlock log,
                                                ErrorBlock error, SuccessBlock success) {
    logLocalBlock = std::move(log);
    errorLocalBlock = std::move(error);
    successLocalBlock = std::move(success);
    reportLog("Editing the Embedded Provision...");

    const std::string payload = path::appendingPathComponent(workPath(), "Payload");
    for (const auto& entry : fs::contentsOfDirectory(payload)) {
        if (path::toLower(path::pathExtension(entry)) != "app") continue;
        if (auto old = getEmbeddedProvisioningProfilePath()) fs::removeItem(*old);
        break;
    }

    // Without an application folder there is no place for the profile (and
    // the destination must not fall back to a relative path).
    const std::string app = appPath();
    auto source = profileFile(profile);
    bool copied = false;
    if (!app.empty() && source) {
        const std::string destination =
            path::appendingPathExtension(path::appendingPathComponent(app, "embedded"), "mobileprovision");
        // By its bytes: a profile that is a link is embedded as the file it
        // names, never as a link to a path on this machine.
        copied = fs::copyFileContents(*source, destination);
    }
    if (copied) reportSuccess("Embedded Provision edited successfully");
    else reportError("Embedded Provision editing failed. Please try again");
}

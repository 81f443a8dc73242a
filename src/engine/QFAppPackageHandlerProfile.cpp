// The two stages that carry the chosen profile into the package: the
// entitlements file beside "Payload", and the application's embedded profile;
// and the reading of what the old signatures claimed, which the entitlements
// of every bundle start from.
#include <string_view>

#include "engine/QFAppPackageHandler.h"
#include "engine/QFEntitlements.h"
#include "engine/QFNestedBundles.h"
#include "engine/QFProvisioningChecks.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/plist.h"
#include "platform/queues.h"
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

// The decoded profile, when the output is a dictionary property list whose
// entitlements (if any) are a dictionary.
std::optional<plist::Value> profileFromOutput(const std::string& text) {
    auto decoded = plist::parse(text);
    if (!decoded || !decoded->asDict()) return std::nullopt;
    const plist::Value* entitlements = decoded->get("Entitlements");
    if (entitlements && !entitlements->asDict()) return std::nullopt;
    return decoded;
}

// Where the codesign command writes one bundle's claimed entitlements while
// they are read; removed again at once, so the archive holds nothing of it.
std::string claimFile(const std::string& workPath) {
    return path::appendingPathComponent(workPath, "ClaimedEntitlements.plist");
}

}  // namespace

// MARK: what the old signatures claimed

void QFAppPackageHandler::setChosenEntitlements(std::optional<std::string> file) {
    chosenEntitlements = std::move(file);
    passedCheck.reset();
}

void QFAppPackageHandler::readClaimedEntitlements(std::function<void()> done) {
    // Read once: a later run on this handler finds the executables signed
    // by the run before, and starts from what they claimed as unpacked.
    std::vector<std::string> bundles;
    const std::string app = appPath();
    if (!app.empty()) bundles.push_back(app);
    if (provisioningPlan)
        for (const auto& bundle : provisioningPlan->nested) bundles.push_back(bundle.path);
    helperItems = app.empty() ? std::vector<engine::HelperCode>{} : engine::helperCode(app, provisioningPlan.get());
    for (const auto& helper : helperItems) bundles.push_back(helper.path);
    std::erase_if(bundles, [this](const std::string& bundle) { return claimedEntitlements.count(bundle) > 0; });
    readNextClaim(std::move(bundles), std::move(done));
}

void QFAppPackageHandler::readNextClaim(std::vector<std::string> bundles, std::function<void()> done) {
    if (bundles.empty()) {
        done();
        return;
    }
    const std::string bundle = bundles.back();
    bundles.pop_back();
    const std::string file = claimFile(workPath());
    fs::removeItem(file);
    auto self = shared_from_this();
    // A bundle whose signature cannot be read (unsigned, or no command to
    // read it with) claimed nothing.
    auto next = [self, bundle, file, bundles, done](bool ran) {
        std::string claimed;
        if (ran)
            if (auto bytes = fs::readFile(file); bytes && engine::claimedEntitlementsFromFile(*bytes)) claimed = *bytes;
        fs::removeItem(file);
        self->claimedEntitlements[bundle] = std::move(claimed);
        self->readNextClaim(bundles, done);
    };
    QFToolLaunchRequest request{QFToolPaths::current().codesign, QFToolCommands::displayEntitlements(bundle, file), "",
                                true};
    if (!QFLaunchTool(request, [next](QFToolLaunchResult result) { next(result.status == 0); }))
        platform::MainQueue::async([next] { next(false); });
}

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

void QFAppPackageHandler::doEntitlements(std::shared_ptr<QFProvisioningProfile> profile) {
    std::string text;
    {
        std::lock_guard<std::mutex> g(resultsLock);
        entitlementsResult = withoutPolicyWarning(entitlementsResult);
        text = entitlementsResult;
    }
    auto decoded = profileFromOutput(text);
    if (!decoded) {
        reportError(kEntitlementsFailed);
        return;
    }
    // A profile without entitlements gives nothing to sign with.
    plist::Dict entitlements;
    std::vector<engine::EntitlementsNote> notes;
    std::string source;
    if (const plist::Value* granted = decoded->get("Entitlements"); granted && !granted->asDict()->empty()) {
        engine::EntitlementsInput input;
        input.profile = *granted->asDict();
        input.profileName = profile && profile->name() ? *profile->name() : "";
        input.team = engine::profileTeam(*decoded);
        // The identifier the Info.plist stage is about to write.
        input.identifier = provisioningPlan && provisioningPlan->newIdentifier ? *provisioningPlan->newIdentifier
                                                                                : bundleID().value_or("");
        const std::string app = appPath();
        if (auto claim = claimedEntitlements.find(app); claim != claimedEntitlements.end() && !claim->second.empty())
            input.claimed = engine::claimedEntitlementsFromFile(claim->second);
        if (chosenEntitlements) {
            // Checked against the profile before the run changed anything.
            auto bytes = fs::readFile(*chosenEntitlements);
            auto chosen = bytes ? plist::parse(*bytes) : std::nullopt;
            if (!chosen || !chosen->asDict()) {
                reportError(kEntitlementsFailed);
                return;
            }
            entitlements = *chosen->asDict();
            entitlements.try_emplace("application-identifier", input.team + "." + input.identifier);
            entitlements.try_emplace("com.apple.developer.team-identifier", input.team);
            source = " (from the file \"" + path::lastPathComponent(*chosenEntitlements) + "\")";
        } else {
            auto made = engine::signedEntitlements(input);
            entitlements = std::move(made.entitlements);
            notes = std::move(made.notes);
        }
    }
    const std::string target = entitlementsPath();
    if (!fs::writeFileAtomically(target, plist::toXml(plist::Value(entitlements)))) {
        reportError(kEntitlementsFailed);
        return;
    }
    std::string keys = engine::entitlementKeysLine(path::lastPathComponent(appPath()), entitlements);
    if (!source.empty()) keys.insert(keys.size() - 1, source);
    reportLog(keys);
    for (const auto& note : notes) reportLog(note.text);
    reportSuccess("Entitlements generated");
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

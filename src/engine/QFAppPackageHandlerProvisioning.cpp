// The checks before a run, and the stage that provisions the nested
// applications and extensions as the checks planned it.
#include "engine/QFAppPackageHandler.h"
#include "engine/QFNestedBundles.h"
#include "engine/QFProvisioningChecks.h"
#include "engine/QFResignOptions.h"
#include "platform/files.h"
#include "platform/queues.h"
#include "platform/text.h"
#include "profile/QFProvisioningProfile.h"
#include "support/QFToolLaunch.h"
#include "support/QFToolPaths.h"
#include "system/QFFileHelper.h"

void QFAppPackageHandler::setResignOptions(engine::ResignOptions value) {
    options = std::move(value);
    optionsPlan.reset();
    passedCheck.reset();
}

void QFAppPackageHandler::setNestedProfiles(std::vector<std::shared_ptr<QFProvisioningProfile>> profiles) {
    nestedProfiles = std::move(profiles);
    passedCheck.reset();
}

void QFAppPackageHandler::checkProvisioning(std::shared_ptr<QFProvisioningProfile> profile, std::string certificate,
                                            std::optional<std::string> bundleIdentifier,
                                            std::function<void(std::optional<std::string>)> complete) {
    passedCheck.reset();
    // A profile file that is not there is the entitlements stage's to
    // report, in its own words, before it changes anything.
    if (!profile || !profile->path() || !platform::fs::fileExists(*profile->path())) {
        platform::MainQueue::async([complete] {
            if (complete) complete(std::nullopt);
        });
        return;
    }
    // The identity's certificate comes from the keychain through the
    // security command, as everything of signing does.
    auto self = shared_from_this();
    QFToolLaunchRequest request{QFToolPaths::current().security, QFToolCommands::identityCertificate(certificate), "", true};
    auto judge = [self, profile, certificate, bundleIdentifier, complete](int status, const std::string& pem) {
        // The options first: what they remove needs no profile.
        engine::OptionsCheck options = engine::checkOptions(self->options, self->appPath());
        self->optionsPlan = std::make_shared<engine::OptionsPlan>(std::move(options.plan));
        if (options.refusal) {
            self->provisioningPlan = std::make_shared<engine::ProvisioningPlan>();
            if (complete) complete(options.refusal);
            return;
        }
        engine::CheckInput input;
        input.profile = profile;
        input.identity = certificate;
        if (status == 0) input.certificatePem = pem;
        input.bundleIdentifier = bundleIdentifier;
        input.appPath = self->appPath();
        input.givenProfiles = self->nestedProfiles;
        input.chosenEntitlements = self->chosenEntitlements;
        input.installedProfiles = [] { return QFFileHelper::sharedInstance().getProvisioningProfiles(); };
        input.removedBundles = self->optionsPlan->removedBundles;
        input.minimumOSVersion = self->options.minimumOSVersion;
        input.minimumOSBundles = self->optionsPlan->systemBundles;
        if (const auto& target = self->targetDevice())
            input.device = engine::TargetDevice{target->udid, target->name, target->iosVersion, target->architecture};
        engine::CheckResult result = engine::checkProvisioning(input);
        self->provisioningPlan = std::make_shared<engine::ProvisioningPlan>(std::move(result.plan));
        if (!result.refusal) self->passedCheck = PassedCheck{profile, certificate, bundleIdentifier, input.appPath};
        if (complete) complete(result.refusal);
    };
    bool launched = QFLaunchTool(
        request, [judge](QFToolLaunchResult result) { judge(result.status, platform::text::decodeUtf8Lossy(result.output)); });
    if (!launched) platform::MainQueue::async([judge] { judge(-1, ""); });
}

std::map<std::string, std::string> QFAppPackageHandler::nestedProfilePaths() const {
    std::map<std::string, std::string> paths;
    if (!provisioningPlan) return paths;
    for (const auto& bundle : provisioningPlan->nested)
        if (bundle.profile && bundle.profile->path()) paths[bundle.path] = *bundle.profile->path();
    return paths;
}

void QFAppPackageHandler::provisionNestedBundles(LogBlock log, ErrorBlock error, SuccessBlock success) {
    logLocalBlock = std::move(log);
    errorLocalBlock = std::move(error);
    successLocalBlock = std::move(success);
    reportLog("Provisioning the nested applications and extensions...");
    itemEntitlements.clear();
    auto logLine = [this](const std::string& line) { reportLog(line); };
    if (provisioningPlan) {
        engine::NestedOutcome outcome =
            engine::provisionNestedBundles(*provisioningPlan, workPath(), claimedEntitlements, logLine);
        if (outcome.error) {
            reportError(*outcome.error);
            return;
        }
        itemEntitlements = std::move(outcome.entitlements);
    }
    // Helpers and XPC services are signed with what they claimed, not with
    // the application's entitlements.
    auto carriers = itemEntitlements;
    carriers[appPath()] = entitlementsPath();
    // Those inside a bundle the options removed are gone.
    std::vector<engine::HelperCode> present;
    for (const auto& helper : helperItems)
        if (platform::fs::fileExists(helper.path)) present.push_back(helper);
    engine::NestedOutcome helpers =
        engine::provisionHelperCode(present, workPath(), claimedEntitlements, carriers, logLine);
    if (helpers.error) {
        reportError(*helpers.error);
        return;
    }
    itemEntitlements.merge(helpers.entitlements);
    reportSuccess("Nested bundles provisioned");
}

// What the window says before and after the work: the verdict line under the
// form, the destination folder check, and the log line that offers the new
// package's folder.
#include <unistd.h>

#include <chrono>

#include "engine/QFAppPackageHandler.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/queues.h"
#include "profile/QFProvisioningProfile.h"
#include "support/QFDateFormatterUtil.h"
#include "system/QFFileHelper.h"
#include "ui/ViewController.h"

std::optional<std::string> ViewController::destinationProblem(const std::string& folder) {
    const std::string absolute = platform::path::absolutePath(folder);
    // The folder itself, or the nearest folder above it that exists, which
    // the packing stage will create the rest in.
    std::string existing = absolute;
    while (!platform::fs::fileExists(existing) && !platform::fs::isSymlink(existing) && existing != "/")
        existing = platform::path::deletingLastPathComponent(existing);
    if (!platform::fs::isDirectory(existing))
        return "The destination " + folder + " cannot be used: " + existing +
               " is a file, not a folder. Choose a folder to save the new package in.";
    if (::access(existing.c_str(), W_OK | X_OK) != 0)
        return "The destination " + folder + " cannot be used: you may not write to " + existing +
               ". Choose a folder of your own, for example in your home folder.";
    return std::nullopt;
}

void ViewController::updateVerdict() {
    if (!_verdictLine) return;
    auto say = [this](const std::string& text, LogColor color) { _verdictLine->setStatus(text, color); };
    auto package = _package;
    auto profile = selectedProfile();
    const std::string identity = selectedIdentity();
    // A verdict needs an opened package, an identity and a profile, and no
    // work running on them.
    if (workPending || !package || package->appPath().empty() || !platform::fs::isDirectory(package->appPath()) ||
        identity.empty() || !profile) {
        say("", LogColor::gray);
        return;
    }
    if (!certificateKnown || identity != certificateFor) {
        say("Checking\u2026", LogColor::gray);
        return;  // the certificate's arrival runs this again
    }
    // The form's own checks that refuse a re-sign, in their order, then the
    // destination, then what a device will check.
    const std::string displayName = text(_appNameField);
    if (displayName.empty()) return say("This app cann't have no name", LogColor::red);
    std::optional<std::string> bundleIdentifier;
    if (_useMobileprovisionBundleID) {
        bundleIdentifier = profile->bundleIdentifier();
    } else {
        bundleIdentifier = text(_bundleIdField);
        if (bundleIdentifier->empty()) return say("This app cann't have no bundleIdentifier", LogColor::red);
    }
    std::string destination = text(_destinationPathField);
    if (destination.empty()) destination = platform::folders::desktopDirectory();
    if (auto problem = destinationProblem(destination)) return say(*problem, LogColor::red);

    // NOTE: keep in step with QFAppPackageHandler::checkProvisioning, which
    // runs the same checks when Resign is pressed: the options first, as
    // what they remove needs no profile.
    const engine::ResignOptions options = resignOptions();
    engine::OptionsCheck planned = engine::checkOptions(options, package->appPath());
    if (planned.refusal) return say(*planned.refusal, LogColor::red);
    engine::CheckInput input;
    input.profile = profile;
    input.identity = identity;
    input.certificatePem = certificatePem;
    input.bundleIdentifier = bundleIdentifier;
    input.appPath = package->appPath();
    input.installedProfiles = [] { return QFFileHelper::sharedInstance().getProvisioningProfiles(); };
    input.removedBundles = planned.plan.removedBundles;
    engine::CheckResult result = engine::checkProvisioning(input);
    if (result.refusal) return say(*result.refusal, LogColor::red);
    std::string ready = "Ready: will install on devices this profile lists";
    if (const size_t count = options.count()) {
        ready += ", with " + std::to_string(count) + (count == 1 ? " change" : " changes") + " from Options";
        if (const size_t removed = planned.plan.removedBundles.size())
            ready += " (" + std::to_string(removed) + (removed == 1 ? " nested bundle" : " nested bundles") +
                     " removed, needing no profile)";
    }
    say(ready, LogColor::green);
}

void ViewController::offerResult(const std::string& archive) {
    // After the green line: both go through the main queue, in this order.
    auto self = shared_from_this();
    platform::MainQueue::async([self, archive] {
        auto* log = self->_logField;
        if (!log) return;
        auto now = QFDateFormatterUtil::sharedFormatter().MMddHHmmssSSSForDate(std::chrono::system_clock::now());
        log->appendAttributedString("[" + now.value_or("") + "]", LogColor::gray);
        log->appendAttributedString(" The new package is " + archive + " \u2014 ", LogColor::black);
        log->appendLink("Open Folder", platform::path::deletingLastPathComponent(archive));
        log->appendAttributedString("\n", LogColor::black);
        log->scrollRangeToVisible(log->length(), 0);
    });
}

void ViewController::openResultFolder(const std::string& folder) {
    if (_view && _view->openFolder(folder)) return;
    addLog("No file manager could be started to show " + folder + ": open that folder yourself.", LogColor::orange);
}

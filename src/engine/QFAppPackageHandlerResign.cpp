// The re-sign run: five stages chained by their success reports, and the
// last of them, packing the work directory into the new archive.
#include "engine/QFAppPackageHandler.h"
#include "engine/QFNestedBundles.h"
#include "engine/QFProvisioningChecks.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/queues.h"
#include "profile/QFProvisioningProfile.h"
#include "system/QFFileHelper.h"

namespace fs = platform::fs;
namespace path = platform::path;

// The display name is typed by the user: a "/" in it must not make folders,
// and a name of dots must not name the destination or its parent. The
// archive is always one file directly inside the destination folder.
std::string QFAppPackageHandler::archiveFileName(std::string displayName) {
    for (char& c : displayName)
        if (c == '/') c = '_';
    return displayName + ".ipa";
}

QFAppPackageHandler::LogBlock QFAppPackageHandler::forwardToResignLog() {
    std::weak_ptr<QFAppPackageHandler> weakSelf = weak_from_this();
    return [weakSelf](const std::string& message) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (auto log = self->logResignBlock) log(message);
    };
}

QFAppPackageHandler::ErrorBlock QFAppPackageHandler::forwardToResignError() {
    std::weak_ptr<QFAppPackageHandler> weakSelf = weak_from_this();
    return [weakSelf](const std::string& message) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (auto error = self->errorResignBlock) error(message);
    };
}

void QFAppPackageHandler::resignWithProvisioningProfile(std::shared_ptr<QFProvisioningProfile> profile,
                                                        std::string certificate,
                                                        std::optional<std::string> bundleIdentifier,
                                                        std::string displayName, std::string destinationPath,
                                                        LogBlock log, ErrorBlock error, SuccessBlock success) {
    logResignBlock = std::move(log);
    errorResignBlock = std::move(error);
    successResignBlock = std::move(success);

    // The continuations are stored in the handler's own stage fields, so they
    // hold it weakly; the pending child-process steps hold it strongly.
    std::weak_ptr<QFAppPackageHandler> weakSelf = weak_from_this();
    auto forward = [weakSelf](const std::string& closing) {
        auto self = weakSelf.lock();
        if (self)
            if (auto log = self->logResignBlock) log(closing);
        return self;
    };

    auto packaging = [forward, destinationPath](const std::string& closing) {
        auto self = forward(closing);
        if (!self) return;
        // The nested bundles' entitlements served their signing; the archive
        // holds nothing of them.
        fs::removeItem(engine::nestedEntitlementsFolder(self->workPath()));
        std::weak_ptr<QFAppPackageHandler> weak = self;
        self->zipPackageToDirPath(destinationPath, self->forwardToResignLog(), self->forwardToResignError(),
                                  [weak](const std::string& result) {
                                      auto handler = weak.lock();
                                      if (!handler) return;
                                      if (auto done = handler->successResignBlock) done(result);
                                  });
    };
    auto startSigning = [certificate, packaging](const std::shared_ptr<QFAppPackageHandler>& self) {
        self->doCodesign(certificate, self->forwardToResignLog(), self->forwardToResignError(), packaging);
    };
    auto signing = [forward, startSigning](const std::string& closing) {
        if (auto self = forward(closing)) startSigning(self);
    };
    // Nested applications and extensions get their own identifiers, profiles
    // and entitlements, helper tools their own entitlements; an application
    // without any goes straight to signing.
    auto nested = [forward, signing, startSigning](const std::string& closing) {
        auto self = forward(closing);
        if (!self) return;
        self->itemEntitlements.clear();
        if ((!self->provisioningPlan || self->provisioningPlan->nested.empty()) && self->helperItems.empty()) {
            startSigning(self);
            return;
        }
        self->provisionNestedBundles(self->forwardToResignLog(), self->forwardToResignError(), signing);
    };
    auto embedding = [forward, profile, nested](const std::string& closing) {
        auto self = forward(closing);
        if (!self || !self->changePackageFiles()) return;
        self->editEmbeddedProvision(profile, self->forwardToResignLog(), self->forwardToResignError(), nested);
    };
    auto infoPlist = [forward, bundleIdentifier, displayName, embedding](const std::string& closing) {
        auto self = forward(closing);
        if (!self) return;
        self->editInfoPlistWithIdentifier(bundleIdentifier, displayName, self->forwardToResignLog(),
                                          self->forwardToResignError(), embedding);
    };
    auto entitlements = [weakSelf, profile, infoPlist] {
        auto self = weakSelf.lock();
        if (!self) return;
        self->createEntitlementsWithProvisioning(profile, self->forwardToResignLog(), self->forwardToResignError(),
                                                 infoPlist);
    };

    // A check that has just passed for this very run (the window and the
    // command check before they start one) is not made twice.
    std::optional<PassedCheck> passed = std::move(passedCheck);
    passedCheck.reset();
    if (passed && passed->profile == profile && passed->certificate == certificate &&
        passed->bundleIdentifier == bundleIdentifier && passed->appPath == appPath() && provisioningPlan &&
        optionsPlan && profile && profile->path() && fs::fileExists(*profile->path())) {
        changes.clear();
        platform::MainQueue::async([weakSelf, entitlements] {
            if (auto self = weakSelf.lock()) self->readClaimedEntitlements(entitlements);
        });
        return;
    }
    // A profile file that is gone is reported by the entitlements stage, at
    // once. Otherwise nothing is changed until what a device will check has
    // been checked.
    provisioningPlan.reset();
    optionsPlan.reset();
    changes.clear();
    if (!profile || !profile->path() || !fs::fileExists(*profile->path())) {
        entitlements();
        return;
    }
    checkProvisioning(profile, certificate, bundleIdentifier, [weakSelf, entitlements](std::optional<std::string> refusal) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (!refusal) {
            // What the old signatures claimed is read before anything is signed.
            self->readClaimedEntitlements(entitlements);
            return;
        }
        if (auto error = self->errorResignBlock) error(*refusal);
    });
}

void QFAppPackageHandler::zipPackageToDirPath(std::string destinationPath, LogBlock log, ErrorBlock error,
                                              SuccessBlock success) {
    logLocalBlock = std::move(log);
    errorLocalBlock = std::move(error);
    successLocalBlock = std::move(success);

    // The packing tool runs inside the work directory: a relative
    // destination has to be resolved here, against our own directory.
    const std::string destination = platform::path::absolutePath(destinationPath);
    const std::string archive = path::appendingPathComponent(destination, archiveFileName(bundleDisplayName()));
    reportLog("Beginning the zip of the IPA file in the path: " + archive);
    fs::createDirectory(destination);

    // The archive tool packs into a fresh file and moves it over the target
    // when whole: an archive already there is replaced, never merged into.
    // What the run left as unpacked is copied from the opened package.
    auto self = shared_from_this();
    auto ahead = std::move(compressedAhead);
    compressedAhead.reset();
    QFFileHelper::sharedInstance().zipChanges(workPath(), unpackedTree, archive, [self, archive](bool packed) {
        if (!packed) {
            self->reportError(
                "Unable to unzip the file: the destination path is empty or the source IPA file was corrupted");
            return;
        }
        self->_lastArchivePath = archive;
        self->reportLog("Zipping done. IPA file saved in the path: " + archive);
        std::string signing, verification;
        {
            std::lock_guard<std::mutex> g(self->resultsLock);
            signing = self->codesigningResult;
            verification = self->verificationResult;
        }
        self->reportSuccess("Resign result: " + signing + "\n\n" + verification);
    }, std::move(ahead));
}

// The signing stage: every framework and library of the application, then
// the application, each signed and verified before the next one starts.
#include "engine/QFAppPackageHandler.h"
#include "engine/QFSigningList.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/queues.h"
#include "platform/text.h"
#include "support/QFManualQueue.h"
#include "support/QFToolLaunch.h"
#include "support/QFToolPaths.h"

namespace fs = platform::fs;
namespace path = platform::path;

namespace {
std::string cannotRun(const std::string& launchPath) { return "Unable to run " + launchPath; }
// Status as platform::Task reports it: 128 + the signal's number for a signal.
std::string verifierEndedWithoutVerdict(int status) {
    return "The verification ended with status " + std::to_string(status) +
           " and printed nothing; the item is not verified.";
}
}  // namespace

void QFAppPackageHandler::doCodesign(std::string certificate, LogBlock log, ErrorBlock error, SuccessBlock success) {
    logLocalBlock = std::move(log);
    errorLocalBlock = std::move(error);
    successLocalBlock = std::move(success);
    reportLog("Beginning the codesign...");

    const std::string app = appPath();
    if (app.empty() || !fs::fileExists(app)) {
        reportError("Not found " + app + " folder");
        return;
    }

    // The queue holds the operations; an operation holds the queue only
    // weakly, and the pending steps of its item hold it strongly, so that
    // nothing is kept alive in a cycle once the stage has ended.
    auto queue = QFManualQueue::create();
    auto failedItem = std::make_shared<std::string>();  // touched on the main thread only
    auto self = shared_from_this();
    std::weak_ptr<QFManualQueue> weakQueue = queue;
    for (const auto& item : engine::signingList(app)) {
        queue->addOperation(QFBlockOperation::blockOperationWithBlock([self, certificate, item, weakQueue, failedItem] {
            if (auto running = weakQueue.lock()) self->codesignItem(certificate, item, running, failedItem);
        }));
    }
    queue->next();
    std::weak_ptr<QFAppPackageHandler> weakSelf = self;
    queue->setNoOperationPerform([weakSelf, failedItem] {
        auto handler = weakSelf.lock();
        if (handler && failedItem->empty()) handler->reportSuccess("Verification Codesigning dones");
    });
}

void QFAppPackageHandler::codesignItem(const std::string& certificate, const std::string& item,
                                       const std::shared_ptr<QFManualQueue>& queue,
                                       const std::shared_ptr<std::string>& failedItem) {
    auto self = shared_from_this();
    const std::string codesign = QFToolPaths::current().codesign;
    // A nested application or extension is signed with its own profile's
    // entitlements; everything else with the application's.
    auto own = itemEntitlements.find(item);
    const std::string entitlements = own != itemEntitlements.end()
                                         ? own->second
                                         : entitlementsPath();
    QFToolLaunchRequest request{codesign, QFToolCommands::signItem(certificate, item, entitlements), "", true};
    // The signing run's exit status is not read: its verification decides.
    bool launched = QFLaunchTool(
        request, [self, item, queue, failedItem](QFToolLaunchResult result) {
            self->watchCodesigning(result.output);
            self->verifySignature(item, [self, item, queue, failedItem](std::optional<std::string> failure) {
                self->finishItem(item, failure, queue, failedItem);
            });
        });
    reportLog("start codesigning with " + path::lastPathComponent(item) + "...");
    if (!launched) {
        // A signer that cannot start signs nothing; the item fails rather
        // than pass on a signature it never got. Reported later, like every
        // verdict, so the queue has finished with this operation.
        {
            std::lock_guard<std::mutex> g(resultsLock);
            codesigningResult = cannotRun(codesign);
        }
        platform::MainQueue::async([self, item, queue, failedItem, codesign] {
            self->finishItem(item, cannotRun(codesign), queue, failedItem);
        });
    }
}

void QFAppPackageHandler::verifySignature(std::string itemPath,
                                          std::function<void(std::optional<std::string>)> complete) {
    if (appPath().empty()) return;
    reportLog("Verifying codesign: " + path::lastPathComponent(itemPath));
    auto self = shared_from_this();
    const std::string codesign = QFToolPaths::current().codesign;
    QFToolLaunchRequest request{codesign, QFToolCommands::verifyItem(itemPath), "", true};
    // The item verified only when the verifier printed nothing AND ended
    // with status 0: a verifier that complains, fails or dies (a signal
    // before it could print) has not vouched for it.
    bool launched = QFLaunchTool(
        request, [self, complete](QFToolLaunchResult result) {
            self->watchVerificationProcess(result.output);
            const int status = result.status;
            std::string signing, verification;
            {
                std::lock_guard<std::mutex> g(self->resultsLock);
                signing = self->codesigningResult;
                verification = self->verificationResult;
            }
            if (!complete) return;
            if (verification.empty() && status == 0) complete(std::nullopt);
            else if (!verification.empty()) complete(signing + "\n\n" + verification);
            else complete(signing + "\n\n" + verifierEndedWithoutVerdict(status));
        });
    if (!launched) {
        // A verifier that cannot start has verified nothing.
        platform::MainQueue::async([self, complete, codesign] {
            std::string signing;
            {
                std::lock_guard<std::mutex> g(self->resultsLock);
                signing = self->codesigningResult;
            }
            if (complete) complete(signing + "\n\n" + cannotRun(codesign));
        });
    }
}

void QFAppPackageHandler::finishItem(const std::string& item, const std::optional<std::string>& failure,
                                     const std::shared_ptr<QFManualQueue>& queue,
                                     const std::shared_ptr<std::string>& failedItem) {
    if (failure) {
        *failedItem = item;
        reportError("Signing failed with error: " + *failure);
        queue->cancelAll();
        return;
    }
    reportLog(path::lastPathComponent(item) + " codesigning done");
    queue->next();
}

void QFAppPackageHandler::watchCodesigning(const std::string& output) {
    std::string text = platform::text::decodeUtf8Lossy(output);
    std::lock_guard<std::mutex> g(resultsLock);
    codesigningResult = std::move(text);
}

void QFAppPackageHandler::watchVerificationProcess(const std::string& output) {
    std::string text = platform::text::decodeUtf8Lossy(output);
    std::lock_guard<std::mutex> g(resultsLock);
    verificationResult = std::move(text);
}

// The signing stage: every framework and library of the application, then
// the application. Items that do not contain one another (sibling
// frameworks and libraries) are signed and verified two at a time; an item
// starts only once every item below it has been verified. The log reads as
// if the items ran one after the other: each item's lines are held back and
// reported together, in the list's order. A failing item stops the stage:
// nothing new starts, a neighbour already running is waited for, and only
// the items before the failing one are reported, then its error; a
// neighbour later in the list is not reported, as if it had never started.
#include <mutex>

#include "engine/QFAppPackageHandler.h"
#include "engine/QFSigningList.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/queues.h"
#include "platform/text.h"
#include "support/QFToolLaunch.h"
#include "support/QFToolPaths.h"
#include "system/QFRepack.h"

namespace fs = platform::fs;
namespace path = platform::path;

namespace {
std::string cannotRun(const std::string& launchPath) { return "Unable to run " + launchPath; }
// Status as platform::Task reports it: 128 + the signal's number for a signal.
std::string verifierEndedWithoutVerdict(int status) {
    return "The verification ended with status " + std::to_string(status) +
           " and printed nothing; the item is not verified.";
}
// Two, for the two cores signing is measured on: the tools are single
// threaded, and more at once only make the items queue for the disk.
constexpr size_t kItemsAtOnce = 2;
}  // namespace

// Touched on the main thread only: the tool texts too are written by
// completions on the main queue (see support/QFToolLaunch.h); the lock stays
// for the result texts the run quotes.
struct QFAppPackageHandler::SigningRun {
    enum class State { Waiting, Running, Done };
    struct Item {
        std::string path;
        State state = State::Waiting;
        std::vector<std::string> lines;
        std::optional<std::string> failure;
        std::string signing, verification;
    };
    std::string certificate;
    std::vector<Item> items;
    size_t nextToStart = 0, nextToReport = 0, running = 0;
    bool failed = false;  // nothing new starts
    bool ended = false;   // the stage has reported its end
    std::mutex textsLock;
};

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
    QFWaitForCompressedAhead(compressedAhead);  // a run before that never packed
    compressedAhead.reset();
    auto run = std::make_shared<SigningRun>();
    run->certificate = std::move(certificate);
    for (auto& item : engine::signingList(app)) {
        SigningRun::Item entry;
        entry.path = std::move(item);
        run->items.push_back(std::move(entry));
    }
    startSigningItems(run);
}

void QFAppPackageHandler::startSigningItems(const std::shared_ptr<SigningRun>& run) {
    while (!run->failed && run->running < kItemsAtOnce && run->nextToStart < run->items.size()) {
        // The list is inside-out: what lies below the next item comes before
        // it, so the next item waits only for a running item below it.
        const std::string& next = run->items[run->nextToStart].path;
        bool clear = true;
        for (size_t i = run->nextToReport; i < run->nextToStart; ++i)
            if (run->items[i].state == SigningRun::State::Running && engine::isBelow(run->items[i].path, next))
                clear = false;
        if (!clear) return;
        const size_t index = run->nextToStart++;
        ++run->running;
        run->items[index].state = SigningRun::State::Running;
        // The application is signed alone, after everything in it: the other
        // core compresses the nested code meanwhile, for packing.
        if (index + 1 == run->items.size() && index > 0) compressNestedCodeAhead(run);
        codesignItem(run, index);
    }
}

void QFAppPackageHandler::compressNestedCodeAhead(const std::shared_ptr<SigningRun>& run) {
    const std::string work = workPath();
    std::vector<std::string> files;
    for (size_t i = 0; i + 1 < run->items.size(); ++i) {
        const std::string code = engine::codeFileOf(run->items[i].path);
        if (engine::isBelow(code, work)) files.push_back(code.substr(work.size() + 1));
    }
    compressedAhead = QFCompressAhead(work, unpackedTree, std::move(files));
}

void QFAppPackageHandler::codesignItem(const std::shared_ptr<SigningRun>& run, size_t index) {
    auto self = shared_from_this();
    const std::string codesign = QFToolPaths::current().codesign;
    const std::string item = run->items[index].path;
    // A nested application or extension is signed with its own profile's
    // entitlements, a helper tool or XPC service with what it claimed;
    // libraries take the application's file, which the signer attaches to
    // main executables only.
    auto own = itemEntitlements.find(item);
    const std::string entitlements = own != itemEntitlements.end()
                                         ? own->second
                                         : entitlementsPath();
    run->items[index].lines.push_back("start codesigning with " + path::lastPathComponent(item) + "...");
    auto store = [run, index](std::string SigningRun::Item::*field, const std::string& output) {
        std::string text = platform::text::decodeUtf8Lossy(output);
        std::lock_guard<std::mutex> g(run->textsLock);
        run->items[index].*field = std::move(text);
    };
    auto verify = [self, run, index, codesign, item, store] {
        run->items[index].lines.push_back("Verifying codesign: " + path::lastPathComponent(item));
        QFToolLaunchRequest request{codesign, QFToolCommands::verifyItem(item), "", true};
        // The item verified only when the verifier printed nothing AND ended
        // with status 0: a verifier that complains, fails or dies (a signal
        // before it could print) has not vouched for it.
        bool launched = QFLaunchTool(request, [self, run, index, store](QFToolLaunchResult result) {
            store(&SigningRun::Item::verification, result.output);
            const int status = result.status;
            std::string signing, verification;
            {
                std::lock_guard<std::mutex> g(run->textsLock);
                signing = run->items[index].signing;
                verification = run->items[index].verification;
            }
            if (verification.empty() && status == 0) self->finishItem(run, index, std::nullopt);
            else if (!verification.empty()) self->finishItem(run, index, signing + "\n\n" + verification);
            else self->finishItem(run, index, signing + "\n\n" + verifierEndedWithoutVerdict(status));
        });
        if (!launched) {
            // A verifier that cannot start has verified nothing.
            std::string signing;
            {
                std::lock_guard<std::mutex> g(run->textsLock);
                signing = run->items[index].signing;
            }
            platform::MainQueue::async([self, run, index, failure = signing + "\n\n" + cannotRun(codesign)] {
                self->finishItem(run, index, failure);
            });
        }
    };
    QFToolLaunchRequest request{codesign, QFToolCommands::signItem(run->certificate, item, entitlements), "", true};
    // The signing run's exit status is not read: its verification decides.
    bool launched = QFLaunchTool(request, [verify, store](QFToolLaunchResult result) {
        store(&SigningRun::Item::signing, result.output);
        verify();
    });
    if (!launched) {
        // A signer that cannot start signs nothing; the item fails rather
        // than pass on a signature it never got. Judged later, like every
        // verdict, so that the caller has finished starting items.
        {
            std::lock_guard<std::mutex> g(run->textsLock);
            run->items[index].signing = cannotRun(codesign);
        }
        platform::MainQueue::async([self, run, index, codesign] { self->finishItem(run, index, cannotRun(codesign)); });
    }
}

void QFAppPackageHandler::finishItem(const std::shared_ptr<SigningRun>& run, size_t index,
                                     std::optional<std::string> failure) {
    SigningRun::Item& item = run->items[index];
    item.state = SigningRun::State::Done;
    --run->running;
    if (failure) {
        item.failure = std::move(failure);
        run->failed = true;
    } else {
        item.lines.push_back(path::lastPathComponent(item.path) + " codesigning done");
    }
    reportSigningItems(run);
    startSigningItems(run);
}

void QFAppPackageHandler::reportSigningItems(const std::shared_ptr<SigningRun>& run) {
    while (!run->ended && run->nextToReport < run->items.size()) {
        SigningRun::Item& item = run->items[run->nextToReport];
        if (item.state != SigningRun::State::Done) return;
        // A failure ends the stage, but only once no tool of it runs any more.
        if (item.failure && run->running > 0) return;
        for (const auto& line : item.lines) reportLog(line);
        if (item.failure) {
            run->ended = true;
            // Nothing will be packed: the code compressed ahead is let go, once done.
            QFWaitForCompressedAhead(compressedAhead);
            compressedAhead.reset();
            reportError("Signing failed with error: " + *item.failure);
            return;
        }
        item.lines.clear();
        {
            // The texts the run's result quotes: the last item's, the application's.
            std::lock_guard<std::mutex> g(run->textsLock), h(resultsLock);
            codesigningResult = item.signing;
            verificationResult = item.verification;
        }
        ++run->nextToReport;
    }
    if (!run->ended && run->nextToReport == run->items.size()) {
        run->ended = true;
        reportSuccess("Verification Codesigning dones");
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

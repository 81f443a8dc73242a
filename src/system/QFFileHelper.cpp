#include "system/QFFileHelper.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <unordered_map>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/queues.h"
#include "platform/text.h"
#include "support/QFToolLaunch.h"
#include "support/QFToolPaths.h"
#include "system/QFArchiveSafety.h"
#include "system/QFRepack.h"
#include "system/QFUnpackSplit.h"
#include "system/QFUnpackedTree.h"

namespace {

const char* const kNoCertificates = "There aren't Signign Certificates";

// Runs the tool and calls done(status) on the main queue once it has ended; a
// tool that cannot be started reports -1 the same way, so no caller waits
// forever for a tool that never ran.
void runAndWait(const QFToolLaunchRequest& request, std::function<void(int)> done) {
    if (!QFLaunchTool(request, [done](QFToolLaunchResult result) { done(result.status); }))
        platform::MainQueue::async([done = std::move(done)] { done(-1); });
}

// A private folder beside the target, where an archive is built before it
// is moved over the target.
std::optional<std::string> makeStagingFolder(const std::string& target) {
    std::string parent = platform::path::deletingLastPathComponent(target);
    std::string staging = platform::path::appendingPathComponent(parent.empty() ? "." : parent, ".ipa-resigner-XXXXXX");
    if (!::mkdtemp(staging.data())) return std::nullopt;
    return staging;
}

}  // namespace

QFFileHelper& QFFileHelper::sharedInstance() {
    static QFFileHelper* shared = new QFFileHelper;  // created once, never released
    return *shared;
}

QFFileHelper::QFFileHelper() : _provisionExtensions{"mobileprovision", "provisionprofile"} {}

std::vector<std::string> QFFileHelper::lackSupportUtility() {
    QFToolPaths tools = QFToolPaths::current();
    std::vector<std::string> missing;
    for (const std::string& path : {tools.zip, tools.unzip, tools.codesign})
        if (!platform::fs::fileExists(path)) missing.push_back(path);
    return missing;
}

void QFFileHelper::getCertificatesSuccess(std::function<void(std::vector<std::string>)> success,
                                          std::function<void(std::string)> error) {
    QFToolPaths tools = QFToolPaths::current();
    QFToolLaunchRequest request{tools.security, QFToolCommands::listIdentities(), "", true};
    auto report = [success, error](QFToolLaunchResult result) {
        std::string output = platform::text::decodeUtf8Lossy(result.output);
        if (output.empty()) return;  // nothing printed: nothing to report
        // The names stand between double quotes: every odd piece of the split.
        std::vector<std::string> names;
        size_t index = 0, start = 0;
        for (;;) {
            size_t quote = output.find('"', start);
            if (index % 2 == 1) names.push_back(output.substr(start, quote == std::string::npos ? std::string::npos : quote - start));
            if (quote == std::string::npos) break;
            start = quote + 1;
            ++index;
        }
        if (!names.empty()) {
            if (success) success(names);
        } else if (error) {
            error(kNoCertificates);
        }
    };
    if (!QFLaunchTool(request, report)) {
        std::string message = "Unable to run " + tools.security;
        platform::MainQueue::async([error = std::move(error), message] {
            if (error) error(message);
        });
    }
}

void QFFileHelper::unzip(const std::string& archivePath, const std::string& toPath, std::function<void(bool)> complete) {
    unpack(archivePath, toPath, false, [complete = std::move(complete)](bool ok, std::shared_ptr<const QFUnpackedTree>) {
        if (complete) complete(ok);
    });
}

void QFFileHelper::unzipRecording(const std::string& archivePath, const std::string& toPath,
                                  std::function<void(bool, std::shared_ptr<const QFUnpackedTree>)> complete) {
    unpack(archivePath, toPath, true, std::move(complete));
}

void QFFileHelper::unpack(const std::string& archivePath, const std::string& toPath, bool record,
                          std::function<void(bool, std::shared_ptr<const QFUnpackedTree>)> complete) {
    if (!platform::fs::fileExists(archivePath)) {
        if (complete) complete(false, nullptr);
        return;
    }
    // The archive's own directory is checked before the tool writes anything,
    // and the unpacked tree once more, on the real file system, after it.
    std::vector<QFArchiveEntry> entries;
    if (QFCheckArchiveBeforeUnpacking(archivePath, toPath, {}, &entries)) {
        platform::MainQueue::async([complete = std::move(complete)] {
            if (complete) complete(false, nullptr);
        });
        return;
    }
    // What the check learnt of the binaries' compressed data, for packing.
    auto indexes = std::make_shared<std::unordered_map<std::string, std::shared_ptr<const QFDeflateIndex>>>();
    for (QFArchiveEntry& e : entries)
        if (e.blocks) indexes->emplace(e.name, std::move(e.blocks));
    auto finish = [archivePath, toPath, record, indexes, complete = std::move(complete)](bool unpacked) {
        bool ok = unpacked && platform::fs::fileExists(toPath) && QFTreeStaysInside(toPath);
        std::shared_ptr<const QFUnpackedTree> tree;
        if (ok && record) tree = QFUnpackedTree::capture(archivePath, toPath, std::move(*indexes));
        if (complete) complete(ok, std::move(tree));
    };
    QFToolPaths tools = QFToolPaths::current();
    auto split = QFSplitForUnpacking(entries);
    if (!split) {
        runAndWait({tools.unzip, QFToolCommands::unpack(archivePath, toPath), ""},
                   [finish](int status) { finish(status == 0); });
        return;
    }
    // Two tools at once, on disjoint entries, into folders made beforehand;
    // the unpacking has succeeded when both have, and the folders have their
    // modes.
    if (!QFMakeFolders(toPath, split->folders)) {
        platform::MainQueue::async([finish] { finish(false); });
        return;
    }
    struct Progress {
        int running = 2;
        bool ok = true;
    };
    auto progress = std::make_shared<Progress>();
    auto folders = std::make_shared<std::vector<QFArchiveEntry>>(std::move(split->folderEntries));
    for (const auto& part : split->parts) {
        runAndWait({tools.unzip, QFToolCommands::unpackEntries(archivePath, toPath, part), ""},
                   [progress, folders, toPath, finish](int status) {
                       progress->ok = progress->ok && status == 0;
                       if (--progress->running > 0) return;
                       finish(progress->ok && QFRestoreFolderModes(toPath, *folders));
                   });
    }
}

void QFFileHelper::zip(const std::string& directoryPath, const std::string& toPath, std::function<void(bool)> complete) {
    // Pack into a fresh archive in a private folder beside the target and
    // move it over the target only when it is whole: an existing archive is
    // replaced, never merged into, and survives a failed packing untouched.
    std::string target = platform::path::absolutePath(toPath);
    auto staging = makeStagingFolder(target);
    if (!staging) {
        platform::MainQueue::async([complete = std::move(complete)] {
            if (complete) complete(false);
        });
        return;
    }
    std::string partial = platform::path::appendingPathComponent(*staging, "package.ipa");
    QFToolPaths tools = QFToolPaths::current();
    runAndWait({tools.zip, QFToolCommands::pack(partial), directoryPath}, [staging = *staging, partial, target, complete = std::move(complete)](int status) {
        bool ok = status == 0 && platform::fs::fileExists(partial) && ::rename(partial.c_str(), target.c_str()) == 0;
        platform::fs::removeItem(staging);
        if (complete) complete(ok && platform::fs::fileExists(target));
    });
}

void QFFileHelper::zipChanges(const std::string& directoryPath, std::shared_ptr<const QFUnpackedTree> unpacked,
                              const std::string& toPath, std::function<void(bool)> complete,
                              std::shared_ptr<QFCompressedAhead> ahead) {
    // On the roads below that take nothing made ahead, that work is let go
    // once it has ended (it must not outlive the run).
    auto letGo = [&ahead] {
        QFWaitForCompressedAhead(ahead);
        ahead.reset();
    };
    // The old package serves only while it is the one the directory came from.
    if (!unpacked || !unpacked->packageUnchanged()) {
        letGo();
        zip(directoryPath, toPath, std::move(complete));
        return;
    }
    auto plan = QFPlanRepacking(directoryPath, *unpacked);
    if (!plan) {
        letGo();
        zipFileSync(directoryPath, std::move(unpacked), toPath, std::move(complete));
        return;
    }
    std::string target = platform::path::absolutePath(toPath);
    auto staging = makeStagingFolder(target);
    if (!staging) {
        letGo();
        zip(directoryPath, target, std::move(complete));
        return;
    }
    // The changed paths, packed by one or two tools at once, each into an
    // archive of its own; then the new archive from those and the old one.
    // One archive path per part a tool packs, empty for the others.
    auto byTool = [&](size_t part) {
        return static_cast<int>(part) != QFRepackPlan::kReusePart && !plan->parts[part].empty();
    };
    std::vector<std::string> partArchives;
    for (size_t part = 0; part < std::size(plan->parts); ++part)
        partArchives.push_back(byTool(part) ? platform::path::appendingPathComponent(*staging, "part" + std::to_string(part) + ".zip")
                                            : std::string());
    struct Progress {
        size_t running = 0;
        bool ok = true;
    };
    auto progress = std::make_shared<Progress>();
    for (size_t part = 0; part < std::size(plan->parts); ++part) progress->running += byTool(part) ? 1 : 0;
    auto shared = std::make_shared<const QFRepackPlan>(std::move(*plan));
    // The re-signed binaries are compressed from the folder while their tool
    // stores them; read on the main queue only, once everything has ended.
    auto reused = std::make_shared<std::shared_ptr<const QFReusedStreams>>();
    auto assemble = [directoryPath, unpacked, shared, partArchives, staging = *staging, target, complete, reused](bool packed) {
        // Assembling copies what was made: on a thread of its own, the main
        // queue hears only of the end.
        platform::GlobalQueue::async([=, made = *reused] {
            const std::string partial = platform::path::appendingPathComponent(staging, "package.ipa");
            // The archive must hold exactly what the directory holds; whatever
            // went wrong, packing starts again from nothing.
            bool ok = packed && QFAssembleRepacked(*shared, unpacked->packagePath, partArchives, partial, made.get()) &&
                      QFArchiveNames(partial) == QFUnpackedTree::archiveNames(directoryPath) &&
                      ::rename(partial.c_str(), target.c_str()) == 0;
            platform::fs::removeItem(staging);
            platform::MainQueue::async([=] {
                if (ok) {
                    if (complete) complete(platform::fs::fileExists(target));
                    return;
                }
                QFFileHelper::sharedInstance().zip(directoryPath, target, complete);
            });
        });
    };
    const bool reusing = !shared->parts[QFRepackPlan::kReusePart].empty();
    if (!reusing) letGo();
    if (progress->running == 0 && !reusing) {
        platform::MainQueue::async([assemble] { assemble(true); });
        return;
    }
    QFToolPaths tools = QFToolPaths::current();
    if (reusing) {
        ++progress->running;
        const std::string scratch = platform::path::appendingPathComponent(*staging, "streams");
        platform::GlobalQueue::async([shared, directoryPath, unpacked, scratch, reused, progress, assemble, ahead] {
            auto made = QFCompressReused(*shared, directoryPath, unpacked->packagePath, scratch, ahead);
            platform::MainQueue::async([made = std::move(made), reused, progress, assemble] {
                *reused = made;
                progress->ok = progress->ok && made;
                if (--progress->running == 0) assemble(progress->ok);
            });
        });
    }
    for (size_t index = 0; index < std::size(shared->parts); ++index) {
        if (partArchives[index].empty()) continue;
        runAndWait({tools.zip, QFToolCommands::packPaths(partArchives[index], shared->parts[index]), directoryPath},
                   [progress, assemble](int status) {
                       progress->ok = progress->ok && status == 0;
                       if (--progress->running == 0) assemble(progress->ok);
                   });
    }
}

void QFFileHelper::zipFileSync(const std::string& directoryPath, std::shared_ptr<const QFUnpackedTree> unpacked,
                               const std::string& toPath, std::function<void(bool)> complete) {
    // The tool copies what it takes for unchanged, by time and size: only
    // once every file changed since has a time of its own.
    if (!unpacked->markChangedFiles(directoryPath)) {
        zip(directoryPath, toPath, std::move(complete));
        return;
    }
    std::string target = platform::path::absolutePath(toPath);
    auto staging = makeStagingFolder(target);
    if (!staging) {
        zip(directoryPath, target, std::move(complete));
        return;
    }
    std::string partial = platform::path::appendingPathComponent(*staging, "package.ipa");
    QFToolPaths tools = QFToolPaths::current();
    QFToolLaunchRequest request{tools.zip, QFToolCommands::packChanges(unpacked->packagePath, partial), directoryPath};
    // Whatever goes wrong on this road (an old archive the tool cannot read,
    // an entry it kept that the directory does not hold), packing starts
    // again from nothing.
    auto fromScratch = [directoryPath, staging = *staging, target, complete] {
        platform::fs::removeItem(staging);
        QFFileHelper::sharedInstance().zip(directoryPath, target, complete);
    };
    runAndWait(request, [directoryPath, staging = *staging, partial, target, complete, fromScratch](int status) {
        if (status != 0 || !platform::fs::fileExists(partial)) {
            fromScratch();
            return;
        }
        if (QFArchiveNames(partial) != QFUnpackedTree::archiveNames(directoryPath)) {
            fromScratch();
            return;
        }
        bool ok = ::rename(partial.c_str(), target.c_str()) == 0;
        platform::fs::removeItem(staging);
        if (complete) complete(ok && platform::fs::fileExists(target));
    });
}

#include "system/QFUnpackSplit.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <unordered_set>

#include "platform/files.h"
#include "support/QFToolPaths.h"

namespace {

bool isFolderEntry(const QFArchiveEntry& e) { return !e.name.empty() && e.name.back() == '/'; }

// Below this size the making of a file costs more than its bytes, and that
// cost varies most with the disk's state (several times over just after many
// files were removed): small files are dealt out in turn, so that each part
// gets half of them, and larger ones go where fewer bytes are.
constexpr uint64_t kSmallFile = 64 << 10;

}  // namespace

std::optional<QFUnpackSplit> QFSplitForUnpacking(const std::vector<QFArchiveEntry>& entries,
                                                 const QFUnpackSplitLimits& limits) {
    if (entries.size() > limits.maximumEntries) return std::nullopt;
    QFUnpackSplit split;
    std::vector<const QFArchiveEntry*> files;
    std::unordered_set<std::string> fileNames, folderNames;
    uint64_t total = 0;
    size_t nameBytes = 0;
    for (const QFArchiveEntry& e : entries) {
        if (isFolderEntry(e)) {
            if (!e.nameAsStored || !folderNames.insert(e.name.substr(0, e.name.size() - 1)).second) return std::nullopt;
            split.folderEntries.push_back(e);
            continue;
        }
        if (!e.nameAsStored || !QFToolCommands::entryNameIsLiteral(e.name) || !fileNames.insert(e.name).second)
            return std::nullopt;
        nameBytes += e.name.size() + 1;
        if (nameBytes > limits.maximumNameBytes) return std::nullopt;
        total += std::min<uint64_t>(e.size, UINT64_MAX - total);
        files.push_back(&e);
    }
    if (total < limits.minimumBytes || files.size() < 2) return std::nullopt;
    // Every folder the entries lie in or name; none may also be a file or a
    // link, which the other tool could be writing at the same path.
    std::set<std::string> folders(folderNames.begin(), folderNames.end());
    for (const auto* names : {&fileNames, &folderNames})
        for (const std::string& name : *names)
            for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
                folders.insert(name.substr(0, slash));
    for (const std::string& folder : folders) {
        if (fileNames.count(folder)) return std::nullopt;
        if (!folder.empty()) split.folders.push_back(folder);  // sorted: a parent before what it holds
    }

    uint64_t bytes[2] = {0, 0};
    size_t smallFiles = 0;
    for (const QFArchiveEntry* e : files) {
        int part = e->size < kSmallFile ? static_cast<int>(smallFiles++ % 2) : (bytes[0] <= bytes[1] ? 0 : 1);
        split.parts[part].push_back(e->name);
        bytes[part] += std::min<uint64_t>(e->size, UINT64_MAX - bytes[part]);
    }
    // One entry may hold nearly all the work: each part still gets one.
    if (split.parts[1].empty()) {
        split.parts[1].push_back(split.parts[0].back());
        split.parts[0].pop_back();
    } else if (split.parts[0].empty()) {
        split.parts[0].push_back(split.parts[1].front());
        split.parts[1].erase(split.parts[1].begin());
    }
    return split;
}

bool QFMakeFolders(const std::string& root, const std::vector<std::string>& folders) {
    auto make = [](const std::string& path) {
        struct stat st;
        if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
        return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    };
    if (!platform::fs::createDirectory(root)) return false;
    for (const std::string& folder : folders)
        if (!make(root + "/" + folder)) return false;
    return true;
}

bool QFRestoreFolderModes(const std::string& root, const std::vector<QFArchiveEntry>& folderEntries) {
    // Deepest first: a folder that may not be written is closed only after
    // the folders inside it have their modes. A folder's name is a prefix of
    // those inside it, so the reverse of name order puts them first.
    std::vector<const QFArchiveEntry*> order;
    for (const QFArchiveEntry& e : folderEntries) order.push_back(&e);
    std::sort(order.begin(), order.end(),
              [](const QFArchiveEntry* a, const QFArchiveEntry* b) { return a->name > b->name; });
    for (const QFArchiveEntry* e : order) {
        const std::string path = root + "/" + e->name.substr(0, e->name.size() - 1);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        // Entries made elsewhere carry no Unix mode: the folder keeps the one it was made with.
        if (!S_ISDIR(e->mode)) continue;
        if (::chmod(path.c_str(), e->mode & 0777) != 0) return false;
    }
    return true;
}

#include "system/QFUnpackSplit.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <unordered_set>

#include "platform/files.h"
#include "support/QFToolPaths.h"

namespace {

bool isFolderEntry(const QFArchiveEntry& e) { return !e.name.empty() && e.name.back() == '/'; }

// What the unpacking tool spends on an entry, in units of one inflated byte
// of data that barely compresses: each byte the stream saved costs one and a
// half more (matches and codes to decode), a stored byte two fifths (only
// copied and summed), and making a file as much as 14 KB. Fitted to unzip's
// times on halves of packages of binaries, images and property lists.
constexpr uint64_t kSmallFile = 14 << 10;
// A folder is given to one part whole when it holds at most this share of
// the work (the cost of its entries, below).
constexpr uint64_t kFinestShare = 16;

// Kept far below the largest number, so that sums of costs cannot overflow.
uint64_t costOf(const QFArchiveEntry& e) {
    const uint64_t bytes = std::min<uint64_t>(e.size, UINT64_MAX / 8);
    if (e.stored) return bytes * 2 / 5 + kSmallFile;
    const uint64_t saved = bytes - std::min(bytes, e.compressedSize);
    return bytes + saved + saved / 2 + kSmallFile;
}

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

    // The parts are made of whole subtrees where they can be: the tool
    // compares every entry with every name it is given, so a part that
    // listed thousands of files one by one would cost more than it saves.
    // A folder holding more than a small share of the work is opened up
    // into what it holds; what is left is dealt out, the costliest first,
    // each to the part with less to do.
    struct Folder {
        uint64_t cost = 0;
        size_t first = SIZE_MAX;              // its first file in archive order
        std::vector<size_t> files;            // indices into files, directly inside
        std::set<std::string> folders;        // folders directly inside that hold files
    };
    std::map<std::string, Folder> tree;       // "" is the top of the archive
    uint64_t totalCost = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& name = files[i]->name;
        const uint64_t cost = costOf(*files[i]);
        totalCost = std::min(totalCost + cost, UINT64_MAX / 2);
        size_t slash = name.rfind('/');
        std::string folder = slash == std::string::npos ? "" : name.substr(0, slash);
        tree[folder].files.push_back(i);
        for (;;) {
            Folder& f = tree[folder];
            f.cost = std::min(f.cost + cost, UINT64_MAX / 2);
            f.first = std::min(f.first, i);
            if (folder.empty()) break;
            slash = folder.rfind('/');
            std::string parent = slash == std::string::npos ? "" : folder.substr(0, slash);
            tree[parent].folders.insert(folder);
            folder = std::move(parent);
        }
    }
    struct Unit {
        std::string argument;
        uint64_t cost;
        size_t first;
    };
    std::vector<Unit> units;
    std::vector<std::string> open{""};
    while (!open.empty()) {
        const Folder& folder = tree[open.back()];
        open.pop_back();
        for (size_t i : folder.files)
            units.push_back({files[i]->name, costOf(*files[i]), i});
        for (const std::string& inside : folder.folders) {
            const Folder& f = tree[inside];
            if (f.cost > totalCost / kFinestShare) open.push_back(inside);
            else units.push_back({inside + "/*", f.cost, f.first});
        }
    }
    std::stable_sort(units.begin(), units.end(), [](const Unit& a, const Unit& b) { return a.cost > b.cost; });
    uint64_t load[2] = {0, 0};
    std::vector<const Unit*> chosen[2];
    for (const Unit& u : units) {
        const int part = load[0] <= load[1] ? 0 : 1;
        load[part] = std::min(load[part] + u.cost, UINT64_MAX / 2);
        chosen[part].push_back(&u);
    }
    for (int part = 0; part < 2; ++part) {
        if (chosen[part].empty()) return std::nullopt;
        std::sort(chosen[part].begin(), chosen[part].end(), [](const Unit* a, const Unit* b) { return a->first < b->first; });
        for (const Unit* u : chosen[part]) split.parts[part].push_back(u->argument);
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

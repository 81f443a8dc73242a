#include "system/QFArchiveSafety.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "system/QFZipDirectory.h"

namespace {

using namespace qfzip;

// A link's target is a path: no longer than the system allows one.
constexpr uint64_t kMaxLinkTarget = PATH_MAX;
// Above this many compressed bytes the check inflates on two threads.
constexpr uint64_t kInflateOnTwoThreads = uint64_t{8} << 20;

enum class Inflated { Fits, TooLong, Broken };

// Inflates an entry's data, keeping at most keep bytes of it in *kept;
// TooLong as soon as it passes limit bytes.
// With index, a binary's blocks are indexed on the way.
Inflated inflateEntry(const ArchiveFile& file, uint64_t data, const Entry& e, uint64_t limit, std::string* kept,
                      std::shared_ptr<const QFDeflateIndex>* index = nullptr) {
    std::unique_ptr<QFDeflateIndexer> indexer;
    if (index && e.size >= kQFDeflateReuseFrom)
        indexer = std::make_unique<QFDeflateIndexer>([&file, data, &e](uint64_t at, unsigned char* to, size_t count) {
            if (at > e.compressedSize || count > e.compressedSize - at) return false;
            auto bytes = file.read(data + at, count);
            if (bytes) std::copy(bytes->begin(), bytes->end(), to);
            return bytes.has_value();
        }, e.size);
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return Inflated::Broken;
    constexpr uint64_t kChunk = 1 << 16;
    std::string in;
    std::vector<unsigned char> out(kChunk);
    uint64_t consumed = 0, produced = 0;
    Inflated result = Inflated::Broken;
    for (;;) {
        if (z.avail_in == 0 && consumed < e.compressedSize) {
            auto chunk = file.read(data + consumed, std::min(kChunk, e.compressedSize - consumed));
            if (!chunk) break;
            consumed += chunk->size();
            in = std::move(*chunk);
            z.next_in = reinterpret_cast<Bytef*>(in.data());
            z.avail_in = static_cast<uInt>(in.size());
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        int rc = inflate(&z, indexer && indexer->wanted() ? Z_BLOCK : Z_NO_FLUSH);
        size_t got = out.size() - z.avail_out;
        produced += got;
        if (produced > limit) {
            result = Inflated::TooLong;
            break;
        }
        if (kept) kept->append(reinterpret_cast<const char*>(out.data()), got);
        if (indexer) {
            indexer->inflated(reinterpret_cast<const char*>(out.data()), got);
            if (rc != Z_STREAM_END) indexer->stopped(consumed - z.avail_in, z.data_type);
        }
        if (rc == Z_STREAM_END) {
            result = Inflated::Fits;
            if (indexer) *index = indexer->finish();
            break;
        }
        // No progress (Z_BUF_ERROR) happens only once the data is used up
        // without the stream's end; anything else but Z_OK is damage.
        if (rc != Z_OK) break;
    }
    inflateEnd(&z);
    return result;
}

bool hasDotDotComponent(std::string_view name) {
    size_t start = 0;
    for (;;) {
        size_t cut = name.find_first_of("/\\", start);
        if (name.substr(start, cut == std::string_view::npos ? std::string_view::npos : cut - start) == "..")
            return true;
        if (cut == std::string_view::npos) return false;
        start = cut + 1;
    }
}

bool hostileName(const std::string& name) {
    return name.empty() || name.front() == '/' || name.front() == '\\' || name.find('\0') != std::string::npos ||
           hasDotDotComponent(name);
}

// A link target read as text, from the folder of the link's own entry: it
// must neither be absolute nor climb above the top of the tree.
bool targetStaysInside(const std::string& entryName, const std::string& target) {
    if (target.empty() || target.front() == '/' || target.find('\0') != std::string::npos) return false;
    int depth = 0;
    auto walk = [&depth](std::string_view path) {
        size_t start = 0;
        for (;;) {
            size_t cut = path.find('/', start);
            std::string_view part = path.substr(start, cut == std::string_view::npos ? std::string_view::npos : cut - start);
            if (part == "..") {
                if (--depth < 0) return false;
            } else if (!part.empty() && part != ".") {
                ++depth;
            }
            if (cut == std::string_view::npos) return true;
            start = cut + 1;
        }
    };
    return walk(platform::path::deletingLastPathComponent(entryName)) && walk(target);
}

// The free space where folder is or, while it does not exist yet, where the
// nearest of its parents is.
uint64_t freeSpaceOf(std::string folder) {
    struct statvfs st;
    while (::statvfs(folder.empty() ? "." : folder.c_str(), &st) != 0) {
        if (errno != ENOENT || folder.empty() || folder == "/") return 0;
        folder = platform::path::deletingLastPathComponent(folder);
    }
    return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

// MARK: real paths

// The path with every link resolved, as the kernel would resolve it, except
// that a component that does not exist ends the look-ups and the rest is
// taken as text: so a dangling link resolves to where it would write.
// Nothing on a loop of links or an error other than a missing component.
std::optional<std::string> resolveFollowingLinks(const std::string& absolute) {
    std::vector<std::string> pending;  // components still to walk, last first
    auto pushPath = [&pending](std::string_view path) {
        std::vector<std::string> parts;
        size_t start = 0;
        for (;;) {
            size_t cut = path.find('/', start);
            std::string_view part = path.substr(start, cut == std::string_view::npos ? std::string_view::npos : cut - start);
            if (!part.empty() && part != ".") parts.emplace_back(part);
            if (cut == std::string_view::npos) break;
            start = cut + 1;
        }
        pending.insert(pending.end(), parts.rbegin(), parts.rend());
    };
    pushPath(absolute);
    std::string resolved;  // "" stands for "/"
    bool missing = false;
    int links = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.back());
        pending.pop_back();
        if (part == "..") {
            resolved.erase(resolved.empty() ? 0 : resolved.rfind('/'));
            continue;
        }
        std::string next = resolved + "/" + part;
        if (!missing) {
            struct stat st;
            if (::lstat(next.c_str(), &st) != 0) {
                if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
                missing = true;
            } else if (S_ISLNK(st.st_mode)) {
                if (++links > 40) return std::nullopt;
                std::string target(PATH_MAX, '\0');
                ssize_t n = ::readlink(next.c_str(), target.data(), target.size());
                if (n < 0 || static_cast<size_t>(n) >= target.size()) return std::nullopt;
                target.resize(static_cast<size_t>(n));
                if (!target.empty() && target.front() == '/') resolved.clear();
                pushPath(target);
                continue;
            }
        }
        resolved = std::move(next);
    }
    return resolved.empty() ? "/" : resolved;
}

// Why one entry's data may not be unpacked, or nothing.
std::optional<QFArchiveRefusal> checkEntryData(const ArchiveFile& file, const Directory& directory, const Entry& e,
                                               std::shared_ptr<const QFDeflateIndex>* index) {
    auto data = dataOffset(file, directory, e);
    if (!data) return QFArchiveRefusal::Unreadable;
    if (e.flags & kFlagEncrypted) return QFArchiveRefusal::Unsupported;
    if (e.method != kMethodStored && e.method != kMethodDeflated) return QFArchiveRefusal::Unsupported;
    const bool link = S_ISLNK(e.mode);
    if (link && e.size > kMaxLinkTarget) return QFArchiveRefusal::LinkOutside;
    std::string target;
    if (e.method == kMethodDeflated) {
        switch (inflateEntry(file, *data, e, e.size, link ? &target : nullptr, link ? nullptr : index)) {
            case Inflated::Fits: break;
            case Inflated::TooLong: return QFArchiveRefusal::SizeMismatch;
            case Inflated::Broken: return QFArchiveRefusal::Unreadable;
        }
    } else if (link) {
        auto stored = file.read(*data, std::min(e.compressedSize, e.size));
        if (!stored) return QFArchiveRefusal::Unreadable;
        target = std::move(*stored);
    }
    if (link && !targetStaysInside(e.name, target)) return QFArchiveRefusal::LinkOutside;
    return std::nullopt;
}

// Every entry's data, on two threads when there is much to inflate; the
// refusal answered is that of the first refused entry in archive order,
// however the work was shared.
// With indexes (one per entry), the binaries' blocks are indexed.
std::optional<QFArchiveRefusal> checkEntriesData(const ArchiveFile& file, const Directory& directory,
                                                 const std::vector<Entry>& entries,
                                                 std::vector<std::shared_ptr<const QFDeflateIndex>>* indexes) {
    uint64_t toInflate = 0;
    for (const Entry& e : entries)
        if (e.method == kMethodDeflated) toInflate += std::min<uint64_t>(e.compressedSize, UINT64_MAX - toInflate);
    // Entries [from, to): the first refused one's reason.
    auto checkRange = [&](size_t from, size_t to) -> std::optional<QFArchiveRefusal> {
        for (size_t i = from; i < to; ++i)
            if (auto refusal = checkEntryData(file, directory, entries[i], indexes ? &(*indexes)[i] : nullptr))
                return refusal;
        return std::nullopt;
    };
    if (toInflate < kInflateOnTwoThreads) return checkRange(0, entries.size());
    // Cut where half the compressed bytes lie.
    size_t cut = 0;
    for (uint64_t seen = 0; cut < entries.size() && seen < toInflate / 2; ++cut)
        if (entries[cut].method == kMethodDeflated) seen += entries[cut].compressedSize;
    std::optional<QFArchiveRefusal> later;
    std::thread second;
    try {
        second = std::thread([&] { later = checkRange(cut, entries.size()); });
    } catch (const std::system_error&) {
        return checkRange(0, entries.size());  // no second thread to be had: one does it all
    }
    auto first = checkRange(0, cut);
    second.join();
    return first ? first : later;
}

}  // namespace

std::optional<QFArchiveRefusal> QFCheckArchiveBeforeUnpacking(const std::string& archivePath,
                                                             const std::string& destination,
                                                             const QFArchiveLimits& limits,
                                                             std::vector<QFArchiveEntry>* listed) {
    ArchiveFile file(archivePath);
    if (!file.ok()) return QFArchiveRefusal::Unreadable;
    auto directory = findDirectory(file);
    if (!directory) return QFArchiveRefusal::Unreadable;
    auto entries = readEntries(file, *directory);
    if (!entries) return QFArchiveRefusal::Unreadable;

    // Names first: they need no reading of the data.
    uint64_t total = 0;
    for (const Entry& e : *entries) {
        if (hostileName(e.name)) return QFArchiveRefusal::HostileName;
        // A stored entry is copied as it lies, whatever size it declares.
        uint64_t size = e.method == kMethodStored ? std::max(e.size, e.compressedSize) : e.size;
        if (size > UINT64_MAX - total) return QFArchiveRefusal::InflatesTooFar;
        total += size;
    }
    uint64_t free = limits.freeSpace ? *limits.freeSpace : freeSpaceOf(destination);
    if (total > free || free - total < limits.freeSpaceMargin) return QFArchiveRefusal::TooLargeForDisk;
    const bool farAbove = limits.bombRatio == 0 || (file.length() <= UINT64_MAX / limits.bombRatio &&
                                                    total > limits.bombRatio * file.length());
    if (total > limits.bombSize && farAbove) return QFArchiveRefusal::InflatesTooFar;

    // Then every entry's data: a declared size binds only if the data keeps
    // to it (the unpacking tool writes whatever the stream inflates to).
    std::vector<std::shared_ptr<const QFDeflateIndex>> indexes(listed ? entries->size() : 0);
    if (auto refusal = checkEntriesData(file, *directory, *entries, listed ? &indexes : nullptr)) return refusal;
    if (listed) {
        listed->clear();
        listed->reserve(entries->size());
        for (size_t i = 0; i < entries->size(); ++i) {
            const Entry& e = (*entries)[i];
            listed->push_back({e.name, e.size, e.mode, e.nameAsStored, std::move(indexes[i]), e.method == kMethodStored,
                               e.compressedSize});
        }
    }
    return std::nullopt;
}

bool QFTreeStaysInside(const std::string& root) {
    char* real = ::realpath(root.c_str(), nullptr);
    if (!real) return false;
    const std::string top = real;
    ::free(real);
    const std::string below = top == "/" ? top : top + "/";
    // Folders are entered only when they are real folders, so only links can
    // lead elsewhere: each is resolved to its end. A folder that cannot be
    // read hides what is in it, and is refused like a link that leaves. The
    // walk keeps its own stack: an archive can nest folders very deep.
    std::vector<std::string> folders{top};
    while (!folders.empty()) {
        const std::string folder = std::move(folders.back());
        folders.pop_back();
        DIR* listing = ::opendir(folder.c_str());
        if (!listing) return false;
        bool inside = true;
        errno = 0;
        while (const dirent* entry = ::readdir(listing)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string full = folder + "/" + name;
            struct stat st;
            if (::lstat(full.c_str(), &st) != 0) {
                inside = false;
                break;
            }
            if (S_ISDIR(st.st_mode)) {
                folders.push_back(full);
            } else if (S_ISLNK(st.st_mode)) {
                auto resolved = resolveFollowingLinks(full);
                if (!resolved || (*resolved != top && resolved->rfind(below, 0) != 0)) {
                    inside = false;
                    break;
                }
            }
            errno = 0;
        }
        if (errno != 0) inside = false;
        ::closedir(listing);
        if (!inside) return false;
    }
    return true;
}

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

namespace {

// MARK: zip format

constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kUnicodePathExtraId = 0x7075;  // Info-ZIP's Unicode Path: the name again, in UTF-8
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kMaxComment = 0xFFFF;
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint32_t kSaturated32 = 0xFFFFFFFF;
constexpr uint16_t kSaturated16 = 0xFFFF;
// A link's target is a path: no longer than the system allows one.
constexpr uint64_t kMaxLinkTarget = PATH_MAX;
// The directory is read whole into memory; an honest package of a hundred
// thousand files needs a few MB of it.
constexpr uint64_t kMaxCentralDirectory = uint64_t{256} << 20;
// Above this many compressed bytes the check inflates on two threads.
constexpr uint64_t kInflateOnTwoThreads = uint64_t{8} << 20;

uint16_t le16(std::string_view b, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
uint32_t le32(std::string_view b, size_t at) { return le16(b, at) | static_cast<uint32_t>(le16(b, at + 2)) << 16; }
uint64_t le64(std::string_view b, size_t at) { return le32(b, at) | static_cast<uint64_t>(le32(b, at + 4)) << 32; }

class ArchiveFile {
public:
    explicit ArchiveFile(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) size = static_cast<uint64_t>(st.st_size);
    }
    ~ArchiveFile() {
        if (fd >= 0) ::close(fd);
    }
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    bool ok() const { return fd >= 0 && size > 0; }
    uint64_t length() const { return size; }
    // Exactly count bytes at offset, or nothing.
    std::optional<std::string> read(uint64_t offset, uint64_t count) const {
        if (offset > size || count > size - offset) return std::nullopt;
        std::string out(static_cast<size_t>(count), '\0');
        size_t done = 0;
        while (done < out.size()) {
            ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            done += static_cast<size_t>(n);
        }
        return out;
    }

private:
    int fd;
    uint64_t size = 0;
};

struct Entry {
    std::string name;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t localOffset = 0;
    uint32_t mode = 0;  // Unix mode, from the upper half of the external attributes
    bool nameAsStored = true;  // no extra field gives the name in another form
};

struct Directory {
    uint64_t offset = 0;  // where the central directory starts: every entry's data lies before it
    uint64_t size = 0;
    uint64_t count = 0;
};

// The end records: where the central directory is and how many entries it holds.
std::optional<Directory> findDirectory(const ArchiveFile& file) {
    if (file.length() < kEndSize) return std::nullopt;
    uint64_t tailSize = std::min<uint64_t>(file.length(), kEndSize + kMaxComment);
    auto tail = file.read(file.length() - tailSize, tailSize);
    if (!tail) return std::nullopt;
    // The last end record whose comment reaches exactly to the end of the file.
    size_t at = tail->size() - kEndSize + 1;
    std::optional<size_t> end;
    while (at-- > 0) {
        if (le32(*tail, at) == kEndSignature && at + kEndSize + le16(*tail, at + 20) == tail->size()) {
            end = at;
            break;
        }
    }
    if (!end) return std::nullopt;
    const uint64_t endOffset = file.length() - tailSize + *end;
    std::string_view record(tail->data() + *end, kEndSize);
    if (le16(record, 4) != 0 || le16(record, 6) != 0) return std::nullopt;  // split archives
    Directory d{le32(record, 16), le32(record, 12), le16(record, 10)};
    if (le16(record, 8) != le16(record, 10)) return std::nullopt;
    uint64_t directoryEnd = endOffset;

    bool saturated = d.offset == kSaturated32 || d.size == kSaturated32 || d.count == kSaturated16;
    auto locator = endOffset >= kZip64LocatorSize ? file.read(endOffset - kZip64LocatorSize, kZip64LocatorSize)
                                                   : std::nullopt;
    if (locator && le32(*locator, 0) == kZip64LocatorSignature) {
        if (le32(*locator, 4) != 0 || le32(*locator, 16) > 1) return std::nullopt;
        uint64_t zip64Offset = le64(*locator, 8);
        if (zip64Offset > endOffset - kZip64LocatorSize) return std::nullopt;
        auto zip64 = file.read(zip64Offset, kZip64EndSize);
        if (!zip64 || le32(*zip64, 0) != kZip64EndSignature) return std::nullopt;
        if (le32(*zip64, 16) != 0 || le32(*zip64, 20) != 0 || le64(*zip64, 24) != le64(*zip64, 32)) return std::nullopt;
        d = Directory{le64(*zip64, 48), le64(*zip64, 40), le64(*zip64, 32)};
        directoryEnd = zip64Offset;
    } else if (saturated) {
        return std::nullopt;
    }
    // The directory ends where the end records begin. Data in front of the
    // archive (which the unpacking tool would quietly skip) is refused.
    if (d.size > directoryEnd || d.offset != directoryEnd - d.size) return std::nullopt;
    if (d.size > kMaxCentralDirectory) return std::nullopt;
    return d;
}

bool hasExtra(std::string_view extra, uint16_t wanted) {
    for (size_t at = 0; at + 4 <= extra.size();) {
        uint16_t id = le16(extra, at), length = le16(extra, at + 2);
        if (id == wanted) return true;
        if (length > extra.size() - at - 4) return false;
        at += 4 + length;
    }
    return false;
}

// The ZIP64 extra field holds, in this order, each of the three 64-bit
// values whose 32-bit field is saturated.
bool applyZip64Extra(std::string_view extra, Entry& e, bool bigSize, bool bigCompressed, bool bigOffset) {
    size_t at = 0;
    while (at + 4 <= extra.size()) {
        uint16_t id = le16(extra, at), length = le16(extra, at + 2);
        if (length > extra.size() - at - 4) return false;
        std::string_view body = extra.substr(at + 4, length);
        if (id == kZip64ExtraId) {
            size_t p = 0;
            for (auto [wanted, field] : {std::pair{bigSize, &e.size}, std::pair{bigCompressed, &e.compressedSize},
                                         std::pair{bigOffset, &e.localOffset}}) {
                if (!wanted) continue;
                if (p + 8 > body.size()) return false;
                *field = le64(body, p);
                p += 8;
            }
            return true;
        }
        at += 4 + length;
    }
    return !(bigSize || bigCompressed || bigOffset);
}

std::optional<std::vector<Entry>> readEntries(const ArchiveFile& file, const Directory& d) {
    auto bytes = file.read(d.offset, d.size);
    if (!bytes) return std::nullopt;
    std::string_view cd(*bytes);
    // Each entry takes at least a header: a count beyond that is a lie.
    if (d.count > cd.size() / kCentralHeaderSize) return std::nullopt;
    std::vector<Entry> entries;
    entries.reserve(static_cast<size_t>(d.count));
    size_t at = 0;
    for (uint64_t i = 0; i < d.count; ++i) {
        if (cd.size() - at < kCentralHeaderSize || le32(cd, at) != kCentralHeaderSignature) return std::nullopt;
        size_t nameLength = le16(cd, at + 28), extraLength = le16(cd, at + 30), commentLength = le16(cd, at + 32);
        if (cd.size() - at - kCentralHeaderSize < nameLength + extraLength + commentLength) return std::nullopt;
        if (le16(cd, at + 34) != 0) return std::nullopt;  // on another disk
        Entry e;
        e.flags = le16(cd, at + 8);
        e.method = le16(cd, at + 10);
        e.compressedSize = le32(cd, at + 20);
        e.size = le32(cd, at + 24);
        e.mode = le32(cd, at + 38) >> 16;
        e.localOffset = le32(cd, at + 42);
        e.name = std::string(cd.substr(at + kCentralHeaderSize, nameLength));
        std::string_view extra = cd.substr(at + kCentralHeaderSize + nameLength, extraLength);
        if (!applyZip64Extra(extra, e, e.size == kSaturated32, e.compressedSize == kSaturated32,
                             e.localOffset == kSaturated32))
            return std::nullopt;
        e.nameAsStored = !hasExtra(extra, kUnicodePathExtraId);
        entries.push_back(std::move(e));
        at += kCentralHeaderSize + nameLength + extraLength + commentLength;
    }
    return entries;
}

// Where an entry's data starts, from its local header, which must name the
// same entry (the unpacking tool trusts one, we must check what it writes).
std::optional<uint64_t> dataOffset(const ArchiveFile& file, const Directory& d, const Entry& e) {
    if (e.localOffset > d.offset || d.offset - e.localOffset < kLocalHeaderSize) return std::nullopt;
    auto header = file.read(e.localOffset, kLocalHeaderSize);
    if (!header || le32(*header, 0) != kLocalHeaderSignature) return std::nullopt;
    uint64_t nameLength = le16(*header, 26), extraLength = le16(*header, 28);
    uint64_t data = e.localOffset + kLocalHeaderSize + nameLength + extraLength;
    if (data > d.offset || e.compressedSize > d.offset - data) return std::nullopt;
    auto name = file.read(e.localOffset + kLocalHeaderSize, nameLength);
    if (!name || *name != e.name) return std::nullopt;
    return data;
}

enum class Inflated { Fits, TooLong, Broken };

// Inflates an entry's data, keeping at most keep bytes of it in *kept;
// TooLong as soon as it passes limit bytes.
Inflated inflateEntry(const ArchiveFile& file, uint64_t data, const Entry& e, uint64_t limit, std::string* kept) {
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
        int rc = inflate(&z, Z_NO_FLUSH);
        size_t got = out.size() - z.avail_out;
        produced += got;
        if (produced > limit) {
            result = Inflated::TooLong;
            break;
        }
        if (kept) kept->append(reinterpret_cast<const char*>(out.data()), got);
        if (rc == Z_STREAM_END) {
            result = Inflated::Fits;
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
std::optional<QFArchiveRefusal> checkEntryData(const ArchiveFile& file, const Directory& directory, const Entry& e) {
    auto data = dataOffset(file, directory, e);
    if (!data) return QFArchiveRefusal::Unreadable;
    if (e.flags & kFlagEncrypted) return QFArchiveRefusal::Unsupported;
    if (e.method != kMethodStored && e.method != kMethodDeflated) return QFArchiveRefusal::Unsupported;
    const bool link = S_ISLNK(e.mode);
    if (link && e.size > kMaxLinkTarget) return QFArchiveRefusal::LinkOutside;
    std::string target;
    if (e.method == kMethodDeflated) {
        switch (inflateEntry(file, *data, e, e.size, link ? &target : nullptr)) {
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
std::optional<QFArchiveRefusal> checkEntriesData(const ArchiveFile& file, const Directory& directory,
                                                 const std::vector<Entry>& entries) {
    uint64_t toInflate = 0;
    for (const Entry& e : entries)
        if (e.method == kMethodDeflated) toInflate += std::min<uint64_t>(e.compressedSize, UINT64_MAX - toInflate);
    // Entries [from, to): the first refused one's reason.
    auto checkRange = [&](size_t from, size_t to) -> std::optional<QFArchiveRefusal> {
        for (size_t i = from; i < to; ++i)
            if (auto refusal = checkEntryData(file, directory, entries[i])) return refusal;
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
    if (auto refusal = checkEntriesData(file, *directory, *entries)) return refusal;
    if (listed) {
        listed->clear();
        listed->reserve(entries->size());
        for (const Entry& e : *entries) listed->push_back({e.name, e.size, e.mode, e.nameAsStored});
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

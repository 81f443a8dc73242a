#include "system/QFZipDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace qfzip {

namespace {
// The directory is read whole into memory; an honest package of a hundred
// thousand files needs a few MB of it.
constexpr uint64_t kMaxCentralDirectory = uint64_t{256} << 20;
}  // namespace

ArchiveFile::ArchiveFile(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) size = static_cast<uint64_t>(st.st_size);
}

ArchiveFile::~ArchiveFile() {
    if (fd >= 0) ::close(fd);
}

std::optional<std::string> ArchiveFile::read(uint64_t offset, uint64_t count) const {
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

uint16_t le16(std::string_view b, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
uint32_t le32(std::string_view b, size_t at) { return le16(b, at) | static_cast<uint32_t>(le16(b, at + 2)) << 16; }
uint64_t le64(std::string_view b, size_t at) { return le32(b, at) | static_cast<uint64_t>(le32(b, at + 4)) << 32; }

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

namespace {

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

}  // namespace

std::optional<std::vector<Entry>> readEntries(const ArchiveFile& file, const Directory& d, std::string* directoryBytes) {
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
        e.madeBy = static_cast<uint8_t>(cd[at + 5]);
        e.localOffset = le32(cd, at + 42);
        e.name = std::string(cd.substr(at + kCentralHeaderSize, nameLength));
        std::string_view extra = cd.substr(at + kCentralHeaderSize + nameLength, extraLength);
        e.zip64 = e.size == kSaturated32 || e.compressedSize == kSaturated32 || e.localOffset == kSaturated32;
        if (!applyZip64Extra(extra, e, e.size == kSaturated32, e.compressedSize == kSaturated32,
                             e.localOffset == kSaturated32))
            return std::nullopt;
        e.nameAsStored = !hasExtra(extra, kUnicodePathExtraId);
        e.centralAt = at;
        e.centralSize = kCentralHeaderSize + nameLength + extraLength + commentLength;
        entries.push_back(std::move(e));
        at += kCentralHeaderSize + nameLength + extraLength + commentLength;
    }
    if (directoryBytes) *directoryBytes = std::move(*bytes);
    return entries;
}

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


}  // namespace qfzip

#pragma once
// Reading a zip archive's directory: the end records (ZIP64 included), the
// central directory's entries, and where each entry's data starts. Every
// offset and length read from the file is checked before use. Used by the
// archive check before unpacking and by packing, which copies entries of
// one archive into another as they lie.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qfzip {

inline constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
inline constexpr uint32_t kEndSignature = 0x06054b50;
inline constexpr uint32_t kZip64EndSignature = 0x06064b50;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
inline constexpr uint16_t kZip64ExtraId = 0x0001;
inline constexpr uint16_t kUnicodePathExtraId = 0x7075;  // Info-ZIP's Unicode Path: the name again, in UTF-8
inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kEndSize = 22;
inline constexpr size_t kZip64EndSize = 56;
inline constexpr size_t kZip64LocatorSize = 20;
inline constexpr size_t kMaxComment = 0xFFFF;
inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflated = 8;
inline constexpr uint32_t kSaturated32 = 0xFFFFFFFF;
inline constexpr uint16_t kSaturated16 = 0xFFFF;
inline constexpr uint32_t kDescriptorSignature = 0x08074b50;
inline constexpr uint16_t kFlagDescriptor = 0x0008;  // sizes and CRC follow the data
inline constexpr uint16_t kFlagUtf8 = 0x0800;        // the name is UTF-8
inline constexpr uint8_t kMadeOnUnix = 3;            // host of "version made by"

uint16_t le16(std::string_view b, size_t at);
uint32_t le32(std::string_view b, size_t at);
uint64_t le64(std::string_view b, size_t at);

class ArchiveFile {
public:
    explicit ArchiveFile(const std::string& path);
    ~ArchiveFile();
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    bool ok() const { return fd >= 0 && size > 0; }
    uint64_t length() const { return size; }
    int descriptor() const { return fd; }
    // Exactly count bytes at offset, or nothing.
    std::optional<std::string> read(uint64_t offset, uint64_t count) const;

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
    uint8_t madeBy = 0;  // the host that wrote the entry (kMadeOnUnix for Unix modes)
    bool nameAsStored = true;  // no extra field gives the name in another form
    bool zip64 = false;        // a size or the offset came from the ZIP64 extra field
    // The entry's central header within the directory's bytes.
    size_t centralAt = 0, centralSize = 0;
};

struct Directory {
    uint64_t offset = 0;  // where the central directory starts: every entry's data lies before it
    uint64_t size = 0;
    uint64_t count = 0;
};

// The end records: where the central directory is and how many entries it holds.
std::optional<Directory> findDirectory(const ArchiveFile& file);
// The entries in directory order; *bytes, when given, receives the
// directory's bytes, which centralAt and centralSize index.
std::optional<std::vector<Entry>> readEntries(const ArchiveFile& file, const Directory& d, std::string* bytes = nullptr);
// Where an entry's data starts, from its local header, which must name the
// same entry (the unpacking tool trusts one, we must check what it writes).
std::optional<uint64_t> dataOffset(const ArchiveFile& file, const Directory& d, const Entry& e);

}  // namespace qfzip

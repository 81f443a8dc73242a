#pragma once
// The CodeDirectory: identifier, team, flags, the hashes of the special slots
// (files and blobs bound to the code) and of every page of the code.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>


#include "codesign/Hashing.h"
#include "platform/result.h"

namespace codesign {

constexpr uint32_t CSMAGIC_CODEDIRECTORY = 0xfade0c02;
constexpr uint32_t CS_SUPPORTSEXECSEG = 0x20400;     // the version written
constexpr uint32_t CS_SUPPORTSSCATTER = 0x20100;
constexpr uint32_t CS_SUPPORTSTEAMID = 0x20200;
constexpr uint32_t kEarliestCodeDirectoryVersion = 0x20001;
constexpr uint32_t kCompatibilityLimitVersion = 0x2f000;  // newest version a reader accepts
constexpr uint32_t kCodeDirectoryHeaderSize = 88;       // fixed part of a 0x20400 CodeDirectory
constexpr uint32_t kMinimumCodeDirectorySize = 44;      // fixed part of the oldest version
constexpr unsigned kPageSizeLog2 = 12;                   // 4096-byte pages
constexpr unsigned kMaxPageSizeLog2 = 16;                // a reader refuses larger pages
constexpr size_t kCdHashLength = 20;                     // CS_CDHASH_LEN

// CodeDirectory flags.
constexpr uint32_t CS_ADHOC = 0x2;
constexpr uint32_t CS_LINKER_SIGNED = 0x20000;

// execSegFlags.
constexpr uint64_t CS_EXECSEG_MAIN_BINARY = 0x1;
constexpr uint64_t CS_EXECSEG_ALLOW_UNSIGNED = 0x10;
constexpr uint64_t CS_EXECSEG_DEBUGGER = 0x20;
constexpr uint64_t CS_EXECSEG_JIT = 0x40;
constexpr uint64_t CS_EXECSEG_SKIP_LV = 0x80;
constexpr uint64_t CS_EXECSEG_CAN_LOAD_CDHASH = 0x100;
constexpr uint64_t CS_EXECSEG_CAN_EXEC_CDHASH = 0x200;

// Special slots, numbered as positive values of the negative slot index.
// NOTE: keep in step with tests/codesign/independent_verify.py (the "sealed"
// table of its check), which numbers the slots again to stay independent.
constexpr unsigned cdInfoSlot = 1;
constexpr unsigned cdRequirementsSlot = 2;
constexpr unsigned cdResourceDirSlot = 3;
constexpr unsigned cdTopDirectorySlot = 4;
constexpr unsigned cdEntitlementSlot = 5;
constexpr unsigned cdRepSpecificSlot = 6;
constexpr unsigned cdEntitlementDERSlot = 7;
constexpr unsigned kMaxSpecialSlot = 7;

uint32_t codeSlotCount(uint64_t codeLimit, unsigned pageSizeLog2 = kPageSizeLog2);

struct CodeDirectoryInputs {
    HashType hashType = HashType::SHA256;
    uint32_t flags = 0;
    std::string identifier;
    std::string teamId;  // "" for none
    // Digest of each special slot (index 0 = slot 1); "" means absent. The
    // count is the highest slot filled.
    std::vector<std::string> specialSlots;
    std::string codeHashes;  // page digests, concatenated
    uint64_t codeLimit = 0;
    uint64_t execSegBase = 0;
    uint64_t execSegLimit = 0;
    uint64_t execSegFlags = 0;
};

// Offsets of the variable part, in the order it is written: identifier,
// team, special slots (highest first), code slots.
struct CodeDirectoryLayout {
    uint32_t identOffset = 0;
    uint32_t teamOffset = 0;
    uint32_t hashOffset = 0;
    uint32_t nSpecialSlots = 0;
    uint32_t nCodeSlots = 0;
    uint32_t length = 0;
};
CodeDirectoryLayout layoutCodeDirectory(size_t identifierLength, size_t teamLength, size_t hashBytes,
                                        uint32_t nSpecialSlots, uint32_t nCodeSlots);
std::string buildCodeDirectory(const CodeDirectoryInputs& inputs);

// A CodeDirectory read back, every offset checked against the blob.
struct CodeDirectory {
    std::string_view blob;
    uint32_t version = 0;
    uint32_t flags = 0;
    uint32_t hashOffset = 0;
    uint32_t nSpecialSlots = 0;
    uint32_t nCodeSlots = 0;
    uint64_t codeLimit = 0;
    uint8_t hashSize = 0;
    uint8_t rawHashType = 0;
    uint8_t platform = 0;
    uint8_t pageSizeLog2 = 0;
    std::string identifier;
    std::optional<std::string> teamId;
    uint64_t execSegBase = 0;
    uint64_t execSegLimit = 0;
    uint64_t execSegFlags = 0;

    bool knownHashType() const { return rawHashType == 1 || rawHashType == 2; }
    HashType hashType() const { return rawHashType == 1 ? HashType::SHA1 : HashType::SHA256; }
    std::string_view specialSlot(unsigned slot) const;  // empty view beyond nSpecialSlots
    std::string_view codeSlot(uint32_t index) const;
};
platform::Result<CodeDirectory> parseCodeDirectory(std::string_view blob);

// The hash of the whole CodeDirectory with its own algorithm; the cdhash
// proper is its first 20 bytes.
std::string fullCdHash(HashType type, std::string_view codeDirectory);
std::string cdHash(HashType type, std::string_view codeDirectory);

bool isZeroHash(std::string_view hash);

}  // namespace codesign

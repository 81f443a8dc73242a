#include "codesign/CodeDirectory.h"

#include <algorithm>

#include "codesign/Bytes.h"

namespace codesign {

uint32_t codeSlotCount(uint64_t codeLimit, unsigned pageSizeLog2) {
    if (codeLimit == 0) return 0;
    if (pageSizeLog2 == 0) return 1;
    return uint32_t((codeLimit - 1) >> pageSizeLog2) + 1;
}

CodeDirectoryLayout layoutCodeDirectory(size_t identifierLength, size_t teamLength, size_t hashBytes,
                                        uint32_t nSpecialSlots, uint32_t nCodeSlots) {
    CodeDirectoryLayout layout;
    layout.nSpecialSlots = nSpecialSlots;
    layout.nCodeSlots = nCodeSlots;
    layout.identOffset = kCodeDirectoryHeaderSize;
    uint32_t at = layout.identOffset + uint32_t(identifierLength) + 1;
    if (teamLength > 0) {
        layout.teamOffset = at;
        at += uint32_t(teamLength) + 1;
    }
    layout.hashOffset = at + nSpecialSlots * uint32_t(hashBytes);
    layout.length = layout.hashOffset + nCodeSlots * uint32_t(hashBytes);
    return layout;
}

std::string buildCodeDirectory(const CodeDirectoryInputs& in) {
    const size_t hashBytes = hashSize(in.hashType);
    const uint32_t nCode = codeSlotCount(in.codeLimit);
    const auto layout = layoutCodeDirectory(in.identifier.size(), in.teamId.size(), hashBytes,
                                            uint32_t(in.specialSlots.size()), nCode);
    std::string out;
    out.reserve(layout.length);
    using bytes::appendBe32;
    using bytes::appendBe64;
    appendBe32(out, CSMAGIC_CODEDIRECTORY);
    appendBe32(out, layout.length);
    appendBe32(out, CS_SUPPORTSEXECSEG);
    appendBe32(out, in.flags);
    appendBe32(out, layout.hashOffset);
    appendBe32(out, layout.identOffset);
    appendBe32(out, layout.nSpecialSlots);
    appendBe32(out, layout.nCodeSlots);
    appendBe32(out, uint32_t(in.codeLimit));
    out.push_back(char(hashBytes));
    out.push_back(char(in.hashType));
    out.push_back(0);  // platform
    out.push_back(char(kPageSizeLog2));
    appendBe32(out, 0);  // spare2
    appendBe32(out, 0);  // scatterOffset
    appendBe32(out, layout.teamOffset);
    appendBe32(out, 0);  // spare3
    appendBe64(out, 0);  // codeLimit64
    appendBe64(out, in.execSegBase);
    appendBe64(out, in.execSegLimit);
    appendBe64(out, in.execSegFlags);
    out += in.identifier;
    out.push_back('\0');
    if (!in.teamId.empty()) {
        out += in.teamId;
        out.push_back('\0');
    }
    // Special slot n lies n hashes before hashOffset: the highest slot first.
    // NOTE: keep in step with CodeDirectory::specialSlot below.
    for (size_t slot = in.specialSlots.size(); slot >= 1; --slot) {
        const std::string& h = in.specialSlots[slot - 1];
        if (h.size() == hashBytes)
            out += h;
        else
            out.append(hashBytes, '\0');
    }
    out += in.codeHashes.substr(0, size_t(nCode) * hashBytes);
    out.resize(layout.length, '\0');
    return out;
}

namespace {
platform::Error malformed(const char* text) { return platform::Error(platform::ErrorKind::Malformed, text); }

std::optional<std::string> cString(std::string_view blob, uint32_t offset) {
    if (offset >= blob.size()) return std::nullopt;
    size_t end = blob.find('\0', offset);
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(blob.substr(offset, end - offset));
}
}  // namespace

platform::Result<CodeDirectory> parseCodeDirectory(std::string_view blob) {
    using bytes::be32;
    using bytes::be64;
    CodeDirectory cd;
    if (blob.size() < kMinimumCodeDirectorySize || *be32(blob, 0) != CSMAGIC_CODEDIRECTORY) {
        return malformed("not a CodeDirectory");
    }
    uint32_t length = *be32(blob, 4);
    if (length < kMinimumCodeDirectorySize || length > blob.size()) {
        return malformed("CodeDirectory length out of bounds");
    }
    blob = blob.substr(0, length);
    cd.blob = blob;
    cd.version = *be32(blob, 8);
    cd.flags = *be32(blob, 12);
    cd.hashOffset = *be32(blob, 16);
    uint32_t identOffset = *be32(blob, 20);
    cd.nSpecialSlots = *be32(blob, 24);
    cd.nCodeSlots = *be32(blob, 28);
    cd.codeLimit = *be32(blob, 32);
    cd.hashSize = uint8_t(blob[36]);
    cd.rawHashType = uint8_t(blob[37]);
    cd.platform = uint8_t(blob[38]);
    cd.pageSizeLog2 = uint8_t(blob[39]);
    if (cd.version < kEarliestCodeDirectoryVersion || cd.version > kCompatibilityLimitVersion) {
        return malformed("unsupported CodeDirectory version");
    }
    if (cd.knownHashType() && cd.hashSize != hashSize(cd.hashType())) {
        return malformed("hash size does not match the hash type");
    }
    if (cd.hashSize == 0) {
        return malformed("zero hash size");
    }
    if (cd.pageSizeLog2 > kMaxPageSizeLog2) {
        return malformed("page size out of range");
    }
    auto ident = cString(blob, identOffset);
    if (!ident) {
        return malformed("identifier outside the CodeDirectory");
    }
    cd.identifier = *ident;
    if (cd.version >= CS_SUPPORTSTEAMID && blob.size() >= 52) {
        uint32_t teamOffset = *be32(blob, 48);
        if (teamOffset != 0) {
            auto team = cString(blob, teamOffset);
            if (!team) {
                return malformed("team identifier outside the CodeDirectory");
            }
            cd.teamId = *team;
        }
    }
    if (cd.version >= 0x20300 && blob.size() >= 64) {
        uint64_t limit64 = *be64(blob, 56);
        if (limit64 != 0) cd.codeLimit = limit64;
    }
    if (cd.version >= CS_SUPPORTSEXECSEG && blob.size() >= kCodeDirectoryHeaderSize) {
        cd.execSegBase = *be64(blob, 64);
        cd.execSegLimit = *be64(blob, 72);
        cd.execSegFlags = *be64(blob, 80);
    }
    const uint64_t specials = uint64_t(cd.nSpecialSlots) * cd.hashSize;
    const uint64_t codes = uint64_t(cd.nCodeSlots) * cd.hashSize;
    if (cd.hashOffset > blob.size() || specials > cd.hashOffset || codes > blob.size() - cd.hashOffset) {
        return malformed("hash slots outside the CodeDirectory");
    }
    if (cd.nCodeSlots != codeSlotCount(cd.codeLimit, cd.pageSizeLog2)) {
        return malformed("code slot count does not match the code limit");
    }
    return cd;
}

// NOTE: keep in step with the special-slot loop of buildCodeDirectory and with
// special() in tests/codesign/independent_verify.py.
std::string_view CodeDirectory::specialSlot(unsigned slot) const {
    if (slot == 0 || slot > nSpecialSlots) return {};
    return blob.substr(hashOffset - size_t(slot) * hashSize, hashSize);
}

std::string_view CodeDirectory::codeSlot(uint32_t index) const {
    if (index >= nCodeSlots) return {};
    return blob.substr(hashOffset + size_t(index) * hashSize, hashSize);
}

std::string fullCdHash(HashType type, std::string_view codeDirectory) { return digest(type, codeDirectory); }

std::string cdHash(HashType type, std::string_view codeDirectory) {
    return fullCdHash(type, codeDirectory).substr(0, kCdHashLength);
}

bool isZeroHash(std::string_view hash) {
    return std::all_of(hash.begin(), hash.end(), [](char c) { return c == 0; });
}

}  // namespace codesign

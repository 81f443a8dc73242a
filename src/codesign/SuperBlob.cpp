#include "codesign/SuperBlob.h"

#include "codesign/Bytes.h"

namespace codesign {

uint32_t superBlobSize(const std::map<uint32_t, size_t>& blobSizes) {
    uint64_t size = kSuperBlobHeaderSize + uint64_t(kSuperBlobIndexEntrySize) * blobSizes.size();
    for (const auto& [slot, length] : blobSizes) size += length;
    return uint32_t(size);
}

std::string buildSuperBlob(const BlobMap& blobs) {
    std::map<uint32_t, size_t> sizes;
    for (const auto& [slot, blob] : blobs) sizes[slot] = blob.size();
    const uint32_t total = superBlobSize(sizes);
    std::string out;
    out.reserve(total);
    bytes::appendBe32(out, CSMAGIC_EMBEDDED_SIGNATURE);
    bytes::appendBe32(out, total);
    bytes::appendBe32(out, uint32_t(blobs.size()));
    uint32_t offset = kSuperBlobHeaderSize + kSuperBlobIndexEntrySize * uint32_t(blobs.size());
    for (const auto& [slot, blob] : blobs) {
        bytes::appendBe32(out, slot);
        bytes::appendBe32(out, offset);
        offset += uint32_t(blob.size());
    }
    for (const auto& [slot, blob] : blobs) out += blob;
    return out;
}

platform::Result<std::map<uint32_t, std::string_view>> parseSuperBlob(std::string_view data) {
    auto fail = [](const char* text) { return platform::Error(platform::ErrorKind::Malformed, text); };
    auto magic = bytes::be32(data, 0);
    auto length = bytes::be32(data, 4);
    auto count = bytes::be32(data, 8);
    if (!magic || !length || !count) return fail("signature too small");
    if (*magic != CSMAGIC_EMBEDDED_SIGNATURE) return fail("not an embedded signature");
    if (*length < kSuperBlobHeaderSize || *length > data.size()) return fail("signature length out of bounds");
    data = data.substr(0, *length);
    if (uint64_t(*count) * kSuperBlobIndexEntrySize > data.size() - kSuperBlobHeaderSize)
        return fail("signature index out of bounds");
    std::map<uint32_t, std::string_view> out;
    for (uint32_t i = 0; i < *count; ++i) {
        uint32_t type = *bytes::be32(data, kSuperBlobHeaderSize + kSuperBlobIndexEntrySize * i);
        uint32_t offset = *bytes::be32(data, kSuperBlobHeaderSize + kSuperBlobIndexEntrySize * i + 4);
        auto blobLength = bytes::be32(data, uint64_t(offset) + 4);
        if (!blobLength || *blobLength < 8 || *blobLength > data.size() - offset)
            return fail("signature blob out of bounds");
        if (out.count(type)) return fail("duplicate signature slot");
        out[type] = data.substr(offset, *blobLength);
    }
    return out;
}

}  // namespace codesign

#include "codesign/EmbeddedSignature.h"

#include "codesign/SuperBlob.h"

namespace codesign {

const CodeDirectory& EmbeddedSignature::best() const {
    const CodeDirectory* best = &primary();
    for (const auto& [slot, cd] : codeDirectories)
        if (cd.knownHashType() && (!best->knownHashType() || hashRank(cd.hashType()) > hashRank(best->hashType())))
            best = &cd;
    return *best;
}

std::optional<std::string_view> EmbeddedSignature::blob(uint32_t slot) const {
    auto it = blobs.find(slot);
    if (it == blobs.end()) return std::nullopt;
    return it->second;
}

platform::Result<SignatureState> readEmbeddedSignature(const InputFile& input, const macho::Slice& slice,
                                                       EmbeddedSignature& out) {
    using platform::Error;
    using platform::ErrorKind;
    if (!slice.hasSignature() || slice.signatureSize == 0) return SignatureState::Unsigned;
    auto data = input.read(slice.offset + slice.signatureOffset, slice.signatureSize);
    if (!data) return Error(ErrorKind::Malformed, "signature extends past end of file");
    out.data = std::move(*data);
    auto blobs = parseSuperBlob(out.data);
    if (!blobs) return blobs.error();
    out.blobs = std::move(*blobs);
    auto primary = out.blobs.find(CSSLOT_CODEDIRECTORY);
    if (primary == out.blobs.end()) return SignatureState::Unsigned;
    std::vector<uint32_t> slots{CSSLOT_CODEDIRECTORY};
    for (uint32_t i = 0; i < CSSLOT_ALTERNATE_CODEDIRECTORY_LIMIT; ++i) {
        if (!out.blobs.count(CSSLOT_ALTERNATE_CODEDIRECTORIES + i)) break;
        slots.push_back(CSSLOT_ALTERNATE_CODEDIRECTORIES + i);
    }
    for (uint32_t slot : slots) {
        auto cd = parseCodeDirectory(out.blobs[slot]);
        if (!cd) return cd.error();
        for (const auto& [otherSlot, other] : out.codeDirectories) {
            if (other.rawHashType == cd->rawHashType)
                return Error(ErrorKind::Malformed, "two CodeDirectories of the same hash type");
        }
        out.codeDirectories.emplace_back(slot, std::move(*cd));
    }
    return SignatureState::Present;
}

}  // namespace codesign

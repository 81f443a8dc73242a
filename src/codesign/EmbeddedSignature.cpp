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

SignatureState readEmbeddedSignature(const InputFile& input, const macho::Slice& slice, EmbeddedSignature& out,
                                     std::string* error) {
    if (!slice.hasSignature() || slice.signatureSize == 0) return SignatureState::Unsigned;
    auto data = input.read(slice.offset + slice.signatureOffset, slice.signatureSize);
    if (!data) {
        if (error) *error = "signature extends past end of file";
        return SignatureState::Malformed;
    }
    out.data = std::move(*data);
    auto blobs = parseSuperBlob(out.data, error);
    if (!blobs) return SignatureState::Malformed;
    out.blobs = std::move(*blobs);
    auto primary = out.blobs.find(CSSLOT_CODEDIRECTORY);
    if (primary == out.blobs.end()) return SignatureState::Unsigned;
    std::vector<uint32_t> slots{CSSLOT_CODEDIRECTORY};
    for (uint32_t i = 0; i < CSSLOT_ALTERNATE_CODEDIRECTORY_LIMIT; ++i) {
        if (!out.blobs.count(CSSLOT_ALTERNATE_CODEDIRECTORIES + i)) break;
        slots.push_back(CSSLOT_ALTERNATE_CODEDIRECTORIES + i);
    }
    for (uint32_t slot : slots) {
        auto cd = parseCodeDirectory(out.blobs[slot], error);
        if (!cd) return SignatureState::Malformed;
        for (const auto& [otherSlot, other] : out.codeDirectories) {
            if (other.rawHashType == cd->rawHashType) {
                if (error) *error = "two CodeDirectories of the same hash type";
                return SignatureState::Malformed;
            }
        }
        out.codeDirectories.emplace_back(slot, *cd);
    }
    return SignatureState::Present;
}

}  // namespace codesign

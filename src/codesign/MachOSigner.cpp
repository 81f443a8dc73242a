#include "codesign/MachOSigner.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "codesign/Bytes.h"
#include "codesign/CodeDirectory.h"
#include "codesign/DerEntitlements.h"
#include "codesign/SuperBlob.h"

namespace codesign {

namespace {

constexpr size_t kStreamChunk = size_t(1) << 20;  // a multiple of the page size
// Read and written at a time: small enough to come from the heap again and
// again rather than from fresh pages of the system on every run.
constexpr size_t kBufferChunk = size_t(64) << 10;  // a multiple of the page size
constexpr uint64_t kParallelThreshold = uint64_t(16) << 20;  // NOTE: keep in step with kVerifyInRangesFrom of Verifier.cpp
constexpr size_t kMaxHashingThreads = 4;

constexpr uint32_t PLATFORM_IOSSIMULATOR = 7;
constexpr uint32_t PLATFORM_TVOSSIMULATOR = 8;
constexpr uint32_t PLATFORM_WATCHOSSIMULATOR = 9;

constexpr uint32_t version(uint32_t major, uint32_t minor, uint32_t patch = 0) {
    return major << 16 | minor << 8 | patch;
}

// Whether a slice's deployment target predates SHA-256 CodeDirectories.
bool needsSha1(const macho::Slice& slice) {
    switch (slice.platform) {
        case macho::PLATFORM_IOS:
        case macho::PLATFORM_TVOS:
        case PLATFORM_IOSSIMULATOR:
        case PLATFORM_TVOSSIMULATOR: return slice.minOS < version(11, 0);
        case macho::PLATFORM_MACOS: return slice.minOS < version(10, 11, 4);
        case macho::PLATFORM_WATCHOS:
        case PLATFORM_WATCHOSSIMULATOR: return slice.minOS < version(12, 0);
        default: return false;
    }
}

bool boolEntitlement(const platform::plist::Dict& entitlements, const char* key) {
    auto it = entitlements.find(key);
    return it != entitlements.end() && it->second.asBool() && *it->second.asBool();
}

// What one slice's signature holds before it is signed: its blobs but the CMS.
struct SlicePlan {
    macho::SliceLayout layout;
    std::vector<CodeDirectoryInputs> codeDirectories;  // primary first
    BlobMap blobs;                                     // requirements, entitlements
};

SlicePlan planSlice(const PreparedBinary& binary, size_t index, const SigningContext& context,
                    const std::vector<HashType>& hashTypes, std::string_view header) {
    const macho::Slice& slice = binary.file.slices[index];
    const macho::SignaturePlacement& placement = binary.placements[index];
    const bool mainBinary = slice.filetype == macho::MH_EXECUTE;
    const bool carriesEntitlements = mainBinary && context.entitlementsXml && context.entitlementsDer;
    SlicePlan plan;

    plan.blobs[CSSLOT_REQUIREMENTS] = context.requirements;
    if (carriesEntitlements) {
        plan.blobs[CSSLOT_ENTITLEMENTS] = wrapBlob(CSMAGIC_EMBEDDED_ENTITLEMENTS, *context.entitlementsXml);
        plan.blobs[CSSLOT_DER_ENTITLEMENTS] = wrapBlob(CSMAGIC_EMBEDDED_DER_ENTITLEMENTS, *context.entitlementsDer);
    }

    uint64_t execSegFlags = 0;
    if (mainBinary) {
        execSegFlags |= CS_EXECSEG_MAIN_BINARY;
        if (carriesEntitlements) execSegFlags |= entitlementExecSegFlags(context.entitlements);
    }
    for (HashType type : hashTypes) {
        CodeDirectoryInputs cd;
        cd.hashType = type;
        cd.flags = context.identity ? 0 : CS_ADHOC;
        cd.identifier = context.identifier;
        cd.teamId = context.identity ? context.teamId : "";
        cd.codeLimit = placement.codeLimit;
        if (slice.platform != 0 && slice.text) {
            cd.execSegBase = slice.text->fileoff;
            cd.execSegLimit = slice.text->filesize;
            cd.execSegFlags = execSegFlags;
        }
        // Which bytes each special slot seals.
        // NOTE: keep in step with verifySlice in Verifier.cpp, which checks the same pairs.
        std::map<unsigned, std::string> slots;
        if (context.infoPlist) slots[cdInfoSlot] = digest(type, *context.infoPlist);
        slots[cdRequirementsSlot] = digest(type, plan.blobs[CSSLOT_REQUIREMENTS]);
        if (context.codeResources) slots[cdResourceDirSlot] = digest(type, *context.codeResources);
        if (carriesEntitlements) {
            slots[cdEntitlementSlot] = digest(type, plan.blobs[CSSLOT_ENTITLEMENTS]);
            slots[cdEntitlementDERSlot] = digest(type, plan.blobs[CSSLOT_DER_ENTITLEMENTS]);
        }
        cd.specialSlots.resize(slots.empty() ? 0 : slots.rbegin()->first);
        for (auto& [slot, hash] : slots) cd.specialSlots[slot - 1] = std::move(hash);
        plan.codeDirectories.push_back(std::move(cd));
    }

    // The reservation: every blob at its final size, the CMS at an estimate.
    std::map<uint32_t, size_t> sizes;
    for (const auto& [slot, blob] : plan.blobs) sizes[slot] = blob.size();
    for (size_t i = 0; i < plan.codeDirectories.size(); ++i) {
        const auto& cd = plan.codeDirectories[i];
        auto cdLayout = layoutCodeDirectory(cd.identifier.size(), cd.teamId.size(), hashSize(cd.hashType),
                                            uint32_t(cd.specialSlots.size()), codeSlotCount(cd.codeLimit));
        sizes[i == 0 ? CSSLOT_CODEDIRECTORY : CSSLOT_ALTERNATE_CODEDIRECTORIES + uint32_t(i - 1)] = cdLayout.length;
    }
    sizes[CSSLOT_SIGNATURESLOT] = 8 + (context.identity ? estimatedCmsSize(*context.identity) : 0);
    const uint32_t reservation = uint32_t(bytes::alignUp(superBlobSize(sizes), macho::kSignatureAlignment));
    plan.layout = macho::layoutSlice(slice, header, placement, reservation);
    return plan;
}

// Copies [begin, end) of the slice's code, as the new layout has it, to out
// and hashes its pages: one digest string per hash type. begin is a multiple
// of the page size.
bool copyAndHashRange(const InputFile& input, const macho::Slice& slice, const macho::SliceLayout& layout,
                      uint64_t outOffset, ReplacementFile& out, uint64_t begin, uint64_t end,
                      const std::vector<HashType>& hashTypes, std::vector<std::string>& hashes, const char*& error) {
    std::vector<PageHasher> hashers;
    hashers.reserve(hashTypes.size());
    for (HashType type : hashTypes) hashers.emplace_back(type, size_t(1) << kPageSizeLog2);
    // Small files need a small buffer: touching a large one costs more than
    // hashing. It is not zeroed first: every byte used is read or set below.
    const size_t bufferSize = size_t(std::min<uint64_t>(kBufferChunk, bytes::alignUp(end - begin, 4096)));
    std::unique_ptr<char[]> storage(new char[bufferSize]);
    char* const data = storage.get();
    for (uint64_t pos = begin; pos < end; pos += bufferSize) {
        const size_t n = size_t(std::min<uint64_t>(bufferSize, end - pos));
        const size_t available = pos < slice.size ? size_t(std::min<uint64_t>(n, slice.size - pos)) : 0;
        if (available > 0 && !input.readInto(slice.offset + pos, data, available)) {
            error = "cannot read the file";
            return false;
        }
        std::memset(data + available, 0, n - available);
        if (pos < layout.header.size()) {
            size_t overlay = std::min<size_t>(n, layout.header.size() - pos);
            std::memcpy(data, layout.header.data() + pos, overlay);
        }
        for (auto& hasher : hashers) hasher.update(data, n);
        if (!out.write(outOffset + pos, std::string_view(data, n))) {
            error = "cannot write the file";
            return false;
        }
    }
    for (auto& hasher : hashers) hashes.push_back(hasher.finish());
    return true;
}

// The whole code of a slice, copied and hashed. Pages hash independently,
// so a large slice is cut into ranges that run side by side; their digests
// are joined in order.
platform::Result<std::vector<std::string>> copyAndHashCode(const InputFile& input, const macho::Slice& slice,
                                                           const macho::SliceLayout& layout, uint64_t outOffset,
                                                           ReplacementFile& out,
                                                           const std::vector<HashType>& hashTypes) {
    const uint64_t limit = layout.codeLimit;
    size_t parts = 1;
    if (limit >= kParallelThreshold)
        parts = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMaxHashingThreads);
    const uint64_t step = bytes::alignUp((limit + parts - 1) / parts, kStreamChunk);
    std::vector<uint64_t> bounds{0};
    while (bounds.back() < limit) bounds.push_back(std::min(limit, bounds.back() + step));
    if (bounds.size() == 1) bounds.push_back(0);  // an empty code region: one empty range
    const size_t ranges = bounds.size() - 1;

    std::vector<std::vector<std::string>> hashes(ranges);
    std::vector<const char*> errors(ranges, nullptr);
    std::vector<char> ok(ranges, 0);
    auto work = [&](size_t r) {
        ok[r] = copyAndHashRange(input, slice, layout, outOffset, out, bounds[r], bounds[r + 1], hashTypes, hashes[r],
                                 errors[r]);
    };
    std::vector<std::thread> threads;
    for (size_t r = 1; r < ranges; ++r) threads.emplace_back(work, r);
    work(0);
    for (auto& t : threads) t.join();

    std::vector<std::string> joined(hashTypes.size());
    for (size_t r = 0; r < ranges; ++r) {
        if (!ok[r]) return platform::Error(platform::ErrorKind::Io, errors[r]);
        for (size_t k = 0; k < hashTypes.size(); ++k) joined[k] += hashes[r][k];
    }
    return joined;
}

}  // namespace

uint64_t entitlementExecSegFlags(const platform::plist::Dict& e) {
    uint64_t flags = 0;
    if (boolEntitlement(e, "get-task-allow") || boolEntitlement(e, "run-unsigned-code"))
        flags |= CS_EXECSEG_ALLOW_UNSIGNED;
    if (boolEntitlement(e, "com.apple.private.cs.debugger")) flags |= CS_EXECSEG_DEBUGGER;
    if (boolEntitlement(e, "dynamic-codesigning")) flags |= CS_EXECSEG_JIT;
    if (boolEntitlement(e, "com.apple.private.skip-library-validation")) flags |= CS_EXECSEG_SKIP_LV;
    if (boolEntitlement(e, "com.apple.private.amfi.can-load-cdhash")) flags |= CS_EXECSEG_CAN_LOAD_CDHASH;
    if (boolEntitlement(e, "com.apple.private.amfi.can-execute-cdhash")) flags |= CS_EXECSEG_CAN_EXEC_CDHASH;
    return flags;
}

std::vector<HashType> PreparedBinary::hashTypes() const {
    for (const auto& slice : file.slices)
        if (needsSha1(slice)) return {HashType::SHA1, HashType::SHA256};
    return {HashType::SHA256};
}

bool PreparedBinary::isMainExecutable() const {
    for (const auto& slice : file.slices)
        if (slice.filetype == macho::MH_EXECUTE) return true;
    return false;
}

platform::Result<PreparedBinary> prepareBinary(const std::string& path) {
    PreparedBinary binary;
    binary.path = path;
    if (!binary.input.open(path)) return platform::Error(platform::ErrorKind::Io, "cannot open the file");
    auto file = macho::parse(binary.input);
    if (!file) return file.error();
    binary.file = std::move(*file);
    for (const auto& slice : binary.file.slices) {
        auto placement = macho::placeSignature(slice);
        if (!placement) return platform::Error(placement.kind(), placement.text() + " (" + slice.archName() + ")");
        binary.placements.push_back(*placement);
        if (!slice.hasSignature()) continue;
        EmbeddedSignature existing;
        auto state = readEmbeddedSignature(binary.input, slice, existing);
        if (!state) {
            binary.existing = ExistingSignature::Invalid;
            continue;
        }
        switch (*state) {
            case SignatureState::Unsigned: break;
            case SignatureState::Present:
                if (existing.isLinkerSigned()) {
                    if (binary.existing == ExistingSignature::None) binary.existing = ExistingSignature::LinkerSigned;
                } else {
                    if (binary.existing != ExistingSignature::Invalid) binary.existing = ExistingSignature::Signed;
                    binary.existingIdentifier = existing.primary().identifier;
                }
                break;
        }
    }
    return binary;
}

platform::Result<> writeSignedBinary(const PreparedBinary& binary, const SigningContext& context,
                                     ReplacementFile& out) {
    auto fail = [](const char* text) { return platform::Error(text); };
    auto writeFailed = [] { return platform::Error(platform::ErrorKind::Io, "cannot write the file"); };
    const auto hashTypes = binary.hashTypes();
    const auto& slices = binary.file.slices;
    std::vector<SlicePlan> plans;
    std::vector<uint64_t> newSizes;
    for (size_t i = 0; i < slices.size(); ++i) {
        auto header = binary.input.read(slices[i].offset, slices[i].commandsEnd());
        if (!header) return platform::Error(platform::ErrorKind::Io, "cannot read the load commands");
        plans.push_back(planSlice(binary, i, context, hashTypes, *header));
        newSizes.push_back(plans.back().layout.newSize);
    }
    std::vector<uint64_t> offsets{0};
    uint64_t total = newSizes[0];
    if (binary.file.fat) {
        auto fat = macho::layoutFat(newSizes);
        offsets = fat.offsets;
        total = fat.size;
        if (total > 0xffffffffull) return fail("the fat file would grow past 4 GiB");
        if (!out.write(0, macho::fatHeader(slices, fat, newSizes))) return writeFailed();
    }
    if (!out.setSize(total)) return writeFailed();

    for (size_t i = 0; i < slices.size(); ++i) {
        SlicePlan& plan = plans[i];
        auto pageHashes = copyAndHashCode(binary.input, slices[i], plan.layout, offsets[i], out, hashTypes);
        if (!pageHashes) return pageHashes.error();

        BlobMap blobs = std::move(plan.blobs);
        std::vector<CodeDirectoryHash> cdHashes;
        for (size_t k = 0; k < hashTypes.size(); ++k) {
            plan.codeDirectories[k].codeHashes = std::move((*pageHashes)[k]);
            std::string cd = buildCodeDirectory(plan.codeDirectories[k]);
            cdHashes.push_back({hashTypes[k], fullCdHash(hashTypes[k], cd)});
            blobs[k == 0 ? CSSLOT_CODEDIRECTORY : CSSLOT_ALTERNATE_CODEDIRECTORIES + uint32_t(k - 1)] = std::move(cd);
        }
        std::string cms;
        if (context.identity) {
            if (!context.signer) return fail("no signer for the identity");
            auto signedData = context.signer->sign(blobs[CSSLOT_CODEDIRECTORY], cdHashes);
            if (!signedData) return signedData.error();
            cms = std::move(*signedData);
        }
        blobs[CSSLOT_SIGNATURESLOT] = wrapBlob(CSMAGIC_BLOBWRAPPER, cms);
        std::string signature = buildSuperBlob(blobs);
        if (signature.size() > plan.layout.reservation)
            return fail("the signature is larger than the space reserved for it");
        if (!out.write(offsets[i] + plan.layout.codeLimit, signature)) return writeFailed();
    }
    return {};
}

}  // namespace codesign

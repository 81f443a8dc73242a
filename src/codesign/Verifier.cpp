#include "codesign/Verifier.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>

#include "codesign/Bundle.h"
#include "codesign/Bytes.h"
#include "codesign/CmsSignature.h"
#include "codesign/CodeResources.h"
#include "codesign/DerEntitlements.h"
#include "codesign/EmbeddedSignature.h"
#include "codesign/MachO.h"
#include "codesign/NestedCode.h"
#include "codesign/Requirements.h"
#include "codesign/SuperBlob.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace codesign {

namespace {

// The messages of a failed verification, as users of the tool know them.
constexpr const char* kNotSigned = "code object is not signed at all";
constexpr const char* kInvalidSignature = "invalid signature (code or signature have been modified)";
constexpr const char* kInvalidInfoPlist = "invalid Info.plist (plist or signature have been modified)";
constexpr const char* kInvalidResourceDirectory = "invalid resource directory (directory or signature have been modified)";
constexpr const char* kSealedResource = "a sealed resource is missing or invalid";
constexpr const char* kResourcesMissing = "code has no resources but signature indicates they must be present";
constexpr const char* kNestedCode = "nested code is modified or invalid";
const std::string kSubcomponent = "In subcomponent: ";
constexpr const char* kTeamIdentifier = "a Team Identifier is wrong or inappropriate";
constexpr const char* kBadFormat = "invalid or unsupported format for signature";
constexpr const char* kStrictValidation = "main executable failed strict validation";
constexpr const char* kBundleFormat = "bundle format unrecognized, invalid, or unsuitable";
constexpr const char* kNotTrusted = "CSSMERR_TP_NOT_TRUSTED";
constexpr const char* kCertificateExpired = "CSSMERR_TP_CERT_EXPIRED";
constexpr const char* kFrameworkLayout = "invalid framework layout";

constexpr size_t kVerifyChunk = size_t(64) << 10;
static_assert(kVerifyChunk == size_t(1) << kMaxPageSizeLog2, "range cuts must fall on page boundaries");
constexpr uint64_t kVerifyInRangesFrom = uint64_t(16) << 20;
constexpr size_t kMaxVerifyThreads = 4;

struct Failure {
    std::string message;
    std::vector<std::string> details;
    bool notSigned = false;  // the item carries no signature at all
};

// What the bundle around the binary seals: absent for a bare binary.
struct BundleSeal {
    const BundleInfo* bundle = nullptr;
    std::optional<std::string> codeResources;
};

std::optional<Failure> failWith(const char* message, const macho::Slice& slice) {
    return Failure{message, {"In architecture: " + slice.archName()}};
}

std::optional<Failure> unsignedSlice(const macho::Slice& slice) {
    auto failure = failWith(kNotSigned, slice);
    failure->notSigned = true;
    return failure;
}

// The Mach-O layout strict verification expects: the signature is the last
// thing of the slice and __LINKEDIT ends exactly there.
bool layoutIsStrict(const macho::Slice& slice) {
    if (!slice.linkedit) return false;
    const auto& le = *slice.linkedit;
    if (le.fileoff + le.filesize != slice.size) return false;
    return uint64_t(slice.signatureOffset) + slice.signatureSize == slice.size;
}

// The page hashes of [begin, end) of the code, one string per hasher kind
// (hash type, page size); begin is a multiple of every page size. The
// buffer is small enough to be reused from the heap, and is never zeroed:
// every byte hashed is read.
bool hashPageRange(const InputFile& input, const macho::Slice& slice,
                   const std::vector<std::pair<HashType, size_t>>& kinds, uint64_t begin, uint64_t end,
                   std::vector<std::string>& hashes) {
    std::vector<PageHasher> hashers;
    for (const auto& [type, pageSize] : kinds) hashers.emplace_back(type, pageSize);
    const size_t chunk = size_t(std::min<uint64_t>(kVerifyChunk, std::max<uint64_t>(end - begin, 1)));
    std::unique_ptr<char[]> buffer(new char[chunk]);
    for (uint64_t pos = begin; pos < end; pos += chunk) {
        const size_t n = size_t(std::min<uint64_t>(chunk, end - pos));
        if (!input.readInto(slice.offset + pos, buffer.get(), n)) return false;
        for (auto& hasher : hashers) hasher.update(buffer.get(), n);
    }
    for (auto& hasher : hashers) hashes.push_back(hasher.finish());
    return true;
}

// Every CodeDirectory's page hashes against the code, read once: each byte
// goes to the hasher of every CodeDirectory (their code limits are the
// slice's signature offset, checked before). Large code is read in ranges
// side by side, cut at page boundaries, as signing hashes it.
bool pagesMatch(const InputFile& input, const macho::Slice& slice,
                const std::vector<std::pair<uint32_t, CodeDirectory>>& codeDirectories) {
    std::vector<std::pair<HashType, size_t>> kinds;
    uint64_t codeLimit = 0;
    bool onePage = false;  // a page size of 0: the whole code is one page
    for (const auto& [slot, cd] : codeDirectories) {
        if (cd.codeLimit > slice.size || cd.pageSizeLog2 > kMaxPageSizeLog2) return false;
        if (!kinds.empty() && cd.codeLimit != codeLimit) return false;
        codeLimit = cd.codeLimit;
        onePage = onePage || cd.pageSizeLog2 == 0;
        const size_t pageSize = cd.pageSizeLog2 ? size_t(1) << cd.pageSizeLog2 : size_t(cd.codeLimit);
        kinds.emplace_back(cd.hashType(), std::max<size_t>(pageSize, 1));
    }
    // NOTE: keep the threshold in step with kParallelThreshold of MachOSigner.cpp.
    size_t parts = 1;
    if (codeLimit >= kVerifyInRangesFrom && !onePage)
        parts = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMaxVerifyThreads);
    // kVerifyChunk is the largest page size a reader takes, so a cut at a
    // multiple of it falls on a page boundary of every CodeDirectory.
    const uint64_t step = bytes::alignUp((codeLimit + parts - 1) / parts, kVerifyChunk);
    std::vector<uint64_t> bounds{0};
    while (bounds.back() < codeLimit) bounds.push_back(std::min(codeLimit, bounds.back() + step));
    if (bounds.size() == 1) bounds.push_back(0);  // no code: one empty range
    const size_t ranges = bounds.size() - 1;
    std::vector<std::vector<std::string>> hashes(ranges);
    std::vector<char> ok(ranges, 0);
    auto work = [&](size_t r) { ok[r] = hashPageRange(input, slice, kinds, bounds[r], bounds[r + 1], hashes[r]); };
    std::vector<std::thread> threads;
    try {
        for (size_t r = 1; r < ranges; ++r) threads.emplace_back(work, r);
    } catch (const std::system_error&) {
        for (size_t r = threads.size() + 1; r < ranges; ++r) work(r);  // no more threads: the rest here
    }
    work(0);
    for (auto& t : threads) t.join();

    size_t k = 0;
    for (const auto& [slot, cd] : codeDirectories) {
        std::string joined;
        for (size_t r = 0; r < ranges; ++r) {
            if (!ok[r]) return false;
            joined += hashes[r][k];
        }
        ++k;
        if (joined.size() != size_t(cd.nCodeSlots) * cd.hashSize || joined != cd.blob.substr(cd.hashOffset, joined.size()))
            return false;
    }
    return true;
}

// A special slot against the bytes it seals. Absent bytes with a non-zero
// slot fail; bytes with no slot for them fail too.
bool slotMatches(const CodeDirectory& cd, unsigned slot, const std::optional<std::string_view>& bytes) {
    std::string_view recorded = cd.specialSlot(slot);
    if (!bytes) return recorded.empty() || isZeroHash(recorded);
    if (recorded.empty()) return false;
    return digest(cd.hashType(), *bytes) == recorded;
}

std::optional<Failure> checkCms(const EmbeddedSignature& signature, const macho::Slice& slice) {
    auto wrapper = signature.blob(CSSLOT_SIGNATURESLOT);
    if (!wrapper || wrapper->size() <= 8 || *bytes::be32(*wrapper, 0) != CSMAGIC_BLOBWRAPPER)
        return failWith(kInvalidSignature, slice);
    CmsCheck cms = verifyCms(wrapper->substr(8), signature.primary().blob);
    if (!cms.signatureValid) return failWith(kInvalidSignature, slice);
    if (cms.expiredCertificate) return Failure{kCertificateExpired, {cms.problem}};
    if (!cms.chainValid) return Failure{kNotTrusted, {cms.problem}};

    // Every CodeDirectory must be bound by the cdhash attributes there are.
    // Signatures from before those attributes existed carry neither; the
    // message digest then binds their one CodeDirectory, and nothing would
    // bind a second.
    std::vector<std::string> expected;
    for (const auto& [slot, cd] : signature.codeDirectories) {
        if (!cd.knownHashType()) return failWith(kInvalidSignature, slice);
        expected.push_back(cdHash(cd.hashType(), cd.blob));
    }
    if (!cms.hasPlistCdHashes && !cms.hasTypedCdHashes && signature.codeDirectories.size() != 1)
        return failWith(kInvalidSignature, slice);
    if (cms.hasPlistCdHashes && cms.plistCdHashes != expected) return failWith(kInvalidSignature, slice);
    if (cms.hasTypedCdHashes) {
        if (cms.typedCdHashes.size() != signature.codeDirectories.size()) return failWith(kInvalidSignature, slice);
        for (const auto& [oid, hash] : cms.typedCdHashes) {
            bool found = false;
            for (const auto& [slot, cd] : signature.codeDirectories)
                if (crypto::hashOid(cd.hashType()) == oid && fullCdHash(cd.hashType(), cd.blob) == hash) found = true;
            if (!found) return failWith(kInvalidSignature, slice);
        }
    }
    // The team in the CodeDirectory is the signer's. CodeDirectories older
    // than team identifiers carry none, and nothing is compared.
    if (signature.primary().teamId) {
        auto leaf = certificateFacts(cms.chainDer.front());
        if (!leaf || leaf->organizationalUnit != *signature.primary().teamId) return Failure{kTeamIdentifier, {}};
    }
    return std::nullopt;
}

std::optional<Failure> verifySlice(const InputFile& input, const macho::Slice& slice, const BundleSeal& seal) {
    EmbeddedSignature signature;
    auto state = readEmbeddedSignature(input, slice, signature);
    if (!state) return failWith(kBadFormat, slice);
    if (*state == SignatureState::Unsigned) return unsignedSlice(slice);
    if (!layoutIsStrict(slice)) return failWith(kStrictValidation, slice);
    for (const auto& [slot, cd] : signature.codeDirectories) {
        if (!cd.knownHashType()) return failWith(kBadFormat, slice);
        if (cd.codeLimit != slice.signatureOffset) return failWith(kInvalidSignature, slice);
    }
    if (!signature.isAdhoc()) {
        if (auto failure = checkCms(signature, slice)) return failure;
    }

    auto blobWithMagic = [&](uint32_t slot, uint32_t magic) -> std::optional<std::optional<std::string_view>> {
        auto blob = signature.blob(slot);
        if (!blob) return std::optional<std::string_view>{};
        if (*bytes::be32(*blob, 0) != magic) return std::nullopt;
        return std::optional<std::string_view>{*blob};
    };
    auto requirements = blobWithMagic(CSSLOT_REQUIREMENTS, CSMAGIC_REQUIREMENTS);
    auto entitlements = blobWithMagic(CSSLOT_ENTITLEMENTS, CSMAGIC_EMBEDDED_ENTITLEMENTS);
    auto derEntitlements = blobWithMagic(CSSLOT_DER_ENTITLEMENTS, CSMAGIC_EMBEDDED_DER_ENTITLEMENTS);
    if (!requirements || !entitlements || !derEntitlements) return failWith(kBadFormat, slice);

    // NOTE: keep in step with planSlice in MachOSigner.cpp, which fills the same slots.
    for (const auto& [slot, cd] : signature.codeDirectories) {
        if (seal.bundle) {
            if (!slotMatches(cd, cdInfoSlot, std::string_view(seal.bundle->infoPlistBytes)))
                return Failure{kInvalidInfoPlist, {}};
            std::optional<std::string_view> resources;
            if (seal.codeResources) resources = *seal.codeResources;
            std::string_view recorded = cd.specialSlot(cdResourceDirSlot);
            if (!seal.codeResources && !recorded.empty() && !isZeroHash(recorded)) return Failure{kResourcesMissing, {}};
            if (!slotMatches(cd, cdResourceDirSlot, resources)) return Failure{kInvalidResourceDirectory, {}};
        }
        if (!slotMatches(cd, cdRequirementsSlot, *requirements) || !slotMatches(cd, cdEntitlementSlot, *entitlements) ||
            !slotMatches(cd, cdEntitlementDERSlot, *derEntitlements))
            return failWith(kInvalidSignature, slice);
    }
    if (!pagesMatch(input, slice, signature.codeDirectories)) return failWith(kInvalidSignature, slice);
    return std::nullopt;
}

std::vector<HashType> hashTypesOf(const InputFile& input, const macho::Slice& slice) {
    EmbeddedSignature signature;
    std::vector<HashType> types;
    if (auto state = readEmbeddedSignature(input, slice, signature); state && *state == SignatureState::Present) {
        for (const auto& [slot, cd] : signature.codeDirectories)
            if (cd.knownHashType()) types.push_back(cd.hashType());
    }
    std::sort(types.begin(), types.end(), [](HashType a, HashType b) { return int(a) < int(b); });
    return types;
}

// Whether the code satisfies its designated requirement; code without one
// (ad hoc) has the implicit requirement of its own cdhash, which it meets.
bool satisfiesDesignatedRequirement(const InputFile& input, const macho::Slice& slice) {
    EmbeddedSignature signature;
    auto state = readEmbeddedSignature(input, slice, signature);
    if (!state || *state != SignatureState::Present) return false;
    auto reqs = signature.blob(CSSLOT_REQUIREMENTS);
    if (!reqs) return true;
    auto set = parseRequirementsSet(*reqs);
    if (!set) return false;
    std::optional<std::string_view> designated;
    for (const auto& [type, requirement] : *set)
        if (type == kSecDesignatedRequirementType) designated = requirement;
    if (!designated) return true;

    RequirementSubject subject;
    subject.identifier = signature.primary().identifier;
    for (const auto& [slotNumber, cd] : signature.codeDirectories)
        if (cd.knownHashType()) subject.cdHashes.push_back(cdHash(cd.hashType(), cd.blob));
    auto wrapper = signature.blob(CSSLOT_SIGNATURESLOT);
    if (!signature.isAdhoc() && wrapper && wrapper->size() > 8) {
        for (const auto& der : verifyCms(wrapper->substr(8), signature.primary().blob).chainDer) {
            auto facts = certificateFacts(der);
            if (!facts) continue;
            subject.chain.push_back({facts->commonName, facts->organizationalUnit, facts->organization, facts->sha1,
                                     facts->extensionOids, facts->selfSigned});
        }
    }
    return satisfiesRequirement(*designated, subject);
}

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    auto abs = std::filesystem::absolute(path, ec);
    return ec ? path : abs.lexically_normal().string();
}

}  // namespace

VerifyResult verifyItem(const std::string& path, const std::string& displayPath, const VerifyOptions& options) {
    VerifyResult result;
    auto report = [&](const Failure& failure) {
        result.lines.push_back(displayPath + ": " + failure.message);
        for (const auto& d : failure.details) result.lines.push_back(d);
        result.message = failure.message;
        result.details = failure.details;
        return result;
    };
    if (!platform::fs::fileExists(path) && !platform::fs::isSymlink(path))
        return report({"No such file or directory", {}});

    std::optional<BundleInfo> bundle;
    std::string binaryPath = path;
    if (platform::fs::isDirectory(path)) {
        auto read = readBundle(path);
        if (!read) return report({kBundleFormat, {}});
        bundle = std::move(*read);
        if (auto problem = versionedLayoutProblem(*bundle)) return report({kFrameworkLayout, {*problem}});
        binaryPath = bundle->executablePath;
    }
    InputFile input;
    if (!input.open(binaryPath)) return report({kNotSigned, {}});
    auto file = macho::parse(input);
    if (!file) {
        if (file.kind() == platform::ErrorKind::NotMachO) {
            result.notSigned = true;
            return report({kNotSigned, {}});
        }
        return report({kStrictValidation, {}});
    }

    BundleSeal seal;
    if (bundle) {
        seal.bundle = &*bundle;
        seal.codeResources = platform::fs::readFile(codeResourcesPath(*bundle));
    }
    for (const auto& slice : file->slices) {
        if (auto failure = verifySlice(input, slice, seal)) {
            result.notSigned = failure->notSigned;
            return report(*failure);
        }
    }

    if (bundle) {
        if (!seal.codeResources) return report({kResourcesMissing, {}});
        ResourceSealOptions sealOptions;
        sealOptions.hashTypes = hashTypesOf(input, file->slices.front());
        sealOptions.mainExecutable = bundle->executableName;
        auto problems = verifyCodeResources(bundle->contents, *seal.codeResources, sealOptions);
        if (!problems) return report({kResourcesMissing, {}});
        if (!problems->empty()) {
            Failure failure{kSealedResource, {}};
            for (const auto& p : *problems) {
                const char* what = p.kind == ResourceProblem::Kind::Added      ? "file added: "
                                   : p.kind == ResourceProblem::Kind::Modified ? "file modified: "
                                                                               : "file missing: ";
                failure.details.push_back(what + p.absolutePath);
            }
            return report(failure);
        }
        if (options.deep) {
            for (const std::string& nested : nestedCode(*bundle)) {
                if (options.verbosity > 0) result.lines.push_back("--prepared:" + absolutePath(nested));
                VerifyOptions inner = options;
                inner.verbosity = 0;
                VerifyResult nestedResult = verifyItem(nested, nested, inner);
                if (!nestedResult.valid) {
                    // The nested item's own reason, naming the innermost
                    // item that failed.
                    Failure failure{nestedResult.message, nestedResult.details};
                    const bool named = !failure.details.empty() && failure.details.front().rfind(kSubcomponent, 0) == 0;
                    if (!named) failure.details.insert(failure.details.begin(), kSubcomponent + absolutePath(nested));
                    if (failure.message.empty()) failure.message = kNestedCode;
                    return report(failure);
                }
                if (options.verbosity > 0) result.lines.push_back("--validated:" + absolutePath(nested));
            }
        }
    }

    result.valid = true;
    if (options.verbosity > 0) {
        result.lines.push_back(displayPath + ": valid on disk");
        if (satisfiesDesignatedRequirement(input, file->slices.front())) {
            result.lines.push_back(displayPath + ": satisfies its Designated Requirement");
        } else {
            result.requirementFailed = true;
            result.lines.push_back(displayPath + ": does not satisfy its designated Requirement");
        }
    }
    return result;
}

}  // namespace codesign

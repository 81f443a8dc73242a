#include "codesign/Display.h"

#include <ctime>
#include <filesystem>

#include "codesign/Bundle.h"
#include "codesign/Bytes.h"
#include "codesign/CmsSignature.h"
#include "codesign/DerEntitlements.h"
#include "codesign/EmbeddedSignature.h"
#include "codesign/MachO.h"
#include "codesign/Requirements.h"
#include "codesign/SuperBlob.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/plist.h"

namespace codesign {

namespace {

std::string hexNumber(uint64_t v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%llx", static_cast<unsigned long long>(v));
    return buffer;
}

std::string flagNames(uint32_t flags) {
    if (flags == 0) return "(none)";
    std::string out;
    auto add = [&](uint32_t bit, const char* name) {
        if (flags & bit) out += std::string(out.empty() ? "" : ",") + name;
    };
    add(0x1, "host");
    add(CS_ADHOC, "adhoc");
    add(0x100, "hard");
    add(0x200, "kill");
    add(0x400, "expires");
    add(0x800, "restrict");
    add(0x1000, "enforcement");
    add(0x2000, "library-validation");
    add(0x10000, "runtime");
    add(CS_LINKER_SIGNED, "linker-signed");
    return "(" + out + ")";
}

std::string signedTime(std::chrono::system_clock::time_point when) {
    std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%e %b %Y at %H:%M:%S", &tm);
    std::string text = buffer;
    return text.substr(text.find_first_not_of(' '));
}

const macho::Slice& preferredSlice(const macho::File& file) {
    for (const auto& slice : file.slices)
        if (slice.cputype == macho::CPU_TYPE_ARM64) return slice;
    return file.slices.front();
}

}  // namespace

DisplayResult describeItem(const std::string& path, const std::string& displayPath, int verbosity,
                           bool wantEntitlements) {
    DisplayResult result;
    std::optional<BundleInfo> bundle;
    std::string binaryPath = path;
    if (platform::fs::isDirectory(path)) {
        auto read = readBundle(path);
        if (!read) {
            result.lines.push_back(displayPath + ": " + read.text());
            return result;
        }
        bundle = std::move(*read);
        binaryPath = bundle->executablePath;
    }
    InputFile input;
    std::optional<macho::File> file;
    if (input.open(binaryPath)) {
        if (auto parsed = macho::parse(input)) file = std::move(*parsed);
    }
    EmbeddedSignature signature;
    auto state = file ? readEmbeddedSignature(input, preferredSlice(*file), signature)
                      : platform::Result<SignatureState>(SignatureState::Unsigned);
    if (!state || *state != SignatureState::Present) {
        result.lines.push_back(displayPath + ": code object is not signed at all");
        return result;
    }
    std::error_code ec;
    std::string executable = std::filesystem::absolute(binaryPath, ec).lexically_normal().string();
    result.lines.push_back("Executable=" + (ec ? binaryPath : executable));
    if (auto reqs = signature.blob(CSSLOT_REQUIREMENTS)) {
        static const char* kinds[] = {"", "host", "guest", "designated", "library", "plugin"};
        if (auto set = parseRequirementsSet(*reqs)) {
            for (const auto& [type, requirement] : *set) {
                auto text = requirementText(requirement);
                const char* kind = type < 6 ? kinds[type] : "unknown";
                result.requirements += std::string(kind) + " => " + text.value_or("/* unreadable requirement */") + "\n";
            }
        }
    }
    if (wantEntitlements) {
        if (auto blob = signature.blob(CSSLOT_ENTITLEMENTS); blob && blob->size() >= 8)
            result.entitlements = std::string(blob->substr(8));
    }
    if (verbosity >= 1) {
        const CodeDirectory& primary = signature.primary();
        const CodeDirectory& best = signature.best();
        result.lines.push_back("Identifier=" + primary.identifier);
        const std::string format = file->formatName();
        result.lines.push_back("Format=" + (bundle ? bundleFormat(*bundle, format) : format));
        result.lines.push_back("CodeDirectory v=" + hexNumber(best.version) + " size=" +
                               std::to_string(best.blob.size()) + " flags=0x" + hexNumber(best.flags) +
                               flagNames(best.flags) + " hashes=" + std::to_string(best.nCodeSlots) + "+" +
                               std::to_string(best.nSpecialSlots) + " location=embedded");
        if (verbosity >= 3) {
            result.lines.push_back(std::string("Hash type=") + hashName(best.hashType()) +
                                   " size=" + std::to_string(best.hashSize));
            for (const auto& [slotNumber, cd] : signature.codeDirectories) {
                if (!cd.knownHashType()) continue;
                result.lines.push_back(std::string("CandidateCDHash ") + hashName(cd.hashType()) + "=" +
                                       bytes::toHex(cdHash(cd.hashType(), cd.blob)));
                result.lines.push_back(std::string("CandidateCDHashFull ") + hashName(cd.hashType()) + "=" +
                                       bytes::toHex(fullCdHash(cd.hashType(), cd.blob)));
            }
        }
        std::string choices;
        for (const auto& [slotNumber, cd] : signature.codeDirectories)
            if (cd.knownHashType()) choices += std::string(choices.empty() ? "" : ",") + hashName(cd.hashType());
        result.lines.push_back("Hash choices=" + choices);
        if (verbosity >= 3) {
            result.lines.push_back("CMSDigest=" + bytes::toHex(fullCdHash(primary.hashType(), primary.blob)));
            result.lines.push_back("CMSDigestType=" + std::to_string(int(primary.rawHashType)));
        }
        result.lines.push_back("CDHash=" + bytes::toHex(cdHash(best.hashType(), best.blob)));

        auto wrapper = signature.blob(CSSLOT_SIGNATURESLOT);
        if (signature.isAdhoc() || !wrapper || wrapper->size() <= 8) {
            result.lines.push_back("Signature=adhoc");
        } else {
            result.lines.push_back("Signature size=" + std::to_string(wrapper->size() - 8));
            CmsCheck cms = verifyCms(wrapper->substr(8), primary.blob);
            if (verbosity >= 2) {
                for (const auto& der : cms.chainDer)
                    if (auto facts = certificateFacts(der)) result.lines.push_back("Authority=" + facts->commonName);
            }
            if (cms.signingTime) result.lines.push_back("Signed Time=" + signedTime(*cms.signingTime));
        }
        if (bundle) result.lines.push_back("Info.plist entries=" + std::to_string(bundle->info.size()));
        else result.lines.push_back("Info.plist=not bound");
        result.lines.push_back("TeamIdentifier=" + primary.teamId.value_or("not set"));
        if (bundle) {
            auto seal = platform::fs::readFile(codeResourcesPath(*bundle));
            auto parsed = seal ? platform::plist::parse(*seal) : std::nullopt;
            const platform::plist::Value* rules2 = parsed ? parsed->get("rules2") : nullptr;
            const platform::plist::Value* files2 = parsed ? parsed->get("files2") : nullptr;
            const platform::plist::Value* rules = parsed ? parsed->get("rules") : nullptr;
            const platform::plist::Value* files = parsed ? parsed->get("files") : nullptr;
            if (rules2 && rules2->asDict() && files2 && files2->asDict())
                result.lines.push_back("Sealed Resources version=2 rules=" + std::to_string(rules2->asDict()->size()) +
                                       " files=" + std::to_string(files2->asDict()->size()));
            else if (rules && rules->asDict() && files && files->asDict())
                result.lines.push_back("Sealed Resources version=1 rules=" + std::to_string(rules->asDict()->size()) +
                                       " files=" + std::to_string(files->asDict()->size()));
            else
                result.lines.push_back("Sealed Resources=none");
        } else {
            result.lines.push_back("Sealed Resources=none");
        }
        if (auto reqs = signature.blob(CSSLOT_REQUIREMENTS)) {
            auto set = parseRequirementsSet(*reqs);
            result.lines.push_back("Internal requirements count=" + std::to_string(set ? set->size() : 0) +
                                   " size=" + std::to_string(reqs->size()));
        }
    }
    result.ok = true;
    return result;
}

}  // namespace codesign

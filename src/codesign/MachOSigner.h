#pragma once
// Signing one Mach-O file, every slice of it: the layout of each slice is
// computed first (where the signature goes, how much room it takes), then the
// file is written once, hashing the code pages as they pass.
#include <optional>
#include <string>
#include <vector>

#include "codesign/CmsSignature.h"
#include "codesign/EmbeddedSignature.h"
#include "codesign/FileAccess.h"
#include "codesign/MachO.h"
#include "platform/plist.h"
#include "platform/result.h"

namespace codesign {

enum class ExistingSignature { None, LinkerSigned, Signed, Invalid };

struct PreparedBinary {
    std::string path;
    InputFile input;
    macho::File file;
    std::vector<macho::SignaturePlacement> placements;
    ExistingSignature existing = ExistingSignature::None;
    std::string existingIdentifier;  // of a signature that is neither missing nor the linker's

    // SHA-256 alone, or SHA-1 (primary) and SHA-256 when a slice targets an
    // OS that predates SHA-256 code signatures.
    std::vector<HashType> hashTypes() const;
    bool isMainExecutable() const;  // some slice is MH_EXECUTE
};

// Opens and checks a binary for signing; nothing is written. A NotMachO
// error tells a file that is no Mach-O at all from a broken one.
platform::Result<PreparedBinary> prepareBinary(const std::string& path);

struct SigningContext {
    std::string identifier;
    std::string teamId;                      // "" for none
    std::optional<std::string> infoPlist;    // bytes sealed in slot 1
    std::optional<std::string> codeResources;  // bytes sealed in slot 3
    // For main executables only: the two entitlement blobs' payloads and the
    // dictionary they came from.
    std::optional<std::string> entitlementsXml;
    std::optional<std::string> entitlementsDer;
    platform::plist::Dict entitlements;
    const SigningIdentity* identity = nullptr;  // nullptr: ad hoc
    const CmsSigner* signer = nullptr;          // the identity's, when there is one
    std::string requirements;                   // the requirements set blob
};

// Writes the signed binary into out (a fresh file); the caller commits it.
platform::Result<> writeSignedBinary(const PreparedBinary& binary, const SigningContext& context,
                                     ReplacementFile& out);

// The execSegFlags the entitlements grant to a main executable.
uint64_t entitlementExecSegFlags(const platform::plist::Dict& entitlements);

}  // namespace codesign

#pragma once
// Signing one item: a bare Mach-O file or a bundle (application, extension,
// framework). A bundle's resources are sealed as they stand on disk, so
// nested code must be signed before the bundle that holds it.
#include <optional>
#include <string>

#include "codesign/CmsSignature.h"
#include "codesign/Requirements.h"

namespace codesign {

struct SignRequest {
    std::string path;
    std::optional<SigningIdentity> identity;      // nothing: ad hoc
    std::optional<std::string> entitlementsPath;  // used for main executables only
    bool force = false;                           // replace an existing signature
};

struct SignResult {
    bool ok = false;
    std::string error;  // one line, to follow "PATH: "
    enum class Replaced { No, Existing, Invalid };
    Replaced replaced = Replaced::No;
    std::string format;      // "app bundle with Mach-O thin (arm64)", "Mach-O universal (armv7 arm64)"
    std::string identifier;
};

// Signs in place. On failure the item on disk is as it was.
SignResult signItem(const SignRequest& request);

// The designated requirement's inputs, from the signing chain.
ChainFacts chainFactsFor(const CmsSigner& signer);

}  // namespace codesign

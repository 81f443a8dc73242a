#pragma once
// The resource seal of a bundle, _CodeSignature/CodeResources: every file of
// the bundle (nested bundles file by file) hashed under the default iOS
// rules, written as an XML property list whose bytes the CodeDirectory seals
// in its resources slot.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/Hash.h"
#include "platform/result.h"

namespace codesign {

// The hash types of the CodeDirectories, by their on-disk numbers.
using crypto::HashType;

struct ResourceSealOptions {
    // The hash types the signature uses, e.g. {SHA256} or {SHA1, SHA256}.
    // files2 entries carry one hash per type ("hash" for SHA-1, "hash2" for SHA-256).
    std::vector<HashType> hashTypes{HashType::SHA256};
    // The bundle's main executable, relative to the bundle root; never sealed here.
    std::string mainExecutable;
};

// The CodeResources bytes for the bundle at bundleRoot, or an error with a
// reason (unreadable folder, a file that cannot be read, a special
// file such as a pipe, a name that is not UTF-8 text or holds control
// characters, folders nested absurdly deep). Symbolic links are sealed as
// links and never followed.
platform::Result<std::string> buildCodeResources(const std::string& bundleRoot, const ResourceSealOptions& options);

struct ResourceProblem {
    enum class Kind { Added, Modified, Missing };
    Kind kind;
    std::string absolutePath;
};

// Checks the bundle on disk against sealed CodeResources bytes. Empty when
// every sealed file is present and unchanged and nothing was added; else the
// problems sorted by path, each path being bundleRoot + "/" + the sealed name.
// A seal that does not parse, or lacks "files"/"rules", is a Malformed
// error, never success. A folder inside the bundle that cannot be read is
// reported as Modified.
platform::Result<std::vector<ResourceProblem>> verifyCodeResources(const std::string& bundleRoot,
                                                                   std::string_view codeResources,
                                                                   const ResourceSealOptions& options);

}  // namespace codesign

#pragma once
// The nested code of a bundle as the platform defines it: every bundle below
// it that names an executable (CFBundleExecutable) which exists, whatever the
// bundle's extension, and every other Mach-O file of a kind that is signed,
// told by its content, not its name. Debug symbol files are not code.
#include <cstdint>
#include <string>
#include <vector>

#include "codesign/Bundle.h"

namespace codesign {

// Whether a Mach-O file type is one that carries a signature: executables,
// libraries, loadable bundles, dynamic linkers and kernel extensions; not
// object files or debug symbols (MH_DSYM).
bool isSignedFileType(uint32_t filetype);

// Whether the folder at path is a nested bundle: not a link, an Info.plist
// at its top (or the versioned framework layout) that names an executable
// which exists.
bool isCodeBundle(const std::string& path);

// The code directly inside the bundle: nested bundles (not what lies inside
// them) and Mach-O files of a signed kind outside them, the bundle's own
// executable and its _CodeSignature left out. Links are not followed: what
// one leads to is code where it lives. Depth first, names in byte order.
// NOTE: keep in step with engine::signingList (src/engine/QFSigningList.cpp),
// which lists the same items for the signing stage without this library.
std::vector<std::string> nestedCode(const BundleInfo& bundle);

}  // namespace codesign

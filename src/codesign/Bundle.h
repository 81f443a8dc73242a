#pragma once
// Bundles as the signer sees them: the Info.plist at the bundle root (iOS
// bundles are flat), the main executable it names, and the texts the signer
// derives from them.
#include <optional>
#include <string>

#include "platform/plist.h"

namespace codesign {

struct BundleInfo {
    std::string root;
    std::string infoPlistBytes;      // the file as it is on disk
    platform::plist::Dict info;
    std::string identifier;          // CFBundleIdentifier
    std::string packageType;         // CFBundlePackageType
    std::string executableName;      // relative to root
    std::string executablePath;
};

// The bundle at a folder, or nothing with a reason.
std::optional<BundleInfo> readBundle(const std::string& path, std::string* error);

// "app bundle with Mach-O thin (arm64)" / "bundle with ..." after the package type.
std::string bundleFormat(const BundleInfo& bundle, const std::string& machoFormat);

// The identifier of a bare binary from its file name: the last extension is
// dropped unless it starts with a digit, and a run of numeric suffixes is cut
// back to the first ("libFoo.dylib" -> "libFoo", "foo.2.3.4" -> "foo.2").
std::string identifierFromFileName(const std::string& fileName);

}  // namespace codesign

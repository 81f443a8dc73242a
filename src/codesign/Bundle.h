#pragma once
// Bundles as the signer sees them: the Info.plist, the main executable it
// names, and the texts the signer derives from them.
//
// Two shapes are known. A flat bundle (every iOS application, extension and
// most frameworks) has its Info.plist, executable and _CodeSignature at its
// root. A versioned framework keeps its code in Versions/<name>, with
// Versions/Current a link to the current version, the Info.plist in that
// version's Resources folder, and at the top only links into
// Versions/Current ("X -> Versions/Current/X", "Resources -> ..."). Such a
// framework is signed in its current version's folder, whose seal covers
// that folder; the links at the top are sealed by the bundle around it.
#include <optional>
#include <string>

#include "platform/plist.h"
#include "platform/result.h"

namespace codesign {

struct BundleInfo {
    std::string root;                // the path given, without trailing slashes
    // Where the executable, the resources sealed and _CodeSignature live:
    // root itself, or root/Versions/<current> for a versioned framework.
    std::string contents;
    std::string currentVersion;      // the version folder's name; empty for a flat bundle
    std::string infoPlistBytes;      // the file as it is on disk
    platform::plist::Dict info;
    std::string identifier;          // CFBundleIdentifier
    std::string packageType;         // CFBundlePackageType
    std::string executableName;      // relative to root
    std::string executablePath;
};

// The bundle at a folder, or nothing with a reason. A folder with
// Resources/Info.plist and no Info.plist of its own (a framework's version
// folder given directly) reads as a bundle rooted there.
platform::Result<BundleInfo> readBundle(const std::string& path);

// contents + "/_CodeSignature/CodeResources".
std::string codeResourcesPath(const BundleInfo& bundle);

// For a versioned framework, what is wrong with its top level, or nothing:
// Versions/Current must be a link to a version folder beside it, and every
// other entry at the top a link "Versions/Current/<its own name>" to
// something in that version; a file or folder there would be sealed by
// nothing. Flat bundles have nothing to check.
std::optional<std::string> versionedLayoutProblem(const BundleInfo& bundle);

// "app bundle with Mach-O thin (arm64)" / "bundle with ..." after the package type.
std::string bundleFormat(const BundleInfo& bundle, const std::string& machoFormat);

// The identifier of a bare binary from its file name: the last extension is
// dropped unless it starts with a digit, and a run of numeric suffixes is cut
// back to the first ("libFoo.dylib" -> "libFoo", "foo.2.3.4" -> "foo.2").
std::string identifierFromFileName(const std::string& fileName);

}  // namespace codesign

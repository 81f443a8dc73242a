#pragma once
// Application packages for tests: a work tree Payload/<Name>.app with real
// arm64 Mach-O binaries, packed with /usr/bin/zip into an .ipa.
//
//   testkit::PackageSpec shape;                    // the full shape, see below
//   std::string ipa = testkit::buildPackage(dir + "/Demo.ipa", shape);
//   auto names = testkit::archiveEntries(ipa);    // "Payload/Demo.app/Info.plist", ...
//
// The full shape, with every option on:
//   Payload/Demo.app/Demo                          executable
//   Payload/Demo.app/Info.plist                    XML or binary
//   Payload/Demo.app/embedded.mobileprovision      the old profile
//   Payload/Demo.app/_CodeSignature/CodeResources  the old seal
//   Payload/Demo.app/Frameworks/A.framework/A      + Info.plist
//   Payload/Demo.app/Frameworks/A.framework/Frameworks/Inner.framework/Inner
//   Payload/Demo.app/Frameworks/libX.dylib
//   Payload/Demo.app/Frameworks/V.framework/Versions/A/V    versionedFramework:
//       Versions/A/Resources/Info.plist, Versions/A/Resources/en.lproj/V.strings,
//       Versions/A/Headers/V.h, Versions/Current -> A, and at the top the links
//       V, Resources, Headers -> Versions/Current/...
//   Payload/Demo.app/PlugIns/Share.appex/Share     + Info.plist
//   Payload/Demo.app/PlugIns/Share.appex/Frameworks/S.framework/S
//   Payload/Demo.app/Watch/DemoWatch.app/...       only with watchApp
//   Payload/Demo.app/PlugIns/DemoTests.xctest/DemoTests   everyCodeKind: a test bundle (MH_BUNDLE)
//       with Frameworks/T1.framework and Frameworks/T2.framework inside it
//   Payload/Demo.app/XPCServices/Helper.xpc/Helper       an XPC service (MH_EXECUTE)
//   Payload/Demo.app/Assets.bundle/Assets                a resource bundle with an executable (MH_BUNDLE)
//   Payload/Demo.app/helper                              a Mach-O tool without an extension
//   Payload/Demo.app/Demo.dSYM/Contents/Resources/DWARF/Demo   debug symbols (MH_DSYM): not code
//   Payload/Demo.app/Resources/res-N.txt           resourceFiles of them
//   iTunesMetadata.plist, SwiftSupport/iphoneos/libswiftDemo.dylib   beside Payload
// The nested code of the full shape with everyCodeKind, relative to the
// application, in signing order (innermost first, the application last as "").
// Failures to build throw std::runtime_error: a broken test set-up.
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testkit {

struct PackageSpec {
    std::string appName = "Demo";                      // <appName>.app and its executable
    std::string bundleId = "com.example.demo";         // CFBundleIdentifier
    std::optional<std::string> displayName = "Demo";   // CFBundleDisplayName; nothing leaves the key out
    bool binaryInfoPlist = false;
    bool frameworks = true;        // A.framework with Inner.framework inside it, and libX.dylib
    bool appExtension = true;      // Share.appex with its own S.framework
    // Watch/DemoWatch.app (<bundleId>.watchkitapp, naming its companion) with
    // Frameworks/W.framework and PlugIns/DemoWatchExt.appex (naming the watch app)
    bool watchApp = false;
    bool versionedFramework = false;  // Frameworks/V.framework in the Versions/A layout
    bool everyCodeKind = false;       // the test bundle, XPC service, resource bundle, tool and dSYM above
    bool oldSignature = true;      // embedded.mobileprovision and _CodeSignature
    std::string oldProfileBytes;   // the old embedded profile; empty: a signed test profile
    bool topLevelEntries = true;   // entries beside "Payload"
    int resourceFiles = 3;
    size_t resourceBytes = 64;     // size of each resource file
    int extraFrameworks = 0;       // Frameworks/F<n>.framework, for big packages
    size_t executablePadding = 0;  // extra bytes of constant data in the main executable
    // Entitlements (XML) the application's and the share extension's
    // executables claim in an old ad-hoc signature made with the project's
    // codesign command; empty leaves the executable unsigned.
    std::string appClaims;
    std::string extensionClaims;
    std::string helperClaims;  // the XPC service's and the tool's, with everyCodeKind
    // The main executable's architectures: one makes it thin, more make it fat.
    std::vector<std::string> executableArchs = {"arm64"};
    std::vector<std::string> executableLinkerArgs;  // for each of its slices, as ld64.lld takes them
    // Further files of the application: path below it, bytes.
    std::vector<std::pair<std::string, std::string>> appFiles;
};

std::vector<std::string> everyCodeKindItems(const std::string& appName = "Demo");

// The team whose claims otherTeamClaims writes.
inline constexpr const char* kOtherTeam = "ZYXWV98765";
// What an executable of kOtherTeam built with capabilities claims (XML): for
// the application, its own and a shared keychain group, an app group, push,
// associated domains, iCloud services, containers and key-value storage; for
// an extension, its own keychain group and the app group.
std::string otherTeamClaims(const std::string& bundleId, bool extension = false);

// Writes the tree into root (root/Payload/<Name>.app ...); answers the .app path.
std::string buildPackageTree(const std::string& root, const PackageSpec& shape = {});
// Packs everything inside root into a new archive with /usr/bin/zip.
void zipTree(const std::string& root, const std::string& ipaPath);
// Tree in a scratch folder, then zipped to ipaPath; answers ipaPath.
std::string buildPackage(const std::string& ipaPath, const PackageSpec& shape = {});

// Entry names of an archive, in archive order (folders end in "/").
std::vector<std::string> archiveEntries(const std::string& ipaPath);
// The bytes of one entry; throws when the archive has no such entry.
std::string archiveEntry(const std::string& ipaPath, const std::string& entryName);

}  // namespace testkit

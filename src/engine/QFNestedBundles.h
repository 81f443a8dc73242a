#pragma once
// Carrying a checked plan into the nested applications and extensions: each
// gets its new identifier, its own profile as embedded.mobileprovision, and
// an entitlements file for its signing, made from that profile and from what
// its executable claimed in its old signature.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/QFProvisioningChecks.h"

namespace engine {

// The folder inside the work directory that holds the nested bundles'
// entitlements while they are signed. It is removed before the work
// directory is packed, so the archive holds nothing of it.
std::string nestedEntitlementsFolder(const std::string& workPath);

struct NestedOutcome {
    std::optional<std::string> error;                // the line to show when a bundle could not be provisioned
    std::map<std::string, std::string> entitlements;  // bundle path -> its entitlements file
};

// Writes every nested bundle of the plan: the identifiers in its Info.plist
// (CFBundleIdentifier, WKCompanionAppBundleIdentifier and
// NSExtension/NSExtensionAttributes/WKAppBundleIdentifier, by
// nestedIdentifier), a byte copy of its profile in place of the old one, and
// its entitlements file. Logs which profile each bundle got, the keys it is
// signed with, and what of its claims was replaced or left out. claimed:
// bundle path -> the entitlements its old signature held (XML; empty or
// absent when none).
NestedOutcome provisionNestedBundles(const ProvisioningPlan& plan, const std::string& workPath,
                                     const std::map<std::string, std::string>& claimed,
                                     const std::function<void(const std::string&)>& log);

// Nested code that is a program of its own (an XPC service, a helper tool)
// but neither the application nor a bundle of the plan, with its carrier:
// the innermost application or extension that holds it.
struct HelperCode {
    std::string path;
    std::string carrier;
};
std::vector<HelperCode> helperCode(const std::string& appPath, const ProvisioningPlan* plan);

// Writes each helper's entitlements file (from its old claims and what its
// carrier is signed with, by helperEntitlements) and logs the keys it is
// signed with and what it goes without. carrierFiles: carrier path -> the
// entitlements file the carrier is signed with.
NestedOutcome provisionHelperCode(const std::vector<HelperCode>& helpers, const std::string& workPath,
                                  const std::map<std::string, std::string>& claimed,
                                  const std::map<std::string, std::string>& carrierFiles,
                                  const std::function<void(const std::string&)>& log);

}  // namespace engine

#pragma once
// Describing a signed item: the lines of `codesign -d` at each verbosity, and
// the entitlements and the requirements it carries.
#include <string>
#include <vector>

namespace codesign {

struct DisplayResult {
    bool ok = false;
    std::vector<std::string> lines;  // for standard error ("Identifier=...", or "PATH: message")
    std::string entitlements;        // the XML entitlements, when asked for and present
    std::string requirements;        // "designated => ..." lines of the internal requirements
};

DisplayResult describeItem(const std::string& path, const std::string& displayPath, int verbosity,
                           bool wantEntitlements);

}  // namespace codesign

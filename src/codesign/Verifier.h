#pragma once
// Verifying a signed item on disk: every CodeDirectory's page hashes and
// special slots, the CMS signature and the cdhashes it binds, the bundle's
// resource seal, and (when asked) the nested code inside a bundle.
#include <string>
#include <vector>

namespace codesign {

struct VerifyOptions {
    bool deep = false;  // also verify the nested code (see NestedCode.h), at any depth
    int verbosity = 0;  // the -v flags beyond the first
};

struct VerifyResult {
    bool valid = false;
    bool notSigned = false;
    bool requirementFailed = false;  // valid, but not satisfying its designated requirement
    // Lines for standard error, in order: nothing for a valid item at
    // verbosity 0; "PATH: message" and its detail lines for a failure.
    std::vector<std::string> lines;
    // A failure's message and detail lines, without the path.
    std::string message;
    std::vector<std::string> details;
};

// displayPath is the path as the user gave it; it leads each message.
VerifyResult verifyItem(const std::string& path, const std::string& displayPath, const VerifyOptions& options);

}  // namespace codesign

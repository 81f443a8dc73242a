#pragma once
// The encapsulated content of a CMS SignedData message (RFC 5652), without
// looking at signers, certificates or the signature: all a provisioning
// profile's reader needs, and what `security cms -D` prints.
#include <optional>
#include <string>
#include <string_view>

namespace profile {

// The content bytes exactly as they were signed, or nothing with a short
// reason in *error: not a CMS message, not SignedData, or no content
// embedded (a detached signature).
std::optional<std::string> cmsEncapsulatedContent(std::string_view message, std::string* error = nullptr);

}  // namespace profile

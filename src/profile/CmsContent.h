#pragma once
// The encapsulated content of a CMS SignedData message (RFC 5652), without
// looking at signers, certificates or the signature: all a provisioning
// profile's reader needs, and what `security cms -D` prints.
//
// The message is walked as BER (definite or indefinite lengths, the content
// given whole or in chunks) down to the content; the certificates and signer
// infos are checked for their framing only, never decoded. That keeps the
// cost of a profile to a few microseconds where a full CMS decode spends most
// of a millisecond on the certificates' public keys.
#include <optional>
#include <string>
#include <string_view>

namespace profile {

// The content bytes exactly as they were signed, or nothing with a short
// reason in *error: not a CMS message (or a damaged one), not SignedData, or
// no content embedded (a detached signature).
std::optional<std::string> cmsEncapsulatedContent(std::string_view message, std::string* error = nullptr);

}  // namespace profile

#pragma once
// Entitlements in the two forms a signature carries them: the XML property
// list as given, and the DER encoding devices read since iOS 15.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/plist.h"
#include "platform/result.h"

namespace codesign {

constexpr uint32_t CSMAGIC_EMBEDDED_ENTITLEMENTS = 0xfade7171;
constexpr uint32_t CSMAGIC_EMBEDDED_DER_ENTITLEMENTS = 0xfade7172;

// The DER form of an entitlements dictionary: [APPLICATION 16] { INTEGER 1,
// [CONTEXT 16] dictionary } with keys sorted by their bytes. Booleans,
// integers, strings, arrays and dictionaries only; anything else gives
// nothing and a reason in *error.
platform::Result<std::string> derEntitlements(const platform::plist::Dict& entitlements);

// A blob: magic, length, payload.
std::string wrapBlob(uint32_t magic, std::string_view payload);

}  // namespace codesign

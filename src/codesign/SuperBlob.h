#pragma once
// The embedded signature: a SuperBlob indexing the CodeDirectories,
// requirements, entitlements and the CMS signature of one slice.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace codesign {

constexpr uint32_t CSMAGIC_EMBEDDED_SIGNATURE = 0xfade0cc0;
constexpr uint32_t CSMAGIC_BLOBWRAPPER = 0xfade0b01;

// Index types (slots) of the embedded signature.
constexpr uint32_t CSSLOT_CODEDIRECTORY = 0;
constexpr uint32_t CSSLOT_REQUIREMENTS = 2;
constexpr uint32_t CSSLOT_ENTITLEMENTS = 5;
constexpr uint32_t CSSLOT_DER_ENTITLEMENTS = 7;
constexpr uint32_t CSSLOT_ALTERNATE_CODEDIRECTORIES = 0x1000;
constexpr uint32_t CSSLOT_ALTERNATE_CODEDIRECTORY_LIMIT = 5;
constexpr uint32_t CSSLOT_SIGNATURESLOT = 0x10000;

constexpr uint32_t kSuperBlobHeaderSize = 12;
constexpr uint32_t kSuperBlobIndexEntrySize = 8;

// Blobs keyed by slot; written in ascending slot order, packed.
using BlobMap = std::map<uint32_t, std::string>;

uint32_t superBlobSize(const std::map<uint32_t, size_t>& blobSizes);
std::string buildSuperBlob(const BlobMap& blobs);

// The blobs of an embedded signature, each bounded by the SuperBlob and by
// its own length field. Nothing when the structure does not hold.
platform::Result<std::map<uint32_t, std::string_view>> parseSuperBlob(std::string_view data);

}  // namespace codesign

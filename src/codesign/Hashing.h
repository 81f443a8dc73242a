#pragma once
// The digests of code signatures. The hash types, their sizes, names and
// ranks, one-shot and page digests are the crypto layer's; codesign names
// them here so that its files keep one include.
#include "codesign/CodeResources.h"
#include "crypto/Hash.h"

namespace codesign {

using crypto::digest;
using crypto::hashName;
using crypto::hashRank;
using crypto::hashSize;
using crypto::kHashTypeSha256Truncated;
using crypto::kHashTypeSha384;
using crypto::PageHasher;

}  // namespace codesign

#pragma once
// The digests of code signatures: one-shot hashes of blobs and files, and the
// page hashes of code, for the hash types a CodeDirectory names.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "codesign/CodeResources.h"

namespace codesign {

// CodeDirectory hashType numbers beyond the two the seal uses.
constexpr unsigned char kHashTypeSha256Truncated = 3;
constexpr unsigned char kHashTypeSha384 = 4;

size_t hashSize(HashType type);              // bytes of one digest: 20 or 32
const char* hashName(HashType type);         // "sha1", "sha256"
std::string digest(HashType type, std::string_view bytes);
// The rank the kernel gives a hash type when it picks the CodeDirectory to
// use: higher is stronger.
int hashRank(HashType type);

// Digests consecutive pages of a byte stream fed in order; the last page may
// be short. Feeding whole pages avoids copying.
class PageHasher {
public:
    PageHasher(HashType type, size_t pageSize);
    ~PageHasher();
    PageHasher(const PageHasher&) = delete;
    PageHasher& operator=(const PageHasher&) = delete;
    PageHasher(PageHasher&&) noexcept;

    void update(const char* data, size_t length);
    // The concatenated page digests; ends the stream.
    std::string finish();

private:
    void hashPage(const char* data, size_t length);

    HashType type;
    size_t pageSize;
    std::string pending;
    std::string hashes;
    struct Context;
    std::unique_ptr<Context> context;
};

}  // namespace codesign

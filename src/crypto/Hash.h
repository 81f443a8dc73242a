#pragma once
// The digests of code signatures and keychains: the hash types with their
// sizes, names, ranks and OIDs in one table, one-shot and streaming digests,
// and the page digests of code.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace crypto {

// The hash types, by their CodeDirectory hashType numbers.
enum class HashType : unsigned char { SHA1 = 1, SHA256 = 2 };

// CodeDirectory hashType numbers beyond the two the seal uses.
constexpr unsigned char kHashTypeSha256Truncated = 3;
constexpr unsigned char kHashTypeSha384 = 4;

struct HashInfo {
    HashType type;
    size_t size;          // bytes of one digest
    const char* name;     // "sha1", "sha256"
    int rank;             // the rank the kernel gives the type when it picks a CodeDirectory: higher is stronger
    const char* oid;      // the digest algorithm's OID, dotted
    const char* digestName;  // the algorithm as OpenSSL fetches it
};

const HashInfo& hashInfo(HashType type);
// The type of a hashType number, or nothing for a number not in the table.
std::optional<HashType> hashTypeOf(unsigned number);

size_t hashSize(HashType type);       // 20 or 32
const char* hashName(HashType type);  // "sha1", "sha256"
int hashRank(HashType type);
const char* hashOid(HashType type);

// The digest of bytes; OpenSSL failing (an allocation) gives an Error.
platform::Result<std::string> digestOf(HashType type, std::string_view bytes);
// The same where a failure cannot be acted on: empty on failure.
std::string digest(HashType type, std::string_view bytes);

// A digest of a stream fed in pieces; reusable: finish() starts the next stream.
class Digester {
public:
    explicit Digester(HashType type);
    ~Digester();
    Digester(Digester&&) noexcept;
    Digester& operator=(Digester&&) noexcept;
    Digester(const Digester&) = delete;
    Digester& operator=(const Digester&) = delete;

    HashType type() const { return _type; }
    // False once OpenSSL has failed; every later call fails too.
    bool usable() const;
    bool update(const void* data, size_t length);
    bool update(std::string_view bytes) { return update(bytes.data(), bytes.size()); }
    // The digest of everything fed since the last finish (or construction).
    platform::Result<std::string> finish();

private:
    bool begin();

    HashType _type;
    struct State;
    std::unique_ptr<State> _state;
};

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

    size_t pageSize;
    std::string pending;
    std::string hashes;
    Digester digester;
};

}  // namespace crypto

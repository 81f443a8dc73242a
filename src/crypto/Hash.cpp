#include "crypto/Hash.h"

#include <openssl/err.h>

#include <algorithm>
#include <iterator>

#include "crypto/OpenSsl.h"

namespace crypto {

namespace {

constexpr HashInfo kHashes[] = {
    {HashType::SHA1, 20, "sha1", 1, "1.3.14.3.2.26", "SHA1"},
    {HashType::SHA256, 32, "sha256", 3, "2.16.840.1.101.3.4.2.1", "SHA256"},
};

// The fetched algorithm of each type, once for the process.
const EVP_MD* messageDigest(HashType type) {
    struct Fetched {
        MdPtr md[std::size(kHashes)];
        Fetched() {
            for (size_t i = 0; i < std::size(kHashes); ++i) md[i].reset(EVP_MD_fetch(nullptr, kHashes[i].digestName, nullptr));
            ERR_clear_error();
        }
    };
    // Never destroyed: a thread may still be hashing while the process ends.
    static const Fetched* fetched = new Fetched();
    for (size_t i = 0; i < std::size(kHashes); ++i)
        if (kHashes[i].type == type) return fetched->md[i].get();
    return nullptr;
}

platform::Error digestFailure() {
    ERR_clear_error();
    return platform::Error("Unable to compute a digest (OpenSSL failed).");
}

}  // namespace

const HashInfo& hashInfo(HashType type) {
    for (const auto& info : kHashes)
        if (info.type == type) return info;
    return kHashes[0];  // unreachable for a value of the enumeration
}

std::optional<HashType> hashTypeOf(unsigned number) {
    for (const auto& info : kHashes)
        if (static_cast<unsigned>(info.type) == number) return info.type;
    return std::nullopt;
}

size_t hashSize(HashType type) { return hashInfo(type).size; }
const char* hashName(HashType type) { return hashInfo(type).name; }
int hashRank(HashType type) { return hashInfo(type).rank; }
const char* hashOid(HashType type) { return hashInfo(type).oid; }

platform::Result<std::string> digestOf(HashType type, std::string_view bytes) {
    const EVP_MD* md = messageDigest(type);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!md || EVP_Digest(bytes.data(), bytes.size(), out, &length, md, nullptr) != 1) return digestFailure();
    return std::string(reinterpret_cast<const char*>(out), length);
}

std::string digest(HashType type, std::string_view bytes) {
    auto result = digestOf(type, bytes);
    return result ? std::move(*result) : std::string();
}

struct Digester::State {
    MdCtxPtr ctx{EVP_MD_CTX_new()};
    bool started = false;
    bool failed = false;
};

Digester::Digester(HashType type) : _type(type), _state(std::make_unique<State>()) {
    if (!_state->ctx) _state->failed = true;
}
Digester::~Digester() = default;
Digester::Digester(Digester&&) noexcept = default;
Digester& Digester::operator=(Digester&&) noexcept = default;

bool Digester::usable() const { return _state && !_state->failed; }

bool Digester::begin() {
    if (!usable()) return false;
    if (_state->started) return true;
    const EVP_MD* md = messageDigest(_type);
    if (!md || EVP_DigestInit_ex(_state->ctx.get(), md, nullptr) != 1) {
        _state->failed = true;
        ERR_clear_error();
        return false;
    }
    _state->started = true;
    return true;
}

bool Digester::update(const void* data, size_t length) {
    if (!begin()) return false;
    if (length > 0 && EVP_DigestUpdate(_state->ctx.get(), data, length) != 1) {
        _state->failed = true;
        ERR_clear_error();
        return false;
    }
    return true;
}

platform::Result<std::string> Digester::finish() {
    if (!begin()) return digestFailure();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    _state->started = false;
    if (EVP_DigestFinal_ex(_state->ctx.get(), out, &length) != 1) {
        _state->failed = true;
        return digestFailure();
    }
    return std::string(reinterpret_cast<const char*>(out), length);
}

PageHasher::PageHasher(HashType type, size_t pageSize) : pageSize(pageSize), digester(type) {}
PageHasher::~PageHasher() = default;
PageHasher::PageHasher(PageHasher&&) noexcept = default;

void PageHasher::hashPage(const char* data, size_t length) {
    digester.update(data, length);
    auto page = digester.finish();
    // A failed digest still takes its slot, so that the slots stay in place
    // and the signature fails to verify rather than shifting its pages.
    if (page)
        hashes += *page;
    else
        hashes.append(hashSize(digester.type()), '\0');
}

void PageHasher::update(const char* data, size_t length) {
    if (!pending.empty()) {
        size_t take = std::min(length, pageSize - pending.size());
        pending.append(data, take);
        data += take;
        length -= take;
        if (pending.size() < pageSize) return;
        hashPage(pending.data(), pending.size());
        pending.clear();
    }
    while (length >= pageSize) {
        hashPage(data, pageSize);
        data += pageSize;
        length -= pageSize;
    }
    pending.assign(data, length);
}

std::string PageHasher::finish() {
    if (!pending.empty()) hashPage(pending.data(), pending.size());
    pending.clear();
    return std::move(hashes);
}

}  // namespace crypto

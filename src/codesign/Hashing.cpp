#include "codesign/Hashing.h"

#include <openssl/evp.h>

#include "codesign/Bytes.h"

namespace codesign {

namespace {
const EVP_MD* messageDigest(HashType type) { return type == HashType::SHA1 ? EVP_sha1() : EVP_sha256(); }
}  // namespace

size_t hashSize(HashType type) { return type == HashType::SHA1 ? 20 : 32; }

const char* hashName(HashType type) { return type == HashType::SHA1 ? "sha1" : "sha256"; }

int hashRank(HashType type) { return type == HashType::SHA1 ? 1 : 3; }

std::string digest(HashType type, std::string_view bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), out, &length, messageDigest(type), nullptr);
    return std::string(reinterpret_cast<const char*>(out), length);
}

struct PageHasher::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

PageHasher::PageHasher(HashType type, size_t pageSize)
    : type(type), pageSize(pageSize), context(std::make_unique<Context>()) {}

PageHasher::~PageHasher() = default;
PageHasher::PageHasher(PageHasher&&) noexcept = default;

void PageHasher::hashPage(const char* data, size_t length) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLength = 0;
    EVP_DigestInit_ex(context->ctx, messageDigest(type), nullptr);
    EVP_DigestUpdate(context->ctx, data, length);
    EVP_DigestFinal_ex(context->ctx, out, &outLength);
    hashes.append(reinterpret_cast<const char*>(out), outLength);
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

namespace bytes {
std::string toHex(std::string_view data, bool upper) {
    static const char* lower = "0123456789abcdef";
    static const char* upperDigits = "0123456789ABCDEF";
    const char* digits = upper ? upperDigits : lower;
    std::string out;
    out.reserve(data.size() * 2);
    for (unsigned char c : data) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}
}  // namespace bytes

}  // namespace codesign

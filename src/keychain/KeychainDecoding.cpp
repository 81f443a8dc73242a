#include "keychain/KeychainParts.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <iterator>
#include <map>
#include <memory>
#include <mutex>

#include "crypto/Certificate.h"
#include "crypto/Der.h"
#include "crypto/Hash.h"
#include "crypto/Hex.h"

namespace keychain {

using namespace detail;

namespace {

using BnPtr = crypto::BignumPtr;
using crypto::BioPtr;
using crypto::PKeyCtxPtr;
using IntegerPtr = crypto::Asn1IntegerPtr;
using P8Ptr = crypto::Pkcs8Ptr;
using crypto::ParamBuildPtr;
using crypto::ParamsPtr;

// A two-prime RSA key in PKCS#8 (the form the keychain stores), built from
// its numbers. OpenSSL's generic key decoding sets up every key decoder it
// has for each key it reads, which costs more than a small item's signature.
// Nothing for any other key or form, or for anything unusual in this one: the
// generic decoding then has the last word.
PKeyPtr rsaKeyFromPkcs8(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* const end = p + der.size();
    P8Ptr info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
    const ASN1_OBJECT* algorithm = nullptr;
    const unsigned char* key = nullptr;
    int keyLength = 0;
    if (!info || p != end || PKCS8_pkey_get0(&algorithm, &key, &keyLength, nullptr, info.get()) != 1 ||
        OBJ_obj2nid(algorithm) != NID_rsaEncryption)
        return nullptr;
    // RSAPrivateKey ::= SEQUENCE { version (0: two primes), n, e, d, p, q, d mod (p-1), d mod (q-1), q^-1 mod p }
    namespace ber = crypto::der;
    ber::BerReader reader(std::string_view(reinterpret_cast<const char*>(key), static_cast<size_t>(keyLength)));
    auto sequence = reader.readWhole();
    if (!sequence || !sequence->is(ber::kClassUniversal, ber::kTagSequence) || !sequence->constructed ||
        sequence->indefinite)
        return nullptr;
    auto fields = reader.children(*sequence);
    constexpr const char* kNames[] = {nullptr,
                                      OSSL_PKEY_PARAM_RSA_N,
                                      OSSL_PKEY_PARAM_RSA_E,
                                      OSSL_PKEY_PARAM_RSA_D,
                                      OSSL_PKEY_PARAM_RSA_FACTOR1,
                                      OSSL_PKEY_PARAM_RSA_FACTOR2,
                                      OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                      OSSL_PKEY_PARAM_RSA_EXPONENT2,
                                      OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    if (!fields || fields->size() != std::size(kNames)) return nullptr;
    BnPtr numbers[std::size(kNames)];
    for (size_t i = 0; i < std::size(kNames); ++i) {
        const ber::Element& field = (*fields)[i];
        if (!field.is(ber::kClassUniversal, ber::kTagInteger) || field.constructed) return nullptr;
        std::string_view encoded = reader.encoding(field);
        const unsigned char* q = reinterpret_cast<const unsigned char*>(encoded.data());
        IntegerPtr integer(d2i_ASN1_INTEGER(nullptr, &q, static_cast<long>(encoded.size())));
        if (!integer || q != reinterpret_cast<const unsigned char*>(encoded.data() + encoded.size())) return nullptr;
        numbers[i].reset(ASN1_INTEGER_to_BN(integer.get(), nullptr));
        if (!numbers[i] || BN_is_negative(numbers[i].get())) return nullptr;
    }
    if (!BN_is_zero(numbers[0].get())) return nullptr;
    ParamBuildPtr build(OSSL_PARAM_BLD_new());
    if (!build) return nullptr;
    for (size_t i = 1; i < std::size(kNames); ++i) {
        if (BN_is_zero(numbers[i].get()) || OSSL_PARAM_BLD_push_BN(build.get(), kNames[i], numbers[i].get()) != 1)
            return nullptr;
    }
    ParamsPtr params(OSSL_PARAM_BLD_to_param(build.get()));
    PKeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* made = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_KEYPAIR, params.get()) != 1)
        return nullptr;
    return PKeyPtr(made);
}

// The element at pos, which must end by limit: nothing when it is malformed
// or has an indefinite length (BER, never DER).
std::optional<crypto::der::Element> derElementAt(const crypto::der::BerReader& reader, size_t pos, size_t limit) {
    auto element = reader.read(pos, limit);
    if (!element || element->indefinite) return std::nullopt;
    return *element;
}

}  // namespace

namespace detail {

X509Ptr parseCertificate(const std::string& der) {
    auto certificate = crypto::certificateFromDer(der);
    return certificate ? std::move(*certificate) : nullptr;
}

PKeyPtr parsePrivateKey(const std::string& der) {
    if (PKeyPtr rsa = rsaKeyFromPkcs8(der)) {
        ERR_clear_error();
        return rsa;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    PKeyPtr key(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    return key;
}

std::string certificateDer(X509* cert) {
    auto der = crypto::certificateToDer(cert);
    return der ? std::move(*der) : std::string();
}

std::string privateKeyDer(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !i2d_PKCS8PrivateKey_bio(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)) return {};
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

std::string sha1Hex(const std::string& bytes) {
    return crypto::toHex(crypto::digest(crypto::HashType::SHA1, bytes), crypto::HexCase::Upper);
}

std::optional<NameFields> nameFields(const std::string& der) {
    using crypto::der::kClassContext;
    using crypto::der::kClassUniversal;
    using crypto::der::kTagInteger;
    using crypto::der::kTagSequence;
    // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
    //   serialNumber, signature, issuer, validity, subject, ... }, ... }
    crypto::der::BerReader reader(der);
    auto certificate = derElementAt(reader, 0, der.size());
    if (!certificate || !certificate->is(kClassUniversal, kTagSequence)) return std::nullopt;
    auto tbs = derElementAt(reader, certificate->contentStart, certificate->contentEnd);
    if (!tbs || !tbs->is(kClassUniversal, kTagSequence)) return std::nullopt;
    size_t pos = tbs->contentStart;
    // The next element of tbsCertificate, stepped over.
    auto next = [&]() {
        auto element = derElementAt(reader, pos, tbs->contentEnd);
        if (element) pos = element->end;
        return element;
    };
    auto field = next();
    if (field && field->is(kClassContext, 0)) field = next();
    if (!field || field->tag != kTagInteger) return std::nullopt;  // the serial number
    field = next();  // the signature algorithm
    if (!field || field->tag != kTagSequence) return std::nullopt;
    auto issuer = next();
    if (!issuer || issuer->tag != kTagSequence) return std::nullopt;
    field = next();  // the validity
    if (!field || field->tag != kTagSequence) return std::nullopt;
    auto subject = next();
    if (!subject || subject->tag != kTagSequence) return std::nullopt;
    NameFields names;
    names.issuer = reader.encoding(*issuer);
    names.subject = reader.encoding(*subject);
    return names;
}

NamePtr parseName(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    NamePtr name(d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    return name;
}

std::string commonNameIn(X509_NAME* name) { return crypto::nameEntryText(name, NID_commonName); }

std::optional<Certificate> describeStored(std::string der) {
    auto names = nameFields(der);
    NamePtr subject = names ? parseName(names->subject) : nullptr;
    if (!subject) return Certificate::fromDer(std::move(der));
    Certificate c;
    c.sha1 = sha1Hex(der);
    c.commonName = commonNameIn(subject.get());
    c.der = std::move(der);
    return c;
}

}  // namespace detail

std::optional<Certificate> Certificate::fromDer(std::string der) {
    X509Ptr cert = parseCertificate(der);
    if (!cert) return std::nullopt;
    Certificate c;
    c.sha1 = sha1Hex(der);
    c.commonName = commonNameIn(X509_get_subject_name(cert.get()));
    c.der = std::move(der);
    return c;
}

struct Store::Decoded {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<X509>, std::less<>> certificates;
    std::map<std::string, std::shared_ptr<EVP_PKEY>, std::less<>> keys;
};

Store::Store(std::string location) : _location(std::move(location)), _decoded(std::make_shared<Decoded>()) {}

namespace {

// The value decoded from der, taken from the map when decoded before; only
// the look-up and the insertion hold the lock, so decodings run in parallel.
template <typename T, typename Decode>
std::shared_ptr<T> decodedOnce(std::mutex& mutex, std::map<std::string, std::shared_ptr<T>, std::less<>>& decoded,
                               const std::string& der, Decode decode) {
    {
        std::lock_guard lock(mutex);
        if (auto found = decoded.find(der); found != decoded.end()) return found->second;
    }
    auto fresh = decode(der);
    if (!fresh) return nullptr;
    std::shared_ptr<T> shared(std::move(fresh));
    std::lock_guard lock(mutex);
    return decoded.emplace(der, std::move(shared)).first->second;
}

}  // namespace

std::shared_ptr<X509> Store::decodedCertificate(const std::string& der) const {
    return decodedOnce(_decoded->mutex, _decoded->certificates, der, parseCertificate);
}

std::shared_ptr<EVP_PKEY> Store::decodedPrivateKey(const std::string& der) const {
    return decodedOnce(_decoded->mutex, _decoded->keys, der, parsePrivateKey);
}

}  // namespace keychain

#include "keychain/Keychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "crypto/Certificate.h"
#include "crypto/Der.h"
#include "crypto/Hash.h"
#include "crypto/Hex.h"
#include "crypto/OpenSsl.h"

namespace keychain {

namespace {

namespace path = platform::path;
using platform::Error;
using platform::ErrorKind;

// Folder and file names of the on-disk format (see Keychain.h).
constexpr const char* kIdentitiesFolder = "identities";
constexpr const char* kCertificatesFolder = "certs";
constexpr const char* kCertificateFile = "cert.der";
constexpr const char* kKeyFile = "key.der";
constexpr const char* kCertificateExtension = "der";
constexpr size_t kSequenceDigits = 8;
constexpr size_t kMaxChainLength = 10;

using BnPtr = crypto::BignumPtr;
using crypto::BioPtr;
using crypto::PKeyCtxPtr;
using crypto::PKeyPtr;
using crypto::X509NamePtr;
using crypto::X509Ptr;
using crypto::X509StackPtr;
using EkuPtr = crypto::ExtendedKeyUsagePtr;
using IntegerPtr = crypto::Asn1IntegerPtr;
using P12Ptr = crypto::Pkcs12Ptr;
using P8Ptr = crypto::Pkcs8Ptr;
using crypto::ParamBuildPtr;
using crypto::ParamsPtr;

X509Ptr parseCertificate(const std::string& der) {
    auto certificate = crypto::certificateFromDer(der);
    return certificate ? std::move(*certificate) : nullptr;
}

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
    const unsigned char* q = key;
    const unsigned char* const keyEnd = key + keyLength;
    long length = 0;
    int tag = 0, cls = 0;
    if ((ASN1_get_object(&q, &length, &tag, &cls, keyLength) & 0x80) != 0 || tag != V_ASN1_SEQUENCE ||
        cls != V_ASN1_UNIVERSAL || length != keyEnd - q)
        return nullptr;
    constexpr const char* kNames[] = {nullptr,
                                      OSSL_PKEY_PARAM_RSA_N,
                                      OSSL_PKEY_PARAM_RSA_E,
                                      OSSL_PKEY_PARAM_RSA_D,
                                      OSSL_PKEY_PARAM_RSA_FACTOR1,
                                      OSSL_PKEY_PARAM_RSA_FACTOR2,
                                      OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                      OSSL_PKEY_PARAM_RSA_EXPONENT2,
                                      OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    BnPtr numbers[std::size(kNames)];
    for (auto& number : numbers) {
        IntegerPtr integer(d2i_ASN1_INTEGER(nullptr, &q, static_cast<long>(keyEnd - q)));
        if (!integer) return nullptr;
        number.reset(ASN1_INTEGER_to_BN(integer.get(), nullptr));
        if (!number || BN_is_negative(number.get())) return nullptr;
    }
    if (q != keyEnd || !BN_is_zero(numbers[0].get())) return nullptr;
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

using NamePtr = X509NamePtr;

// The DER of a certificate's issuer and subject names, found by walking the
// framing of the certificate only. Decoding a whole certificate spends most
// of its time on the public key, which listing and chain look-ups never need.
struct NameFields {
    std::string issuer, subject;
};

// The element at pos, which must end by limit: nothing when it is malformed
// or has an indefinite length (BER, never DER).
std::optional<crypto::der::Element> derElementAt(const crypto::der::BerReader& reader, size_t pos, size_t limit) {
    auto element = reader.read(pos, limit);
    if (!element || element->indefinite) return std::nullopt;
    return *element;
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

// A certificate the keychain wrote itself (checked whole when imported):
// its hash and name without decoding the rest.
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

bool isSha1Text(const std::string& text) {
    return text.size() == 40 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

std::string upper(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A folder only this user may enter; an existing one is tightened to 0700.
bool makePrivateFolder(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if ((st.st_mode & 0777) != 0700) ::chmod(dir.c_str(), 0700);
    return true;
}

// Writes a 0600 file under a temporary name beside the target, then renames
// it into place: the target is never seen half-written nor readable by others.
bool writePrivateFile(const std::string& target, const std::string& bytes) {
    std::string tmp = path::appendingPathComponent(path::deletingLastPathComponent(target),
                                                   "." + path::lastPathComponent(target) + ".XXXXXX");
    int fd = ::mkstemp(tmp.data());  // mkstemp creates the file 0600
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && platform::fs::writeAll(fd, bytes) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

void syncFolder(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Legacy PKCS#12 bundles (RC2, 3DES) need OpenSSL's legacy provider; once
// one provider is loaded by hand, the default one must be loaded by hand too.
// They stay loaded until the program ends, then are unloaded, before
// OpenSSL's own clean-up at exit runs.
void loadPkcs12Providers() {
    struct Providers {
        OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
        ~Providers() {
            if (legacy) OSSL_PROVIDER_unload(legacy);
            if (fallback) OSSL_PROVIDER_unload(fallback);
        }
    };
    static Providers providers;
    ERR_clear_error();
}

struct IdentityEntry {
    std::string folderName;
    Identity identity;
};

// The identity folders in the order they were added.
std::vector<IdentityEntry> readIdentities(const std::string& location) {
    std::vector<IdentityEntry> out;
    std::string root = path::appendingPathComponent(location, kIdentitiesFolder);
    for (const auto& name : platform::fs::contentsOfDirectory(root)) {
        if (name.empty() || name[0] == '.') continue;
        std::string dir = path::appendingPathComponent(root, name);
        auto der = platform::fs::readFile(path::appendingPathComponent(dir, kCertificateFile));
        auto key = platform::fs::readFile(path::appendingPathComponent(dir, kKeyFile));
        if (!der || !key) continue;
        auto cert = describeStored(std::move(*der));
        if (!cert) continue;
        out.push_back({name, Identity{std::move(*cert), std::move(*key)}});
    }
    return out;
}

// "00000012-ABC..." -> 12; anything else -> 0.
long sequenceOf(const std::string& folderName) {
    if (folderName.size() < kSequenceDigits + 1 || folderName[kSequenceDigits] != '-') return 0;
    long n = 0;
    for (size_t i = 0; i < kSequenceDigits; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(folderName[i]))) return 0;
        n = n * 10 + (folderName[i] - '0');
    }
    return n;
}

std::string sequenceName(long sequence, const std::string& sha1) {
    std::string digits = std::to_string(sequence);
    if (digits.size() < kSequenceDigits) digits.insert(0, kSequenceDigits - digits.size(), '0');
    return digits + "-" + sha1;
}

bool matchesName(const Identity& identity, const std::string& nameOrSha1) {
    if (isSha1Text(nameOrSha1) && identity.certificate.sha1 == upper(nameOrSha1)) return true;
    return identity.certificate.commonName == nameOrSha1;
}

// Certificates in PEM (any number of blocks) or one DER certificate.
std::vector<std::string> certificatesIn(const std::string& bytes) {
    std::vector<std::string> ders;
    if (bytes.find("-----BEGIN") != std::string::npos) {
        ders = crypto::certificatesInPem(bytes);
    } else if (auto cert = parseCertificate(bytes)) {
        ders.push_back(bytes);
    }
    return ders;
}

}  // namespace

std::optional<Certificate> Certificate::fromDer(std::string der) {
    X509Ptr cert = parseCertificate(der);
    if (!cert) return std::nullopt;
    Certificate c;
    c.sha1 = sha1Hex(der);
    c.commonName = commonNameIn(X509_get_subject_name(cert.get()));
    c.der = std::move(der);
    return c;
}

std::string Store::defaultLocation() {
    return path::appendingPathComponent(platform::folders::dataHome(), "ipa-resigner/keychain");
}

struct Store::Decoded {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<X509>, std::less<>> certificates;
    std::map<std::string, std::shared_ptr<EVP_PKEY>, std::less<>> keys;
};

Store::Store(std::string location) : _location(std::move(location)), _decoded(std::make_shared<Decoded>()) {}

std::shared_ptr<X509> Store::decodedCertificate(const std::string& der) const {
    {
        std::lock_guard lock(_decoded->mutex);
        if (auto found = _decoded->certificates.find(der); found != _decoded->certificates.end()) return found->second;
    }
    X509Ptr cert = parseCertificate(der);
    if (!cert) return nullptr;
    std::shared_ptr<X509> shared(cert.release(), X509_free);
    std::lock_guard lock(_decoded->mutex);
    return _decoded->certificates.emplace(der, std::move(shared)).first->second;
}

std::shared_ptr<EVP_PKEY> Store::decodedPrivateKey(const std::string& der) const {
    {
        std::lock_guard lock(_decoded->mutex);
        if (auto found = _decoded->keys.find(der); found != _decoded->keys.end()) return found->second;
    }
    PKeyPtr key = parsePrivateKey(der);
    if (!key) return nullptr;
    std::shared_ptr<EVP_PKEY> shared(key.release(), EVP_PKEY_free);
    std::lock_guard lock(_decoded->mutex);
    return _decoded->keys.emplace(der, std::move(shared)).first->second;
}

std::vector<Identity> Store::identities() const {
    std::vector<Identity> out;
    for (auto& entry : readIdentities(_location)) out.push_back(std::move(entry.identity));
    return out;
}

std::vector<Certificate> Store::certificates() const {
    // A certificate imported on its own before its identity arrived belongs
    // to the identity now: identity folders end in their certificate's hash.
    std::vector<std::string> identityHashes;
    for (const auto& folder : platform::fs::contentsOfDirectory(path::appendingPathComponent(_location, kIdentitiesFolder)))
        if (sequenceOf(folder) > 0) identityHashes.push_back(folder.substr(kSequenceDigits + 1));
    std::vector<Certificate> out;
    std::string root = path::appendingPathComponent(_location, kCertificatesFolder);
    for (const auto& name : platform::fs::contentsOfDirectory(root)) {
        if (name.empty() || name[0] == '.' || path::pathExtension(name) != kCertificateExtension) continue;
        if (std::find(identityHashes.begin(), identityHashes.end(), path::deletingPathExtension(name)) !=
            identityHashes.end())
            continue;
        auto der = platform::fs::readFile(path::appendingPathComponent(root, name));
        if (!der) continue;
        if (auto cert = describeStored(std::move(*der))) out.push_back(std::move(*cert));
    }
    return out;
}

std::optional<Identity> Store::findIdentity(const std::string& nameOrSha1) const {
    std::optional<Identity> first;
    for (auto& identity : identities()) {
        if (!matchesName(identity, nameOrSha1)) continue;
        if (check(identity, std::chrono::system_clock::now(), Policy::CodeSigning, this).empty()) return identity;
        if (!first) first = std::move(identity);
    }
    return first;
}

std::vector<Certificate> Store::chainFor(const Certificate& leaf) const {
    // Candidates are told apart by subject name first; only those whose name
    // fits are decoded whole and checked by signature.
    struct Candidate {
        Certificate certificate;
        NamePtr subject;
    };
    std::vector<Candidate> pool;
    auto add = [&pool](Certificate c) {
        auto names = nameFields(c.der);
        if (NamePtr subject = names ? parseName(names->subject) : nullptr)
            pool.push_back({std::move(c), std::move(subject)});
    };
    for (auto& c : certificates()) add(std::move(c));
    for (auto& identity : identities()) add(std::move(identity.certificate));

    std::vector<Certificate> chain;
    std::vector<std::string> seen{leaf.sha1};
    std::shared_ptr<X509> current = decodedCertificate(leaf.der);
    while (current && chain.size() < kMaxChainLength) {
        if (X509_check_issued(current.get(), current.get()) == X509_V_OK) break;  // self-signed: the top
        X509_NAME* issuerName = X509_get_issuer_name(current.get());
        const Candidate* issuer = nullptr;
        std::shared_ptr<X509> issuerX509;
        for (const auto& candidate : pool) {
            if (X509_NAME_cmp(candidate.subject.get(), issuerName) != 0) continue;
            if (std::find(seen.begin(), seen.end(), candidate.certificate.sha1) != seen.end()) continue;
            std::shared_ptr<X509> x = decodedCertificate(candidate.certificate.der);
            if (!x || X509_check_issued(x.get(), current.get()) != X509_V_OK) continue;
            EVP_PKEY* key = X509_get0_pubkey(x.get());
            if (!key || X509_verify(current.get(), key) != 1) continue;
            issuer = &candidate;
            issuerX509 = std::move(x);
            break;
        }
        ERR_clear_error();
        if (!issuer) break;
        seen.push_back(issuer->certificate.sha1);
        chain.push_back(issuer->certificate);
        current = std::move(issuerX509);
    }
    return chain;
}

std::string Store::invalidReason(const Identity& identity, std::chrono::system_clock::time_point now,
                                 Policy policy) {
    return check(identity, now, policy, nullptr);
}

// invalidReason, decoding through *decoding when given.
std::string Store::check(const Identity& identity, std::chrono::system_clock::time_point now, Policy policy,
                         const Store* decoding) {
    std::shared_ptr<X509> decodedCert;
    X509Ptr ownCert;
    if (decoding) {
        decodedCert = decoding->decodedCertificate(identity.certificate.der);
    } else {
        ownCert = parseCertificate(identity.certificate.der);
    }
    X509* cert = decoding ? decodedCert.get() : ownCert.get();
    if (!cert) return kReasonBadCertificate;
    time_t t = std::chrono::system_clock::to_time_t(now);
    // X509_cmp_time: -1 when the certificate's time lies before t, 1 after, 0 on a malformed time.
    int afterEnd = X509_cmp_time(X509_get0_notAfter(cert), &t);
    int beforeStart = X509_cmp_time(X509_get0_notBefore(cert), &t);
    if (afterEnd == 0 || beforeStart == 0) return kReasonBadCertificate;
    if (afterEnd < 0) return kReasonExpired;
    if (beforeStart > 0) return kReasonNotYetValid;

    // Code signing must be named in the extended key usage: a certificate
    // without the extension is not a signing certificate.
    int critical = 0;
    EkuPtr eku(static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, &critical, nullptr)));
    bool codeSigning = policy == Policy::Basic;
    for (int i = 0; eku && i < sk_ASN1_OBJECT_num(eku.get()); ++i)
        if (OBJ_obj2nid(sk_ASN1_OBJECT_value(eku.get(), i)) == NID_code_sign) codeSigning = true;
    ERR_clear_error();
    if (!codeSigning) return kReasonNoCodeSigning;

    std::shared_ptr<EVP_PKEY> decodedKey;
    PKeyPtr ownKey;
    if (decoding) {
        decodedKey = decoding->decodedPrivateKey(identity.privateKeyDer);
    } else {
        ownKey = parsePrivateKey(identity.privateKeyDer);
    }
    EVP_PKEY* key = decoding ? decodedKey.get() : ownKey.get();
    bool matches = key && X509_check_private_key(cert, key) == 1;
    ERR_clear_error();
    if (!matches) return kReasonKeyMismatch;
    return "";
}

platform::Result<> Store::importPkcs12(const std::string& bytes, const std::string& password) {
    auto failWith = [](ErrorKind kind, const char* message) {
        ERR_clear_error();
        return Error(kind, message);
    };
    loadPkcs12Providers();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    P12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    if (!p12) return failWith(ErrorKind::Malformed, "Unknown format in import.");

    // A bundle made "without a password" may have used an empty one or none.
    const char* pass = password.c_str();
    if (PKCS12_mac_present(p12.get())) {
        if (PKCS12_verify_mac(p12.get(), pass, -1) != 1) {
            if (!password.empty() || PKCS12_verify_mac(p12.get(), nullptr, 0) != 1)
                return failWith(ErrorKind::Failed, "MAC verification failed during PKCS12 import (wrong password?)");
            pass = nullptr;
        }
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    int parsed = PKCS12_parse(p12.get(), pass, &rawKey, &rawCert, &rawCa);
    PKeyPtr key(rawKey);
    X509Ptr cert(rawCert);
    X509StackPtr ca(rawCa);
    if (!parsed) return failWith(ErrorKind::Malformed, "Unable to decode the PKCS12 file: damaged, or its encryption is not supported.");
    if (!key || !cert) return failWith(ErrorKind::Failed, "The PKCS12 file holds no identity (a certificate with its private key).");
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        return failWith(ErrorKind::Failed, "The private key in the PKCS12 file does not match its certificate.");

    auto leaf = Certificate::fromDer(certificateDer(cert.get()));
    std::string keyDer = privateKeyDer(key.get());
    if (!leaf || keyDer.empty()) return failWith(ErrorKind::Malformed, "Unable to decode the PKCS12 file.");
    std::vector<std::string> chainDers;
    for (int i = 0; ca && i < sk_X509_num(ca.get()); ++i) chainDers.push_back(certificateDer(sk_X509_value(ca.get(), i)));

    auto existing = readIdentities(_location);
    for (const auto& entry : existing)
        if (entry.identity.certificate.sha1 == leaf->sha1)
            return failWith(ErrorKind::Exists, kAlreadyExists);

    std::string identitiesRoot = path::appendingPathComponent(_location, kIdentitiesFolder);
    if (!platform::fs::createDirectory(path::deletingLastPathComponent(_location)) || !makePrivateFolder(_location) ||
        !makePrivateFolder(identitiesRoot))
        return failWith(ErrorKind::Io, "Unable to create the keychain folder.");

    // Fill the identity under a temporary name, then rename it whole.
    std::string staging = path::appendingPathComponent(identitiesRoot, ".new-XXXXXX");
    if (!::mkdtemp(staging.data())) return failWith(ErrorKind::Io, "Unable to write to the keychain.");
    bool ok = writePrivateFile(path::appendingPathComponent(staging, kCertificateFile), leaf->der) &&
              writePrivateFile(path::appendingPathComponent(staging, kKeyFile), keyDer);
    long next = 1;
    for (const auto& entry : existing) next = std::max(next, sequenceOf(entry.folderName) + 1);
    std::string finalFolder = path::appendingPathComponent(identitiesRoot, sequenceName(next, leaf->sha1));
    if (ok) ok = ::rename(staging.c_str(), finalFolder.c_str()) == 0;
    if (!ok) {
        platform::fs::removeItem(staging);
        return failWith(ErrorKind::Io, "Unable to write to the keychain.");
    }
    syncFolder(identitiesRoot);

    // The chain is an addition: intermediates that are already known are skipped.
    std::vector<Certificate> chain;
    for (auto& der : chainDers)
        if (auto c = Certificate::fromDer(std::move(der))) chain.push_back(std::move(*c));
    if (!chain.empty()) {
        auto stored = storeCertificates(std::move(chain));
        if (!stored && stored.kind() != ErrorKind::Exists) {
            platform::fs::removeItem(finalFolder);
            return stored.error();
        }
    }
    return {};
}

platform::Result<int> Store::importCertificates(const std::string& bytes) {
    std::vector<Certificate> found;
    for (auto& der : certificatesIn(bytes))
        if (auto cert = Certificate::fromDer(std::move(der))) found.push_back(std::move(*cert));
    if (found.empty()) return Error(ErrorKind::Malformed, "Unknown format in import.");
    return storeCertificates(std::move(found));
}

platform::Result<int> Store::storeCertificates(std::vector<Certificate> found) {
    std::string root = path::appendingPathComponent(_location, kCertificatesFolder);
    std::vector<std::string> identityHashes;
    for (const auto& identity : identities()) identityHashes.push_back(identity.certificate.sha1);
    std::vector<Certificate> fresh;
    for (auto& cert : found) {
        std::string target = path::appendingPathComponent(root, cert.sha1 + "." + kCertificateExtension);
        bool known = platform::fs::fileExists(target) ||
                     std::find(identityHashes.begin(), identityHashes.end(), cert.sha1) != identityHashes.end() ||
                     std::any_of(fresh.begin(), fresh.end(), [&](const Certificate& f) { return f.sha1 == cert.sha1; });
        if (!known) fresh.push_back(std::move(cert));
    }
    if (fresh.empty()) return Error(ErrorKind::Exists, kAlreadyExists);

    if (!platform::fs::createDirectory(path::deletingLastPathComponent(_location)) || !makePrivateFolder(_location) ||
        !makePrivateFolder(root))
        return Error(ErrorKind::Io, "Unable to create the keychain folder.");
    std::vector<std::string> written;
    for (const auto& cert : fresh) {
        std::string target = path::appendingPathComponent(root, cert.sha1 + "." + kCertificateExtension);
        if (!writePrivateFile(target, cert.der)) {
            for (const auto& w : written) ::unlink(w.c_str());
            return Error(ErrorKind::Io, "Unable to write to the keychain.");
        }
        written.push_back(target);
    }
    syncFolder(root);
    return static_cast<int>(written.size());
}

platform::Result<> Store::removeIdentity(const std::string& nameOrSha1) {
    std::vector<IdentityEntry> matches;
    for (auto& entry : readIdentities(_location))
        if (matchesName(entry.identity, nameOrSha1)) matches.push_back(std::move(entry));
    if (matches.empty())
        return Error(ErrorKind::NotFound,
                     "Unable to delete identity: the specified item could not be found in the keychain.");
    if (matches.size() > 1)
        return Error(ErrorKind::Failed,
                     "Unable to delete identity: more than one identity matches; name it by its SHA-1 hash (-Z).");
    std::string root = path::appendingPathComponent(_location, kIdentitiesFolder);
    std::string folder = path::appendingPathComponent(root, matches.front().folderName);
    // Rename first, so that a reader never sees the identity half removed.
    std::string doomed = path::appendingPathComponent(root, ".del-" + matches.front().folderName);
    if (::rename(folder.c_str(), doomed.c_str()) != 0)
        return Error(ErrorKind::Io, "Unable to delete identity: the keychain cannot be written.");
    platform::fs::removeItem(doomed);
    syncFolder(root);
    return {};
}

}  // namespace keychain

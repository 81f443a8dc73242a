#pragma once
// The per-user keychain shared by the security and codesign commands: signing
// identities (certificate + private key) and further certificates
// (intermediates, roots). This module alone owns the on-disk format.
//
// Location: (XDG data folder)/ipa-resigner/keychain. Layout:
//
//   keychain/                          0700
//     identities/                      0700
//       00000001-<SHA1>/               0700  one folder per identity, numbered
//         cert.der                     0600  in the order they were added
//         key.der                      0600  private key, unencrypted PKCS#8 DER
//     certs/                           0700
//       <SHA1>.der                     0600  intermediates and roots, DER
//
// <SHA1> is the certificate's SHA-1 in 40 upper-case hex digits. Every file
// is written to a temporary name and renamed into place; an identity folder
// is filled under a temporary name (starting with ".") and renamed whole, so
// readers see an identity complete or not at all. Names starting with "." are
// never read.
#include <openssl/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace keychain {

struct Certificate {
    std::string der;          // the certificate, DER
    std::string sha1;         // SHA-1 of der, 40 upper-case hex digits
    std::string commonName;   // subject CN ("" when none)

    // Nothing when der is not exactly one X.509 certificate.
    static std::optional<Certificate> fromDer(std::string der);
};

struct Identity {
    Certificate certificate;
    std::string privateKeyDer;  // PKCS#8 DER, unencrypted
};

// Reasons of invalidReason(), in the words find-identity prints them.
inline constexpr const char* kReasonExpired = "CSSMERR_TP_CERT_EXPIRED";
inline constexpr const char* kReasonNotYetValid = "CSSMERR_TP_CERT_NOT_VALID_YET";
inline constexpr const char* kReasonNoCodeSigning = "CSSMERR_APPLETP_INVALID_EXTENDED_KEY_USAGE";
inline constexpr const char* kReasonKeyMismatch = "CSSMERR_CSP_INVALID_KEY";
inline constexpr const char* kReasonBadCertificate = "CSSMERR_TP_INVALID_CERTIFICATE";

// The import failure for an identity or certificates the store holds already
// (ErrorKind::Exists).
inline constexpr const char* kAlreadyExists = "The specified item already exists in the keychain.";

// What an identity is judged for: code signing asks for the code-signing
// extended key usage on top of the basic checks (dates, matching key).
enum class Policy { CodeSigning, Basic };

class Store {
public:
    static std::string defaultLocation();
    explicit Store(std::string location = defaultLocation());

    const std::string& location() const { return _location; }

    // Every identity, in a stable order (the order they were added).
    std::vector<Identity> identities() const;
    // Every certificate that is not an identity's (intermediates, roots),
    // ordered by SHA-1.
    std::vector<Certificate> certificates() const;

    // By SHA-1 (any case) or by common name exactly as find-identity prints it.
    // Among several matches by name, the first valid one (else the first).
    std::optional<Identity> findIdentity(const std::string& nameOrSha1) const;

    // The issuers of a certificate as far as the store knows them, nearest
    // first, up to a self-signed root when present. Excludes the certificate.
    // Each link is checked by name and by signature; extensions that OpenSSL
    // does not know (the vendor's critical ones included) play no part.
    std::vector<Certificate> chainFor(const Certificate& leaf) const;

    // Why an identity is not valid for code signing, or "" when it is:
    // outside its validity period, no code-signing extended key usage, or a
    // private key that does not match the certificate (kReason... above).
    static std::string invalidReason(const Identity& identity,
                                     std::chrono::system_clock::time_point now = std::chrono::system_clock::now(),
                                     Policy policy = Policy::CodeSigning);

    // Imports. On failure nothing is written; the error's kind is Exists for
    // what the store holds already, Malformed for input that cannot be
    // decoded, Io when the keychain cannot be written, else Failed.
    // PKCS#12 in the current (AES) and the legacy (RC2, 3DES) encryption; an
    // empty password also opens a bundle made without one.
    platform::Result<> importPkcs12(const std::string& bytes, const std::string& password);
    // PEM (one or more) or DER; the value counts the certificates added.
    // Certificates already present are skipped (Exists when all were).
    platform::Result<int> importCertificates(const std::string& bytes);
    // By SHA-1 (any case) or by common name; a name must match one identity
    // only. NotFound when none matches, Io when the keychain cannot be written.
    platform::Result<> removeIdentity(const std::string& nameOrSha1);

    // A certificate (DER) and a private key (DER, as stored) decoded, each
    // distinct one once for this store and its copies: what findIdentity and
    // chainFor decoded to check is answered again without decoding. Empty
    // when the bytes cannot be decoded.
    std::shared_ptr<X509> decodedCertificate(const std::string& der) const;
    std::shared_ptr<EVP_PKEY> decodedPrivateKey(const std::string& der) const;

private:
    struct Decoded;
    static std::string check(const Identity& identity, std::chrono::system_clock::time_point now, Policy policy,
                             const Store* decoding);
    platform::Result<int> storeCertificates(std::vector<Certificate> certificates);

    std::string _location;
    std::shared_ptr<Decoded> _decoded;
};

}  // namespace keychain

#pragma once
// The per-user keychain shared by the security and codesign commands: signing
// identities (certificate + private key) and further certificates
// (intermediates, roots). This module alone owns the on-disk format.
//
// Location: (XDG data folder)/ipa-resigner/keychain, mode 0700; key files 0600;
// every file written atomically.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace keychain {

struct Certificate {
    std::string der;          // the certificate, DER
    std::string sha1;         // SHA-1 of der, 40 upper-case hex digits
    std::string commonName;   // subject CN ("" when none)
};

struct Identity {
    Certificate certificate;
    std::string privateKeyDer;  // PKCS#8 DER, unencrypted
};

class Store {
public:
    static std::string defaultLocation();
    explicit Store(std::string location = defaultLocation());

    const std::string& location() const { return _location; }

    // Every identity, in a stable order (the order they were added).
    std::vector<Identity> identities() const;
    // Every certificate that is not an identity's (intermediates, roots).
    std::vector<Certificate> certificates() const;

    // By SHA-1 (any case) or by common name exactly as find-identity prints it.
    // Among several matches by name, the first valid one.
    std::optional<Identity> findIdentity(const std::string& nameOrSha1) const;

    // The issuers of a certificate as far as the store knows them, nearest
    // first, up to a self-signed root when present. Excludes the certificate.
    std::vector<Certificate> chainFor(const Certificate& leaf) const;

    // Why an identity is not valid for code signing, or "" when it is:
    // outside its validity period, no code-signing extended key usage, or a
    // private key that does not match the certificate.
    static std::string invalidReason(const Identity& identity,
                                     std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

    // Imports. False with a message in *error, nothing written, on failure.
    bool importPkcs12(const std::string& bytes, const std::string& password, std::string* error);
    bool importCertificates(const std::string& bytes, std::string* error);  // PEM (one or more) or DER
    bool removeIdentity(const std::string& nameOrSha1, std::string* error);

private:
    std::string _location;
};

}  // namespace keychain

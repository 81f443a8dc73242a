#pragma once
// The keychain's parts shared by its source files: the names of the on-disk
// format (see Keychain.h), decoding, and the store's folders and files.
// Private to src/keychain; Keychain.h is the module's public face.
//
//   KeychainDecoding.cpp  certificates and private keys, Store::decoded*
//   KeychainStore.cpp     the on-disk format: folders, names, private files
//   KeychainChain.cpp     chains and validity (chainFor, invalidReason)
//   KeychainImport.cpp    imports and removal
#include <openssl/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "crypto/OpenSsl.h"
#include "keychain/Keychain.h"

namespace keychain::detail {

using crypto::PKeyPtr;
using crypto::X509Ptr;
using NamePtr = crypto::X509NamePtr;

// Folder and file names of the on-disk format (see Keychain.h).
inline constexpr const char* kIdentitiesFolder = "identities";
inline constexpr const char* kCertificatesFolder = "certs";
inline constexpr const char* kCertificateFile = "cert.der";
inline constexpr const char* kKeyFile = "key.der";
inline constexpr const char* kCertificateExtension = "der";
inline constexpr size_t kSequenceDigits = 8;

// Decoding (KeychainDecoding.cpp); nothing or "" when the input does not decode.

X509Ptr parseCertificate(const std::string& der);
// A private key in PKCS#8 DER, the form the keychain stores (other forms
// OpenSSL decodes are taken too).
PKeyPtr parsePrivateKey(const std::string& der);
std::string certificateDer(X509* cert);
// The key as unencrypted PKCS#8 DER.
std::string privateKeyDer(EVP_PKEY* key);
// 40 upper-case hex digits.
std::string sha1Hex(const std::string& bytes);

// The DER of a certificate's issuer and subject names, found by walking the
// framing of the certificate only. Decoding a whole certificate spends most
// of its time on the public key, which listing and chain look-ups never need.
struct NameFields {
    std::string issuer, subject;
};
std::optional<NameFields> nameFields(const std::string& der);
NamePtr parseName(const std::string& der);
std::string commonNameIn(X509_NAME* name);
// A certificate the keychain wrote itself (checked whole when imported):
// its hash and name without decoding the rest.
std::optional<Certificate> describeStored(std::string der);

// The store on disk (KeychainStore.cpp).

// A folder only this user may enter; an existing one is tightened to 0700.
bool makePrivateFolder(const std::string& dir);
// Writes a 0600 file under a temporary name beside the target, then renames
// it into place: the target is never seen half-written nor readable by others.
bool writePrivateFile(const std::string& target, const std::string& bytes);
void syncFolder(const std::string& dir);

struct IdentityEntry {
    std::string folderName;
    Identity identity;
};
// The identity folders in the order they were added.
std::vector<IdentityEntry> readIdentities(const std::string& location);
// "00000012-ABC..." -> 12; anything else -> 0.
long sequenceOf(const std::string& folderName);
// The folder name of an identity: its sequence number, then its SHA-1.
std::string sequenceName(long sequence, const std::string& sha1);
// By SHA-1 (any case) or by common name exactly.
bool matchesName(const Identity& identity, const std::string& nameOrSha1);

}  // namespace keychain::detail

#pragma once
// The CMS signature of a slice: a detached SignedData over the primary
// CodeDirectory, whose signed attributes bind every CodeDirectory by its
// cdhash (the plist form 1.2.840.113635.100.9.1 and the typed form ...9.2).
#include <openssl/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "codesign/Hashing.h"

namespace codesign {

constexpr std::string_view kCdHashesPlistOid = "1.2.840.113635.100.9.1";
constexpr std::string_view kCdHashesOid = "1.2.840.113635.100.9.2";
// Apple's certificate extensions; development certificates mark some of them
// critical, which generic verifiers do not know.
constexpr std::string_view kAppleCertificateExtensionArc = "1.2.840.113635.100.6.";

struct SigningIdentity {
    std::string certificateDer;
    std::string privateKeyDer;            // PKCS#8 or a traditional key, DER
    std::vector<std::string> chainDer;    // issuers, nearest first, as far as known
    // The same, already decoded (e.g. by the keychain look-up), so that they
    // are not decoded again; each one empty when not at hand. A chain entry
    // is used only when the vector is as long as chainDer. The key is still
    // checked against the certificate.
    std::shared_ptr<X509> certificate;
    std::shared_ptr<EVP_PKEY> privateKey;
    std::vector<std::shared_ptr<X509>> chain;
};

struct CertificateFacts {
    std::string commonName;
    std::string organizationalUnit;   // the first OU: the team identifier
    std::string organization;
    std::vector<std::string> extensionOids;  // dotted
    std::string sha1;                 // of the DER, raw bytes
    std::chrono::system_clock::time_point notBefore;
    std::chrono::system_clock::time_point notAfter;
    bool selfSigned = false;
    bool hasWwdrMarker = false;
    bool codeSigningUsage = false;
};
std::optional<CertificateFacts> certificateFacts(std::string_view der);
// The same for a certificate already decoded from der (nothing when null).
std::optional<CertificateFacts> certificateFacts(std::string_view der, X509* decoded);

struct CodeDirectoryHash {
    HashType type;
    std::string fullHash;  // untruncated hash of the CodeDirectory
};

// Signs CodeDirectories with one identity, its certificates and key decoded
// once for all the slices and items it signs.
class CmsSigner {
public:
    // Nothing, with a reason, when the certificate, key or chain cannot be read.
    static platform::Result<std::unique_ptr<CmsSigner>> create(const SigningIdentity& identity);
    ~CmsSigner();

    // The CMS (DER ContentInfo) signing codeDirectory, listing every
    // CodeDirectory's hash in the signed attributes.
    platform::Result<std::string> sign(std::string_view codeDirectory,
                                       const std::vector<CodeDirectoryHash>& hashes) const;

    // Facts of the leaf and of the chain above it (nearest first), read once.
    const CertificateFacts& leafFacts() const;
    const std::vector<CertificateFacts>& chainFacts() const;

private:
    CmsSigner();
    struct Keys;
    std::unique_ptr<Keys> keys;
};

// One-off form of CmsSigner::sign.
platform::Result<std::string> signCodeDirectory(std::string_view codeDirectory,
                                                const std::vector<CodeDirectoryHash>& hashes,
                                                const SigningIdentity& identity);

// Byte count to reserve for the CMS blob of this identity: generous, since
// the reservation is hashed before the signature exists.
size_t estimatedCmsSize(const SigningIdentity& identity);

struct CmsCheck {
    bool signatureValid = false;  // the signer's signature over the content
    bool chainValid = false;      // leaf up to the last certificate carried
    std::string problem;          // why not, when either is false
    std::vector<std::string> plistCdHashes;                          // 20-byte values of ...9.1
    std::vector<std::pair<std::string, std::string>> typedCdHashes;  // (digest OID, hash) of ...9.2
    bool hasPlistCdHashes = false;
    bool hasTypedCdHashes = false;
    // The chain as built, leaf first; when it does not hold, as far as it went.
    std::vector<std::string> chainDer;
    // The common name of the certificate of the chain that had expired at the
    // time the signature is judged at (its signing time, else now).
    std::optional<std::string> expiredCertificate;
    std::optional<std::chrono::system_clock::time_point> signingTime;
};
// Checks the signature over the signed attributes exactly as they are
// stored, that their message digest is the CodeDirectory's, and the chain.
CmsCheck verifyCms(std::string_view cms, std::string_view codeDirectory);

}  // namespace codesign

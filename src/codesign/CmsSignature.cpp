#include "codesign/CmsSignature.h"

#include <openssl/asn1.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <memory>

#include "codesign/Bytes.h"
#include "platform/plist.h"
#include "crypto/Certificate.h"
#include "crypto/Der.h"
#include "crypto/OpenSsl.h"

namespace codesign {

namespace {

using crypto::BioPtr;
using crypto::CmsPtr;
using crypto::X509Ptr;
using crypto::shareCertificate;
using KeyPtr = crypto::PKeyPtr;
using ObjPtr = crypto::Asn1ObjectPtr;
using AttrPtr = crypto::X509AttributePtr;
using StorePtr = crypto::X509StorePtr;
using StoreCtxPtr = crypto::X509StoreCtxPtr;
using CertStack = crypto::X509StackPtr;
using MdCtxPtr = crypto::MdCtxPtr;

X509Ptr parseCertificate(std::string_view der) {
    auto certificate = crypto::certificateFromDer(der);
    ERR_clear_error();
    return certificate ? std::move(*certificate) : nullptr;
}

std::string certificateDer(X509* cert) {
    auto der = crypto::certificateToDer(cert);
    return der ? std::move(*der) : std::string();
}

std::string opensslError(const char* what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return what;
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    return std::string(what) + " (" + buffer + ")";
}

bool hasExtension(X509* cert, std::string_view oid) {
    ObjPtr obj(OBJ_txt2obj(std::string(oid).c_str(), 1));
    return obj && X509_get_ext_by_OBJ(cert, obj.get(), -1) >= 0;
}

// Chain building stops at critical extensions OpenSSL does not know. Apple's
// own certificate extensions are expected on development certificates and
// carry no constraint a generic verifier could check, so they alone are let
// through; any other unknown critical extension still fails the chain.
int toleratingAppleExtensions(int ok, X509_STORE_CTX* ctx) {
    if (ok || X509_STORE_CTX_get_error(ctx) != X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION) return ok;
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    if (!cert) return ok;
    for (int i = 0; i < X509_get_ext_count(cert); ++i) {
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        if (!X509_EXTENSION_get_critical(ext) || X509_supported_extension(ext)) continue;
        char oid[128];
        OBJ_obj2txt(oid, sizeof oid, X509_EXTENSION_get_object(ext), 1);
        if (std::string_view(oid).substr(0, kAppleCertificateExtensionArc.size()) != kAppleCertificateExtensionArc)
            return 0;
    }
    X509_STORE_CTX_set_error(ctx, X509_V_OK);
    return 1;
}

std::string typedHashValue(HashType type, const std::string& fullHash) {
    // SEQUENCE { OBJECT IDENTIFIER digest, OCTET STRING hash }
    namespace der = crypto::der;
    ObjPtr obj(OBJ_txt2obj(crypto::hashOid(type), 1));
    std::string_view oid(reinterpret_cast<const char*>(OBJ_get0_data(obj.get())), size_t(OBJ_length(obj.get())));
    return der::tlv(0x30, der::tlv(0x06, oid) + der::tlv(0x04, fullHash));
}

// Reads SEQUENCE { OBJECT IDENTIFIER, OCTET STRING } back: the dotted OID and the hash.
std::optional<std::pair<std::string, std::string>> parseTypedHashValue(std::string_view bytes) {
    namespace der = crypto::der;
    der::BerReader reader(bytes);
    auto whole = reader.readWhole();
    if (!whole || !whole->is(der::kClassUniversal, der::kTagSequence) || !whole->constructed || whole->indefinite)
        return std::nullopt;
    auto fields = reader.children(*whole);
    if (!fields || fields->size() != 2) return std::nullopt;
    const der::Element& oid = (*fields)[0];
    const der::Element& hash = (*fields)[1];
    if (!oid.is(der::kClassUniversal, der::kTagObjectIdentifier) || oid.constructed ||
        !hash.is(der::kClassUniversal, der::kTagOctetString) || hash.constructed)
        return std::nullopt;
    std::string_view encoded = reader.encoding(oid);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(encoded.data());
    ObjPtr obj(d2i_ASN1_OBJECT(nullptr, &p, long(encoded.size())));
    ERR_clear_error();
    if (!obj) return std::nullopt;
    char text[128];
    if (OBJ_obj2txt(text, sizeof text, obj.get(), 1) <= 0) return std::nullopt;
    return std::make_pair(std::string(text), std::string(reader.contents(hash)));
}

}  // namespace

namespace {
std::chrono::system_clock::time_point timeOf(const ASN1_TIME* time) {
    struct tm tm {};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return {};
    return std::chrono::system_clock::from_time_t(timegm(&tm));
}

CertificateFacts factsOf(X509* cert, std::string_view der) {
    CertificateFacts facts;
    facts.notBefore = timeOf(X509_get0_notBefore(cert));
    facts.notAfter = timeOf(X509_get0_notAfter(cert));
    facts.commonName = crypto::nameEntryText(X509_get_subject_name(cert), NID_commonName);
    facts.organizationalUnit = crypto::nameEntryText(X509_get_subject_name(cert), NID_organizationalUnitName);
    facts.organization = crypto::nameEntryText(X509_get_subject_name(cert), NID_organizationName);
    for (int i = 0; i < X509_get_ext_count(cert); ++i) {
        char oid[128];
        OBJ_obj2txt(oid, sizeof oid, X509_EXTENSION_get_object(X509_get_ext(cert, i)), 1);
        facts.extensionOids.push_back(oid);
    }
    facts.sha1 = digest(HashType::SHA1, der);
    facts.selfSigned = X509_check_issued(cert, cert) == X509_V_OK;
    facts.hasWwdrMarker = hasExtension(cert, "1.2.840.113635.100.6.2.1");
    facts.codeSigningUsage = (X509_get_extension_flags(cert) & EXFLAG_XKUSAGE)
                                 ? (X509_get_extended_key_usage(cert) & XKU_CODE_SIGN) != 0
                                 : false;
    return facts;
}
}  // namespace

std::optional<CertificateFacts> certificateFacts(std::string_view der) {
    X509Ptr cert = parseCertificate(der);
    if (!cert) return std::nullopt;
    return factsOf(cert.get(), der);
}

std::optional<CertificateFacts> certificateFacts(std::string_view der, X509* decoded) {
    if (!decoded) return std::nullopt;
    return factsOf(decoded, der);
}

size_t estimatedCmsSize(const SigningIdentity& identity) {
    // Apple reserves 18000 bytes; a longer chain gets its own size on top of
    // room for the signature and the attributes.
    size_t certificates = identity.certificateDer.size();
    for (const auto& der : identity.chainDer) certificates += der.size();
    return std::max<size_t>(18000, certificates + identity.privateKeyDer.size() + 4096);
}

struct CmsSigner::Keys {
    X509Ptr leaf;
    KeyPtr key;
    std::vector<X509Ptr> chain;
    CertificateFacts leafFacts;
    std::vector<CertificateFacts> chainFacts;
};

const CertificateFacts& CmsSigner::leafFacts() const { return keys->leafFacts; }
const std::vector<CertificateFacts>& CmsSigner::chainFacts() const { return keys->chainFacts; }

CmsSigner::CmsSigner() : keys(std::make_unique<Keys>()) {}
CmsSigner::~CmsSigner() = default;

platform::Result<std::unique_ptr<CmsSigner>> CmsSigner::create(const SigningIdentity& identity) {
    auto fail = [](const char* text) {
        ERR_clear_error();
        return platform::Error(text);
    };
    std::unique_ptr<CmsSigner> signer(new CmsSigner());
    signer->keys->leaf = identity.certificate ? shareCertificate(identity.certificate.get())
                                              : parseCertificate(identity.certificateDer);
    if (!signer->keys->leaf) return fail("the signing certificate cannot be read");
    signer->keys->leafFacts = factsOf(signer->keys->leaf.get(), identity.certificateDer);
    if (identity.privateKey) {
        if (EVP_PKEY_up_ref(identity.privateKey.get()) == 1) signer->keys->key.reset(identity.privateKey.get());
    } else {
        const unsigned char* kp = reinterpret_cast<const unsigned char*>(identity.privateKeyDer.data());
        signer->keys->key.reset(d2i_AutoPrivateKey(nullptr, &kp, long(identity.privateKeyDer.size())));
    }
    if (!signer->keys->key) return fail("the private key cannot be read");
    if (X509_check_private_key(signer->keys->leaf.get(), signer->keys->key.get()) != 1)
        return fail("the private key does not match the signing certificate");
    const bool chainDecoded = identity.chain.size() == identity.chainDer.size();
    for (size_t i = 0; i < identity.chainDer.size(); ++i) {
        const std::string& der = identity.chainDer[i];
        X509Ptr cert = chainDecoded && identity.chain[i] ? shareCertificate(identity.chain[i].get())
                                                         : parseCertificate(der);
        if (!cert) return fail("a certificate of the chain cannot be read");
        signer->keys->chainFacts.push_back(factsOf(cert.get(), der));
        signer->keys->chain.push_back(std::move(cert));
    }
    return signer;
}

platform::Result<std::string> CmsSigner::sign(std::string_view codeDirectory,
                                              const std::vector<CodeDirectoryHash>& hashes) const {
    auto fail = [](const std::string& text) {
        ERR_clear_error();
        return platform::Error(text);
    };
    constexpr unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!cms) return fail(opensslError("cannot create the CMS structure"));
    // Adding the signer also checks that the key belongs to the certificate.
    CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), keys->leaf.get(), keys->key.get(), EVP_sha256(), flags);
    if (!signer) return fail(opensslError("cannot add the signer"));
    for (const auto& cert : keys->chain)
        if (CMS_add1_cert(cms.get(), cert.get()) != 1) return fail(opensslError("cannot add a certificate"));

    // CDHashes as a property list of the truncated hashes, ordered by hash type.
    platform::plist::Array list;
    std::vector<CodeDirectoryHash> ordered = hashes;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& a, const auto& b) { return int(a.type) < int(b.type); });
    for (const auto& h : ordered) list.push_back(platform::plist::Data{h.fullHash.substr(0, 20)});
    std::string plist = platform::plist::toXml(platform::plist::Dict{{"cdhashes", list}});
    ObjPtr plistOid(OBJ_txt2obj(std::string(kCdHashesPlistOid).c_str(), 1));
    if (CMS_signed_add1_attr_by_OBJ(signer, plistOid.get(), V_ASN1_OCTET_STRING, plist.data(), int(plist.size())) != 1)
        return fail(opensslError("cannot add the CDHashes attribute"));

    ObjPtr typedOid(OBJ_txt2obj(std::string(kCdHashesOid).c_str(), 1));
    AttrPtr typed;
    for (const auto& h : ordered) {
        std::string value = typedHashValue(h.type, h.fullHash);
        if (!typed) {
            typed.reset(X509_ATTRIBUTE_create_by_OBJ(nullptr, typedOid.get(), V_ASN1_SEQUENCE, value.data(),
                                                     int(value.size())));
            if (!typed) return fail(opensslError("cannot build the CDHashes2 attribute"));
        } else if (X509_ATTRIBUTE_set1_data(typed.get(), V_ASN1_SEQUENCE, value.data(), int(value.size())) != 1) {
            return fail(opensslError("cannot build the CDHashes2 attribute"));
        }
    }
    if (typed && CMS_signed_add1_attr(signer, typed.get()) != 1)
        return fail(opensslError("cannot add the CDHashes2 attribute"));

    BioPtr content(BIO_new_mem_buf(codeDirectory.data(), int(codeDirectory.size())));
    if (CMS_final(cms.get(), content.get(), nullptr, flags) != 1) return fail(opensslError("signing failed"));
    unsigned char* out = nullptr;
    int n = i2d_CMS_ContentInfo(cms.get(), &out);
    if (n <= 0) return fail(opensslError("cannot encode the signature"));
    std::string der(reinterpret_cast<char*>(out), size_t(n));
    OPENSSL_free(out);
    return der;
}

platform::Result<std::string> signCodeDirectory(std::string_view codeDirectory,
                                                const std::vector<CodeDirectoryHash>& hashes,
                                                const SigningIdentity& identity) {
    auto signer = CmsSigner::create(identity);
    if (!signer) return signer.error();
    return (*signer)->sign(codeDirectory, hashes);
}

namespace {

namespace der = crypto::der;

// The dotted form of an OBJECT IDENTIFIER element; empty when it is not one.
std::string oidText(const der::BerReader& reader, const der::Element& e) {
    if (!e.is(der::kClassUniversal, der::kTagObjectIdentifier) || e.constructed) return {};
    std::string_view encoded = reader.encoding(e);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(encoded.data());
    ObjPtr obj(d2i_ASN1_OBJECT(nullptr, &p, long(encoded.size())));
    ERR_clear_error();
    char text[128];
    if (!obj || OBJ_obj2txt(text, sizeof text, obj.get(), 1) <= 0) return {};
    return text;
}

constexpr std::string_view kSignedDataOid = "1.2.840.113549.1.7.2";
constexpr std::string_view kContentTypeOid = "1.2.840.113549.1.9.3";
constexpr std::string_view kMessageDigestOid = "1.2.840.113549.1.9.4";
constexpr std::string_view kSigningTimeOid = "1.2.840.113549.1.9.5";
constexpr std::string_view kRsaPssOid = "1.2.840.113549.1.1.10";

// The parts of the one SignerInfo that the checks need, as the message
// stores them: the signed attributes are kept as their own bytes, since the
// signature was made over exactly those bytes (re-encoding them, as a
// generic CMS verifier does, sorts a SET OF that its writer did not sort and
// turns a sound signature into a failing one).
struct StoredSigner {
    std::string digestOid;
    std::string signatureOid;
    std::string signature;
    std::optional<std::string> signedAttributes;  // DER, re-tagged as the SET (0x31) the signature covers
    std::string eContentTypeOid;
    // attribute OID -> the encodings of its values, in stored order
    std::vector<std::pair<std::string, std::vector<std::string>>> attributes;

    const std::vector<std::string>* values(std::string_view oid) const {
        for (const auto& [name, list] : attributes)
            if (name == oid) return &list;
        return nullptr;
    }
};

platform::Result<StoredSigner> readStoredSigner(std::string_view cmsDer) {
    auto bad = [](const char* what) { return platform::Error(platform::ErrorKind::Malformed, what); };
    der::BerReader reader(cmsDer);
    auto info = reader.readWhole();
    if (!info || !info->is(der::kClassUniversal, der::kTagSequence)) return bad("the CMS signature cannot be decoded");
    auto infoParts = reader.children(*info);
    if (!infoParts || infoParts->size() != 2 || oidText(reader, (*infoParts)[0]) != kSignedDataOid ||
        !(*infoParts)[1].is(der::kClassContext, 0))
        return bad("the CMS message is not SignedData");
    auto wrapped = reader.children((*infoParts)[1]);
    if (!wrapped || wrapped->size() != 1 || !(*wrapped)[0].is(der::kClassUniversal, der::kTagSequence))
        return bad("the CMS message is not SignedData");
    auto fields = reader.children((*wrapped)[0]);
    if (!fields || fields->size() < 4) return bad("the SignedData is incomplete");
    StoredSigner out;
    const der::Element& encap = (*fields)[2];
    if (encap.is(der::kClassUniversal, der::kTagSequence)) {
        auto encapParts = reader.children(encap);
        if (encapParts && !encapParts->empty()) out.eContentTypeOid = oidText(reader, (*encapParts)[0]);
    }
    const der::Element& signerSet = fields->back();
    if (!signerSet.is(der::kClassUniversal, der::kTagSet)) return bad("the SignedData has no signer");
    auto signers = reader.children(signerSet);
    if (!signers || signers->size() != 1) return bad("the CMS signature must have exactly one signer");
    auto parts = reader.children((*signers)[0]);
    if (!parts || parts->size() < 5) return bad("the signer's information is incomplete");
    size_t at = 2;  // after version and the signer's identifier
    auto algorithmOid = [&](const der::Element& e) -> std::string {
        if (!e.is(der::kClassUniversal, der::kTagSequence)) return {};
        auto algorithm = reader.children(e);
        return algorithm && !algorithm->empty() ? oidText(reader, (*algorithm)[0]) : std::string();
    };
    out.digestOid = algorithmOid((*parts)[at++]);
    if ((*parts)[at].is(der::kClassContext, 0)) {
        const der::Element& attrs = (*parts)[at++];
        if (!attrs.constructed || attrs.indefinite) return bad("the signed attributes are not DER");
        std::string stored(reader.encoding(attrs));
        stored[0] = char(0x31);  // [0] IMPLICIT as stored; the signature covers it as a SET OF
        out.signedAttributes = std::move(stored);
        auto list = reader.children(attrs);
        if (!list) return bad("the signed attributes cannot be read");
        for (const der::Element& attribute : *list) {
            if (!attribute.is(der::kClassUniversal, der::kTagSequence)) return bad("a signed attribute cannot be read");
            auto pair = reader.children(attribute);
            if (!pair || pair->size() != 2 || !(*pair)[1].is(der::kClassUniversal, der::kTagSet))
                return bad("a signed attribute cannot be read");
            std::string oid = oidText(reader, (*pair)[0]);
            auto values = reader.children((*pair)[1]);
            if (oid.empty() || !values) return bad("a signed attribute cannot be read");
            std::vector<std::string> encodings;
            for (const der::Element& v : *values) encodings.emplace_back(reader.encoding(v));
            out.attributes.emplace_back(std::move(oid), std::move(encodings));
        }
    }
    if (at + 1 >= parts->size()) return bad("the signer's information is incomplete");
    out.signatureOid = algorithmOid((*parts)[at++]);
    const der::Element& signature = (*parts)[at];
    if (!signature.is(der::kClassUniversal, der::kTagOctetString)) return bad("the signer's signature is missing");
    auto bytes = reader.octets(signature);
    if (!bytes) return bad("the signer's signature cannot be read");
    out.signature = std::move(*bytes);
    if (out.digestOid.empty() || out.signatureOid.empty()) return bad("the signer's algorithms cannot be read");
    return out;
}

// The contents of a DER OCTET STRING value; nothing when it is not one.
std::optional<std::string> octetValue(std::string_view encoding) {
    der::BerReader reader(encoding);
    auto e = reader.readWhole();
    if (!e || !e->is(der::kClassUniversal, der::kTagOctetString)) return std::nullopt;
    auto bytes = reader.octets(*e);
    if (!bytes) return std::nullopt;
    return std::move(*bytes);
}

std::string utcText(std::chrono::system_clock::time_point when) {
    std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buffer;
}

}  // namespace

CmsCheck verifyCms(std::string_view cmsDer, std::string_view codeDirectory) {
    CmsCheck check;
    auto stored = readStoredSigner(cmsDer);
    if (!stored) {
        check.problem = stored.text();
        return check;
    }
    // OpenSSL reads the certificates and tells which one the signer names.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(cmsDer.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, long(cmsDer.size())));
    if (!cms) {
        check.problem = "the CMS signature cannot be decoded";
        ERR_clear_error();
        return check;
    }
    STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms.get());
    CertStack certs(CMS_get1_certs(cms.get()));
    if (sk_CMS_SignerInfo_num(signerInfos) != 1 || !certs) {
        check.problem = "the signer's certificate is missing";
        ERR_clear_error();
        return check;
    }
    CMS_SignerInfo* signerInfo = sk_CMS_SignerInfo_value(signerInfos, 0);
    X509* leaf = nullptr;
    for (int i = 0; i < sk_X509_num(certs.get()) && !leaf; ++i)
        if (CMS_SignerInfo_cert_cmp(signerInfo, sk_X509_value(certs.get(), i)) == 0) leaf = sk_X509_value(certs.get(), i);
    ERR_clear_error();
    if (!leaf) {
        check.problem = "the signer's certificate is missing";
        return check;
    }

    // The signature, checked over the bytes as stored.
    ObjPtr digestObj(OBJ_txt2obj(stored->digestOid.c_str(), 1));
    const EVP_MD* md = digestObj ? EVP_get_digestbyobj(digestObj.get()) : nullptr;
    if (!md || stored->signatureOid == kRsaPssOid) {
        check.problem = "the CMS signature uses an algorithm that is not supported";
        ERR_clear_error();
        return check;
    }
    std::string contentDigest(size_t(EVP_MAX_MD_SIZE), '\0');
    unsigned int digestLength = 0;
    if (EVP_Digest(codeDirectory.data(), codeDirectory.size(), reinterpret_cast<unsigned char*>(contentDigest.data()),
                   &digestLength, md, nullptr) != 1) {
        check.problem = opensslError("cannot hash the CodeDirectory");
        return check;
    }
    contentDigest.resize(digestLength);
    std::string_view signedBytes = codeDirectory;
    if (stored->signedAttributes) {
        const auto* digestValues = stored->values(kMessageDigestOid);
        const auto* contentType = stored->values(kContentTypeOid);
        std::optional<std::string> recorded =
            digestValues && digestValues->size() == 1 ? octetValue(digestValues->front()) : std::nullopt;
        if (!recorded || *recorded != contentDigest) {
            check.problem = "the CMS signature's message digest is not that of the CodeDirectory";
            return check;
        }
        if (!contentType || contentType->size() != 1) {
            check.problem = "the CMS signature names no content type";
            return check;
        }
        signedBytes = *stored->signedAttributes;
    }
    EVP_PKEY* key = X509_get0_pubkey(leaf);
    MdCtxPtr ctx(EVP_MD_CTX_new());
    const bool verified =
        key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(stored->signature.data()),
                         stored->signature.size(), reinterpret_cast<const unsigned char*>(signedBytes.data()),
                         signedBytes.size()) == 1;
    ERR_clear_error();
    if (!verified) {
        check.problem = "the CMS signature does not verify";
        return check;
    }
    check.signatureValid = true;

    if (const auto* values = stored->values(kCdHashesPlistOid)) {
        std::optional<std::string> bytes = values->size() == 1 ? octetValue(values->front()) : std::nullopt;
        auto plist = bytes ? platform::plist::parse(*bytes) : std::nullopt;
        const platform::plist::Value* list = plist ? plist->get("cdhashes") : nullptr;
        check.hasPlistCdHashes = true;
        if (list && list->asArray()) {
            for (const auto& item : *list->asArray())
                if (auto d = item.asData()) check.plistCdHashes.push_back(d->bytes);
        } else {
            check.plistCdHashes.push_back({});  // unreadable: matches no list
        }
    }
    if (const auto* values = stored->values(kCdHashesOid)) {
        check.hasTypedCdHashes = true;
        for (const std::string& value : *values)
            if (auto entry = parseTypedHashValue(value)) check.typedCdHashes.push_back(*entry);
    }
    if (const auto* values = stored->values(kSigningTimeOid); values && values->size() == 1) {
        const unsigned char* tp = reinterpret_cast<const unsigned char*>(values->front().data());
        platform::Owned<ASN1_TIME, ASN1_TIME_free> time(d2i_ASN1_TIME(nullptr, &tp, long(values->front().size())));
        struct tm tm {};
        if (time && ASN1_TIME_to_tm(time.get(), &tm) == 1)
            check.signingTime = std::chrono::system_clock::from_time_t(timegm(&tm));
        ERR_clear_error();
    }

    // The chain: the signer's certificate up through the certificates the
    // signature carries, judged at the signing time when the signature has
    // one, else now. A self-signed one among them is the anchor; without
    // one the topmost certificate stands for it.
    StorePtr store(X509_STORE_new());
    bool anchored = false;
    for (int i = 0; i < sk_X509_num(certs.get()); ++i) {
        X509* cert = sk_X509_value(certs.get(), i);
        if (X509_check_issued(cert, cert) == X509_V_OK) {
            X509_STORE_add_cert(store.get(), cert);
            anchored = true;
        }
    }
    if (!anchored) {
        for (int i = 0; i < sk_X509_num(certs.get()); ++i) {
            X509* cert = sk_X509_value(certs.get(), i);
            bool issuerPresent = false;
            for (int j = 0; j < sk_X509_num(certs.get()); ++j)
                if (i != j && X509_check_issued(sk_X509_value(certs.get(), j), cert) == X509_V_OK) issuerPresent = true;
            if (!issuerPresent) X509_STORE_add_cert(store.get(), cert);
        }
        X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    }
    X509_STORE_set_verify_cb(store.get(), toleratingAppleExtensions);
    StoreCtxPtr storeCtx(X509_STORE_CTX_new());
    X509_STORE_CTX_init(storeCtx.get(), store.get(), leaf, certs.get());
    const auto judgedAt = check.signingTime.value_or(std::chrono::system_clock::now());
    X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(storeCtx.get()), std::chrono::system_clock::to_time_t(judgedAt));
    const bool chained = X509_verify_cert(storeCtx.get()) == 1;
    // The chain as far as it was built, for display and requirements, even
    // when it does not hold.
    if (STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(storeCtx.get())) {
        for (int i = 0; i < sk_X509_num(chain); ++i) check.chainDer.push_back(certificateDer(sk_X509_value(chain, i)));
    }
    if (check.chainDer.empty()) check.chainDer.push_back(certificateDer(leaf));
    if (chained) {
        auto facts = certificateFacts(check.chainDer.front());
        if (facts && facts->codeSigningUsage) {
            check.chainValid = true;
        } else {
            check.problem = "the signing certificate is not meant for code signing";
        }
    } else {
        const int error = X509_STORE_CTX_get_error(storeCtx.get());
        X509* current = X509_STORE_CTX_get_current_cert(storeCtx.get());
        if (error == X509_V_ERR_CERT_HAS_EXPIRED && current) {
            const std::string name = crypto::nameEntryText(X509_get_subject_name(current), NID_commonName);
            check.expiredCertificate = name.empty() ? std::string("(no common name)") : name;
            check.problem = "the certificate \"" + *check.expiredCertificate + "\" expired on " +
                            utcText(timeOf(X509_get0_notAfter(current))) + "; the signature is judged at " +
                            utcText(judgedAt) +
                            (check.signingTime ? " (its signing time)" : " (now: it carries no signing time)");
        } else {
            check.problem = std::string("certificate chain: ") + X509_verify_cert_error_string(error);
        }
    }
    ERR_clear_error();
    return check;
}

}  // namespace codesign

#include "codesign/CmsSignature.h"

#include <openssl/asn1.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
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

CmsCheck verifyCms(std::string_view cmsDer, std::string_view codeDirectory) {
    CmsCheck check;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(cmsDer.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, long(cmsDer.size())));
    if (!cms) {
        check.problem = "the CMS signature cannot be decoded";
        ERR_clear_error();
        return check;
    }
    // Behind a pass-through filter: OpenSSL 3.0's CMS_verify copies a bare
    // memory BIO into one of its own and leaks that copy when the message's
    // content cannot be set up (a damaged signature would leak per check).
    BioPtr content(BIO_new(BIO_f_null()));
    BIO* memory = BIO_new_mem_buf(codeDirectory.data(), int(codeDirectory.size()));
    if (!content || !memory) {
        BIO_free(memory);
        check.problem = "out of memory while checking the CMS signature";
        return check;
    }
    BIO_push(content.get(), memory);
    if (CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        check.problem = opensslError("the CMS signature does not verify");
        return check;
    }
    check.signatureValid = true;

    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (sk_CMS_SignerInfo_num(signers) != 1) {
        check.signatureValid = false;
        check.problem = "the CMS signature must have exactly one signer";
        return check;
    }
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);

    ObjPtr plistOid(OBJ_txt2obj(std::string(kCdHashesPlistOid).c_str(), 1));
    int index = CMS_signed_get_attr_by_OBJ(signer, plistOid.get(), -1);
    if (index >= 0) {
        X509_ATTRIBUTE* attr = CMS_signed_get_attr(signer, index);
        ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
        if (value && value->type == V_ASN1_OCTET_STRING) {
            std::string_view bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value->value.octet_string)),
                                   size_t(ASN1_STRING_length(value->value.octet_string)));
            auto plist = platform::plist::parse(bytes);
            const platform::plist::Value* list = plist ? plist->get("cdhashes") : nullptr;
            if (list && list->asArray()) {
                check.hasPlistCdHashes = true;
                for (const auto& item : *list->asArray())
                    if (auto d = item.asData()) check.plistCdHashes.push_back(d->bytes);
            }
        }
    }
    ObjPtr typedOid(OBJ_txt2obj(std::string(kCdHashesOid).c_str(), 1));
    index = CMS_signed_get_attr_by_OBJ(signer, typedOid.get(), -1);
    if (index >= 0) {
        X509_ATTRIBUTE* attr = CMS_signed_get_attr(signer, index);
        for (int i = 0; i < X509_ATTRIBUTE_count(attr); ++i) {
            ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, i);
            if (!value || value->type != V_ASN1_SEQUENCE) continue;
            std::string_view der(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value->value.sequence)),
                                 size_t(ASN1_STRING_length(value->value.sequence)));
            if (auto entry = parseTypedHashValue(der)) check.typedCdHashes.push_back(*entry);
        }
    }
    index = CMS_signed_get_attr_by_NID(signer, NID_pkcs9_signingTime, -1);
    if (index >= 0) {
        ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
        struct tm tm {};
        if (value && (value->type == V_ASN1_UTCTIME || value->type == V_ASN1_GENERALIZEDTIME) &&
            ASN1_TIME_to_tm(value->value.utctime, &tm) == 1) {
            check.signingTime = std::chrono::system_clock::from_time_t(timegm(&tm));
        }
    }

    // The chain: the signer's certificate up through the certificates the
    // signature carries. A self-signed one among them is the anchor; without
    // one the topmost certificate stands for it.
    STACK_OF(X509)* signerCerts = CMS_get0_signers(cms.get());
    CertStack certs(CMS_get1_certs(cms.get()));
    if (!signerCerts || sk_X509_num(signerCerts) != 1 || !certs) {
        check.problem = "the signer's certificate is missing";
        if (signerCerts) sk_X509_free(signerCerts);
        return check;
    }
    X509* leaf = sk_X509_value(signerCerts, 0);
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
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    X509_STORE_CTX_init(ctx.get(), store.get(), leaf, certs.get());
    if (check.signingTime)
        X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx.get()),
                                   std::chrono::system_clock::to_time_t(*check.signingTime));
    if (X509_verify_cert(ctx.get()) == 1) {
        STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
        for (int i = 0; i < sk_X509_num(chain); ++i) check.chainDer.push_back(certificateDer(sk_X509_value(chain, i)));
        auto facts = certificateFacts(check.chainDer.front());
        if (facts && facts->codeSigningUsage) {
            check.chainValid = true;
        } else {
            check.problem = "the signing certificate is not meant for code signing";
        }
    } else {
        check.problem = std::string("certificate chain: ") +
                        X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
        check.chainDer.push_back(certificateDer(leaf));
    }
    sk_X509_free(signerCerts);
    ERR_clear_error();
    return check;
}

}  // namespace codesign

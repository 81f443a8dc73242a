#include "testkit/pki.h"

#include "crypto/Hash.h"
#include "crypto/Hex.h"
#include "crypto/Providers.h"
#include "platform/owned.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace testkit::pki {

namespace {

template <typename T, void (*Free)(T*)>
using Deleter = platform::FreeWith<T, Free>;
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Ext = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

[[noreturn]] void fail(const std::string& what) {
    unsigned long code = ERR_get_error();
    char buf[256] = {0};
    if (code) ERR_error_string_n(code, buf, sizeof buf);
    ERR_clear_error();
    throw std::runtime_error("test PKI: " + what + (code ? std::string(": ") + buf : std::string()));
}

std::string bioBytes(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(n));
}

PKey newKey(KeyType type) {
    EVP_PKEY* key = type == KeyType::Rsa2048 ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
    if (!key) fail("key generation");
    return PKey(key);
}

std::string keyToDer(EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!i2d_PKCS8PrivateKey_bio(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)) fail("PKCS#8 encoding");
    return bioBytes(bio.get());
}

PKey keyFromDer(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size()));
    if (!key) fail("reading a private key");
    return PKey(key);
}

std::string certToDer(X509* cert) {
    unsigned char* out = nullptr;
    int n = i2d_X509(cert, &out);
    if (n <= 0) fail("certificate encoding");
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(n));
    OPENSSL_free(out);
    return der;
}

Cert certFromDer(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!cert) fail("reading a certificate");
    return Cert(cert);
}

void addEntry(X509_NAME* name, const char* field, const std::string& value) {
    if (value.empty()) return;
    if (!X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                                    static_cast<int>(value.size()), -1, 0))
        fail(std::string("subject field ") + field);
}

// An extension OpenSSL knows by name ("basicConstraints", ...).
void addKnownExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    Ext ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext || !X509_add_ext(cert, ext.get(), -1)) fail(std::string("extension ") + OBJ_nid2sn(nid));
}

// A vendor extension OpenSSL does not know: the OID with a DER NULL value.
void addVendorExtension(X509* cert, const char* oid, bool critical) {
    ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    static const unsigned char derNull[] = {0x05, 0x00};
    bool ok = obj && value && ASN1_OCTET_STRING_set(value, derNull, sizeof derNull);
    Ext ext(ok ? X509_EXTENSION_create_by_OBJ(nullptr, obj, critical ? 1 : 0, value) : nullptr);
    ASN1_OBJECT_free(obj);
    ASN1_OCTET_STRING_free(value);
    if (!ext || !X509_add_ext(cert, ext.get(), -1)) fail(std::string("extension ") + oid);
}

std::atomic<long> serialCounter{1000};

struct CertSpec {
    std::string commonName, organizationalUnit, organization, country = "US";
    bool ca = false;
    bool codeSigning = false;
    bool vendorLeafExtension = false;
    bool intermediateMarker = false;
    long notBeforeOffset = -3600;            // seconds from now
    long notAfterOffset = 365L * 24 * 3600;  // seconds from now
};

// Makes a certificate for subjectKey, signed by issuerKey (self-signed when
// issuer is null).
Cert makeCertificate(const CertSpec& recipe, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey) {
    Cert cert(X509_new());
    if (!cert) fail("X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serialCounter++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), recipe.notBeforeOffset);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), recipe.notAfterOffset);
    X509_NAME* name = X509_get_subject_name(cert.get());
    addEntry(name, "CN", recipe.commonName);
    addEntry(name, "OU", recipe.organizationalUnit);
    addEntry(name, "O", recipe.organization);
    addEntry(name, "C", recipe.country);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    if (!X509_set_pubkey(cert.get(), subjectKey)) fail("X509_set_pubkey");
    X509* issuerCert = issuer ? issuer : cert.get();
    addKnownExtension(cert.get(), issuerCert, NID_subject_key_identifier, "hash");
    addKnownExtension(cert.get(), issuerCert, NID_authority_key_identifier, "keyid:always");
    if (recipe.ca) {
        addKnownExtension(cert.get(), issuerCert, NID_basic_constraints, "critical,CA:TRUE");
        addKnownExtension(cert.get(), issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addKnownExtension(cert.get(), issuerCert, NID_basic_constraints, "critical,CA:FALSE");
        addKnownExtension(cert.get(), issuerCert, NID_key_usage, "critical,digitalSignature");
    }
    if (recipe.codeSigning) addKnownExtension(cert.get(), issuerCert, NID_ext_key_usage, "critical,codeSigning");
    if (recipe.intermediateMarker) addVendorExtension(cert.get(), "1.2.840.113635.100.6.2.1", false);
    if (recipe.vendorLeafExtension) addVendorExtension(cert.get(), "1.2.840.113635.100.6.1.2", true);
    if (!X509_sign(cert.get(), issuerKey, EVP_sha256())) fail("X509_sign");
    return cert;
}

void loadLegacyProviders() {
    if (!crypto::loadLegacyProviders()) fail("loading the legacy provider");
}

const Credential& defaultSigner() {
    static const Credential leaf = TestPKI::shared().issueLeaf();
    return leaf;
}

}  // namespace

const Credential& defaultLeaf() { return defaultSigner(); }

std::string Credential::certPem() const { return certificatesPem({certDer}); }

std::string Credential::keyPem() const {
    PKey key = keyFromDer(keyDer);
    Bio bio(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        fail("PEM key encoding");
    return bioBytes(bio.get());
}

std::string Credential::sha1() const {
    return crypto::toHex(crypto::digest(crypto::HashType::SHA1, certDer), crypto::HexCase::Upper);
}

TestPKI::TestPKI() {
    PKey rootKey = newKey(KeyType::Rsa2048);
    CertSpec rootSpec;
    rootSpec.commonName = "Test Root CA";
    rootSpec.organization = "Test Certification Authority";
    rootSpec.organizationalUnit = "Test Certification Authority";
    rootSpec.ca = true;
    rootSpec.notAfterOffset = 20L * 365 * 24 * 3600;
    Cert root = makeCertificate(rootSpec, rootKey.get(), nullptr, rootKey.get());
    _root = {certToDer(root.get()), keyToDer(rootKey.get())};

    PKey interKey = newKey(KeyType::Rsa2048);
    CertSpec interSpec;
    interSpec.commonName = "Test Worldwide Developer Relations Certification Authority";
    interSpec.organization = "Test Inc.";
    interSpec.organizationalUnit = "Test Worldwide Developer Relations";
    interSpec.ca = true;
    interSpec.intermediateMarker = true;
    interSpec.notAfterOffset = 10L * 365 * 24 * 3600;
    Cert inter = makeCertificate(interSpec, interKey.get(), root.get(), rootKey.get());
    _intermediate = {certToDer(inter.get()), keyToDer(interKey.get())};
}

const TestPKI& TestPKI::shared() {
    static const TestPKI pki;
    return pki;
}

Credential TestPKI::issueLeaf(const LeafOptions& options) const {
    PKey key = newKey(options.keyType);
    Cert issuer = certFromDer(_intermediate.certDer);
    PKey issuerKey = keyFromDer(_intermediate.keyDer);
    CertSpec recipe;
    recipe.commonName = options.commonName;
    recipe.organizationalUnit = options.teamId;
    recipe.organization = options.organization;
    recipe.codeSigning = options.codeSigningUsage;
    recipe.vendorLeafExtension = options.vendorExtension;
    switch (options.validity) {
        case Validity::Current:
            break;
        case Validity::Expired:
            recipe.notBeforeOffset = -2L * 365 * 24 * 3600;
            recipe.notAfterOffset = -24L * 3600;
            break;
        case Validity::NotYetValid:
            recipe.notBeforeOffset = 24L * 3600;
            recipe.notAfterOffset = 2L * 365 * 24 * 3600;
            break;
    }
    Cert cert = makeCertificate(recipe, key.get(), issuer.get(), issuerKey.get());
    return {certToDer(cert.get()), keyToDer(key.get())};
}

std::string generateKeyDer(KeyType type) {
    PKey key = newKey(type);
    return keyToDer(key.get());
}

std::string certificatesPem(const std::vector<std::string>& certDers) {
    Bio bio(BIO_new(BIO_s_mem()));
    for (const auto& der : certDers) {
        Cert cert = certFromDer(der);
        if (!PEM_write_bio_X509(bio.get(), cert.get())) fail("PEM certificate encoding");
    }
    return bioBytes(bio.get());
}

std::string pkcs12(const Credential& leaf, const std::vector<Credential>& chain, const std::string& password,
                   Pkcs12Cipher cipher) {
    Cert cert = certFromDer(leaf.certDer);
    PKey key = keyFromDer(leaf.keyDer);
    STACK_OF(X509)* cas = sk_X509_new_null();
    for (const auto& c : chain) sk_X509_push(cas, certFromDer(c.certDer).release());
    std::string friendly;
    {
        X509_NAME* name = X509_get_subject_name(cert.get());
        int idx = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
        if (idx >= 0) {
            unsigned char* utf8 = nullptr;
            int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx)));
            if (n >= 0) friendly.assign(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
            OPENSSL_free(utf8);
        }
    }
    int keyNid = NID_aes_256_cbc, certNid = NID_aes_256_cbc, macIter = PKCS12_DEFAULT_ITER;
    if (cipher == Pkcs12Cipher::Legacy) {
        loadLegacyProviders();
        keyNid = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
        certNid = NID_pbe_WithSHA1And40BitRC2_CBC;
        macIter = 1;
    }
    PKCS12* p12 = PKCS12_create(password.c_str(), friendly.empty() ? nullptr : friendly.c_str(), key.get(),
                                cert.get(), cas, keyNid, certNid, PKCS12_DEFAULT_ITER, macIter, 0);
    if (p12 && cipher == Pkcs12Cipher::Legacy) {
        // PKCS12_create picks the MAC digest itself; older exports use SHA-1.
        if (!PKCS12_set_mac(p12, password.c_str(), -1, nullptr, 0, 1, EVP_sha1())) {
            PKCS12_free(p12);
            p12 = nullptr;
        }
    }
    sk_X509_pop_free(cas, X509_free);
    if (!p12) fail("PKCS12_create");
    Bio bio(BIO_new(BIO_s_mem()));
    bool ok = i2d_PKCS12_bio(bio.get(), p12);
    PKCS12_free(p12);
    if (!ok) fail("PKCS#12 encoding");
    return bioBytes(bio.get());
}

std::string cmsSign(const std::string& content, const std::optional<Credential>& signer,
                    const std::vector<Credential>& extraCertificates) {
    const Credential& who = signer ? *signer : defaultSigner();
    Cert cert = certFromDer(who.certDer);
    PKey key = keyFromDer(who.keyDer);
    STACK_OF(X509)* certs = sk_X509_new_null();
    std::vector<Credential> extra = extraCertificates;
    if (!signer) extra = {TestPKI::shared().intermediate(), TestPKI::shared().root()};
    for (const auto& c : extra) sk_X509_push(certs, certFromDer(c.certDer).release());
    Bio in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    CMS_ContentInfo* cms = CMS_sign(cert.get(), key.get(), certs, in.get(), CMS_BINARY);
    sk_X509_pop_free(certs, X509_free);
    if (!cms) fail("CMS_sign");
    Bio out(BIO_new(BIO_s_mem()));
    bool ok = i2d_CMS_bio(out.get(), cms);
    CMS_ContentInfo_free(cms);
    if (!ok) fail("CMS encoding");
    return bioBytes(out.get());
}

platform::plist::Value profileValue(const ProfileOptions& o) {
    using namespace platform::plist;
    Array devices;
    for (const auto& d : o.devices) devices.emplace_back(d);
    Array certs;
    if (o.developerCertificates.empty()) {
        certs.emplace_back(Data{defaultSigner().certDer});
    } else {
        for (const auto& c : o.developerCertificates) certs.emplace_back(Data{c});
    }
    Dict dict{
        {"AppIDName", o.appIdName},
        {"ApplicationIdentifierPrefix", Array{Value(o.teamId)}},
        {"CreationDate", o.creationDate},
        {"DeveloperCertificates", certs},
        {"ExpirationDate", o.expirationDate},
        {"Name", o.name},
        {"Platform", Array{Value("iOS")}},
        {"ProvisionedDevices", devices},
        {"TeamIdentifier", Array{Value(o.teamId)}},
        {"TeamName", o.teamName},
        {"TimeToLive", o.timeToLive},
        {"UUID", o.uuid},
        {"Version", o.version},
    };
    if (o.withEntitlements) {
        dict["Entitlements"] = Dict{
            {"application-identifier", o.teamId + "." + o.bundleId},
            {"com.apple.developer.team-identifier", o.teamId},
            {"get-task-allow", o.getTaskAllow},
            {"keychain-access-groups", Array{Value(o.teamId + ".*")}},
        };
        if (o.capabilities) {
            Array groups, containers;
            for (const auto& g : o.appGroups) groups.emplace_back(g);
            for (const auto& c : o.iCloudContainers) containers.emplace_back(c);
            Dict& e = *dict["Entitlements"].asDict();
            e["aps-environment"] = "development";
            e["com.apple.security.application-groups"] = groups;
            e["com.apple.developer.associated-domains"] = "*";
            e["com.apple.developer.icloud-services"] = "*";
            e["com.apple.developer.icloud-container-identifiers"] = containers;
            e["com.apple.developer.ubiquity-container-identifiers"] = containers;
            e["com.apple.developer.ubiquity-kvstore-identifier"] = o.teamId + ".*";
            e["com.apple.developer.icloud-container-environment"] = Array{Value("Development"), Value("Production")};
        }
    }
    return Value(std::move(dict));
}

std::string profilePlist(const ProfileOptions& options, bool binary) {
    auto value = profileValue(options);
    return binary ? platform::plist::toBinary(value) : platform::plist::toXml(value);
}

std::string makeProfile(const ProfileOptions& options, bool binaryContent) {
    return cmsSign(profilePlist(options, binaryContent));
}

}  // namespace testkit::pki

#include "PairRecord.h"

#include <openssl/bio.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace devdouble {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

Key rsaKey() { return Key(EVP_RSA_gen(2048), EVP_PKEY_free); }

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A certificate for key, issued by issuer (itself when null), valid ten years.
Cert issue(EVP_PKEY* key, EVP_PKEY* issuerKey, X509* issuer, long serial, bool authority) {
    Cert cert(X509_new(), X509_free);
    if (!cert) return cert;
    bool ok = X509_set_version(cert.get(), 2) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400) &&
              X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 86400) &&
              X509_set_pubkey(cert.get(), key) == 1;
    X509* signer = issuer ? issuer : cert.get();
    ok = ok && X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1;
    ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    ok = ok && addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    ok = ok && addExtension(cert.get(), signer, NID_key_usage,
                            authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    ok = ok && X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0;
    if (!ok) cert.reset();
    return cert;
}

std::string pemCertificate(X509* cert) {
    Bio bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
    return bioText(bio.get());
}

// "RSA PRIVATE KEY" (PKCS#1): the form pair records carry.
std::string pemPrivateKey(EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || PEM_write_bio_PrivateKey_traditional(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    return bioText(bio.get());
}

// "RSA PUBLIC KEY" (PKCS#1).
std::string pemPublicKey(EVP_PKEY* key) {
    OSSL_ENCODER_CTX* ctx = OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr);
    if (!ctx) return {};
    unsigned char* data = nullptr;
    size_t size = 0;
    std::string text;
    if (OSSL_ENCODER_to_data(ctx, &data, &size) == 1) text.assign(reinterpret_cast<char*>(data), size);
    OPENSSL_free(data);
    OSSL_ENCODER_CTX_free(ctx);
    return text;
}

}  // namespace

std::string randomUuid() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) return "00000000-0000-4000-8000-000000000000";
    b[6] = (b[6] & 0x0f) | 0x40;
    b[8] = (b[8] & 0x3f) | 0x80;
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

std::string makePairRecord(PairRecord& out) {
    // One RSA key serves the root, the host and the device: a 2048-bit key
    // takes seconds to find on a busy machine, and no client compares them.
    Key key = rsaKey();
    if (!key) return "could not make the RSA key";
    EVP_PKEY *root = key.get(), *host = key.get(), *device = key.get();
    Cert rootCert = issue(root, nullptr, nullptr, 1, true);
    if (!rootCert) return "could not make the root certificate";
    Cert hostCert = issue(host, root, rootCert.get(), 2, false);
    Cert deviceCert = issue(device, root, rootCert.get(), 3, false);
    if (!hostCert || !deviceCert) return "could not make the host and device certificates";

    out.rootCertificate = pemCertificate(rootCert.get());
    out.rootPrivateKey = pemPrivateKey(root);
    out.hostCertificate = pemCertificate(hostCert.get());
    out.hostPrivateKey = pemPrivateKey(host);
    out.deviceCertificate = pemCertificate(deviceCert.get());
    out.devicePublicKey = pemPublicKey(device);
    if (out.rootCertificate.empty() || out.rootPrivateKey.empty() || out.hostCertificate.empty() ||
        out.hostPrivateKey.empty() || out.deviceCertificate.empty() || out.devicePublicKey.empty())
        return "could not write the keys and certificates";
    out.hostId = randomUuid();
    out.systemBuid = randomUuid();
    out.escrowBag.resize(32);
    RAND_bytes(reinterpret_cast<unsigned char*>(out.escrowBag.data()), 32);

    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) return "could not make the TLS context";
    // A device asks for the host's certificate and takes the one of its
    // pairing; the double takes any.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    if (SSL_CTX_use_certificate(ctx, deviceCert.get()) != 1 || SSL_CTX_use_PrivateKey(ctx, device) != 1) {
        SSL_CTX_free(ctx);
        return "could not load the device certificate into TLS";
    }
    out.tls = ctx;
    return {};
}

platform::plist::Dict PairRecord::record(const std::string& wifiAddress) const {
    using platform::plist::Data;
    return {
        {"DeviceCertificate", Data{deviceCertificate}},
        {"EscrowBag", Data{escrowBag}},
        {"HostCertificate", Data{hostCertificate}},
        {"HostID", hostId},
        {"HostPrivateKey", Data{hostPrivateKey}},
        {"RootCertificate", Data{rootCertificate}},
        {"RootPrivateKey", Data{rootPrivateKey}},
        {"SystemBUID", systemBuid},
        {"WiFiMACAddress", wifiAddress},
    };
}

}  // namespace devdouble

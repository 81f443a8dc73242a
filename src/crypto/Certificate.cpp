#include "crypto/Certificate.h"

#include <openssl/err.h>
#include <openssl/pem.h>

namespace crypto {

platform::Result<X509Ptr> certificateFromDer(std::string_view der) {
    const unsigned char* start = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* p = start;
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    if (!certificate) return platform::Error(platform::ErrorKind::Malformed, "not an X.509 certificate");
    // Trailing bytes mean this is not one certificate.
    if (p != start + der.size())
        return platform::Error(platform::ErrorKind::Malformed, "bytes follow the X.509 certificate");
    return certificate;
}

platform::Result<std::string> certificateToDer(X509* certificate) {
    unsigned char* out = nullptr;
    int n = certificate ? i2d_X509(certificate, &out) : -1;
    if (n <= 0) {
        ERR_clear_error();
        return platform::Error("Unable to encode the certificate.");
    }
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(n));
    OPENSSL_free(out);
    return der;
}

X509Ptr shareCertificate(X509* certificate) {
    return X509Ptr(certificate && X509_up_ref(certificate) == 1 ? certificate : nullptr);
}

std::vector<std::string> certificatesInPem(std::string_view pem) {
    std::vector<std::string> ders;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    while (bio) {
        X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!certificate) break;
        auto der = certificateToDer(certificate.get());
        if (!der) break;
        ders.push_back(std::move(*der));
    }
    ERR_clear_error();
    return ders;
}

std::string nameEntryText(const X509_NAME* name, int nid) {
    int index = name ? X509_NAME_get_index_by_NID(name, nid, -1) : -1;
    if (index < 0) return {};
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    int n = data ? ASN1_STRING_to_UTF8(&utf8, data) : -1;
    std::string out;
    if (n > 0) out.assign(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    ERR_clear_error();
    return out;
}

}  // namespace crypto

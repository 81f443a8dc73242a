#include "keychain/KeychainParts.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <memory>

namespace keychain {

using namespace detail;

namespace {

using EkuPtr = crypto::ExtendedKeyUsagePtr;

constexpr size_t kMaxChainLength = 10;

}  // namespace

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

}  // namespace keychain

#pragma once
// X.509 certificates between their encodings and OpenSSL's objects. One rule
// for every decoder: DER input is exactly one certificate, and bytes after it
// mean the input is something else.
#include <string>
#include <string_view>
#include <vector>

#include "crypto/OpenSsl.h"
#include "platform/result.h"

namespace crypto {

// The certificate of DER bytes; Malformed when they are not exactly one
// certificate (trailing bytes included).
platform::Result<X509Ptr> certificateFromDer(std::string_view der);
// The DER of a certificate.
platform::Result<std::string> certificateToDer(X509* certificate);
// Another owning reference to a certificate decoded elsewhere.
X509Ptr shareCertificate(X509* certificate);

// The DER of each certificate in PEM text, in order, up to the first block
// that does not decode; empty when there is none.
std::vector<std::string> certificatesInPem(std::string_view pem);

// The text (UTF-8) of the first entry of a name with the given NID, e.g.
// NID_commonName; "" when there is none.
std::string nameEntryText(const X509_NAME* name, int nid);

}  // namespace crypto

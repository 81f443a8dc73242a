#pragma once
// The keys of a pairing, made afresh at every start: a root authority, the
// host's and the device's certificates issued by it, and the TLS context the
// device side answers sessions with.
#include <openssl/ssl.h>

#include <string>

#include "platform/plist.h"

namespace devdouble {

struct PairRecord {
    std::string rootCertificate, rootPrivateKey;  // PEM
    std::string hostCertificate, hostPrivateKey;  // PEM
    std::string deviceCertificate;                // PEM
    std::string devicePublicKey;                  // PEM, PKCS#1, as lockdownd hands it out
    std::string hostId, systemBuid, escrowBag;
    SSL_CTX* tls = nullptr;                       // the device's side; lives as long as the program

    // The record as the mux daemon stores it for a device.
    platform::plist::Dict record(const std::string& wifiAddress) const;
};

// Empty text when the keys could not be made; else the reason.
std::string makePairRecord(PairRecord& out);

// A random identifier in the 8-4-4-4-12 upper-case form.
std::string randomUuid();

}  // namespace devdouble

#include "keychain/KeychainParts.h"

#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>

#include "platform/files.h"
#include "platform/paths.h"
#include "crypto/Certificate.h"
#include "crypto/Providers.h"

namespace keychain {

using namespace detail;

namespace {

namespace path = platform::path;
using platform::Error;
using platform::ErrorKind;
using crypto::X509StackPtr;
using P12Ptr = crypto::Pkcs12Ptr;

constexpr const char* kCannotCreateFolder = "Unable to create the keychain folder.";
constexpr const char* kCannotWrite = "Unable to write to the keychain.";

// The keychain folder and the one below it where an import writes, both
// private to this user.
bool makeStoreFolder(const std::string& location, const std::string& folder) {
    return platform::fs::createDirectory(path::deletingLastPathComponent(location)) && makePrivateFolder(location) &&
           makePrivateFolder(folder);
}

// Certificates in PEM (any number of blocks) or one DER certificate.
std::vector<std::string> certificatesIn(const std::string& bytes) {
    std::vector<std::string> ders;
    if (bytes.find("-----BEGIN") != std::string::npos) {
        ders = crypto::certificatesInPem(bytes);
    } else if (auto cert = parseCertificate(bytes)) {
        ders.push_back(bytes);
    }
    return ders;
}

}  // namespace

platform::Result<> Store::importPkcs12(const std::string& bytes, const std::string& password) {
    auto failWith = [](ErrorKind kind, const char* message) {
        ERR_clear_error();
        return Error(kind, message);
    };
    crypto::loadLegacyProviders();  // legacy bundles (RC2, 3DES) need it
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    P12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    if (!p12) return failWith(ErrorKind::Malformed, "Unknown format in import.");

    // A bundle made "without a password" may have used an empty one or none.
    const char* pass = password.c_str();
    if (PKCS12_mac_present(p12.get())) {
        if (PKCS12_verify_mac(p12.get(), pass, -1) != 1) {
            if (!password.empty() || PKCS12_verify_mac(p12.get(), nullptr, 0) != 1)
                return failWith(ErrorKind::Failed, "MAC verification failed during PKCS12 import (wrong password?)");
            pass = nullptr;
        }
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    int parsed = PKCS12_parse(p12.get(), pass, &rawKey, &rawCert, &rawCa);
    PKeyPtr key(rawKey);
    X509Ptr cert(rawCert);
    X509StackPtr ca(rawCa);
    if (!parsed)
        return failWith(ErrorKind::Malformed,
                        "Unable to decode the PKCS12 file: damaged, or its encryption is not supported.");
    if (!key || !cert)
        return failWith(ErrorKind::Failed, "The PKCS12 file holds no identity (a certificate with its private key).");
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        return failWith(ErrorKind::Failed, "The private key in the PKCS12 file does not match its certificate.");

    auto leaf = Certificate::fromDer(certificateDer(cert.get()));
    std::string keyDer = privateKeyDer(key.get());
    if (!leaf || keyDer.empty()) return failWith(ErrorKind::Malformed, "Unable to decode the PKCS12 file.");
    std::vector<std::string> chainDers;
    for (int i = 0; ca && i < sk_X509_num(ca.get()); ++i) chainDers.push_back(certificateDer(sk_X509_value(ca.get(), i)));

    auto existing = readIdentities(_location);
    for (const auto& entry : existing)
        if (entry.identity.certificate.sha1 == leaf->sha1)
            return failWith(ErrorKind::Exists, kAlreadyExists);

    std::string identitiesRoot = path::appendingPathComponent(_location, kIdentitiesFolder);
    if (!makeStoreFolder(_location, identitiesRoot)) return failWith(ErrorKind::Io, kCannotCreateFolder);

    // Fill the identity under a temporary name, then rename it whole.
    std::string staging = path::appendingPathComponent(identitiesRoot, ".new-XXXXXX");
    if (!::mkdtemp(staging.data())) return failWith(ErrorKind::Io, kCannotWrite);
    bool ok = writePrivateFile(path::appendingPathComponent(staging, kCertificateFile), leaf->der) &&
              writePrivateFile(path::appendingPathComponent(staging, kKeyFile), keyDer);
    long next = 1;
    for (const auto& entry : existing) next = std::max(next, sequenceOf(entry.folderName) + 1);
    std::string finalFolder = path::appendingPathComponent(identitiesRoot, sequenceName(next, leaf->sha1));
    if (ok) ok = ::rename(staging.c_str(), finalFolder.c_str()) == 0;
    if (!ok) {
        platform::fs::removeItem(staging);
        return failWith(ErrorKind::Io, kCannotWrite);
    }
    syncFolder(identitiesRoot);

    // The chain is an addition: intermediates that are already known are skipped.
    std::vector<Certificate> chain;
    for (auto& der : chainDers)
        if (auto c = Certificate::fromDer(std::move(der))) chain.push_back(std::move(*c));
    if (!chain.empty()) {
        auto stored = storeCertificates(std::move(chain));
        if (!stored && stored.kind() != ErrorKind::Exists) {
            platform::fs::removeItem(finalFolder);
            return stored.error();
        }
    }
    return {};
}

platform::Result<int> Store::importCertificates(const std::string& bytes) {
    std::vector<Certificate> found;
    for (auto& der : certificatesIn(bytes))
        if (auto cert = Certificate::fromDer(std::move(der))) found.push_back(std::move(*cert));
    if (found.empty()) return Error(ErrorKind::Malformed, "Unknown format in import.");
    return storeCertificates(std::move(found));
}

platform::Result<int> Store::storeCertificates(std::vector<Certificate> found) {
    std::string root = path::appendingPathComponent(_location, kCertificatesFolder);
    std::vector<std::string> identityHashes;
    for (const auto& identity : identities()) identityHashes.push_back(identity.certificate.sha1);
    auto fileOf = [&root](const Certificate& cert) {
        return path::appendingPathComponent(root, cert.sha1 + "." + kCertificateExtension);
    };
    std::vector<Certificate> fresh;
    for (auto& cert : found) {
        bool known = platform::fs::fileExists(fileOf(cert)) ||
                     std::find(identityHashes.begin(), identityHashes.end(), cert.sha1) != identityHashes.end() ||
                     std::any_of(fresh.begin(), fresh.end(), [&](const Certificate& f) { return f.sha1 == cert.sha1; });
        if (!known) fresh.push_back(std::move(cert));
    }
    if (fresh.empty()) return Error(ErrorKind::Exists, kAlreadyExists);

    if (!makeStoreFolder(_location, root)) return Error(ErrorKind::Io, kCannotCreateFolder);
    std::vector<std::string> written;
    for (const auto& cert : fresh) {
        std::string target = fileOf(cert);
        if (!writePrivateFile(target, cert.der)) {
            for (const auto& w : written) ::unlink(w.c_str());
            return Error(ErrorKind::Io, kCannotWrite);
        }
        written.push_back(target);
    }
    syncFolder(root);
    return static_cast<int>(written.size());
}

platform::Result<> Store::removeIdentity(const std::string& nameOrSha1) {
    std::vector<IdentityEntry> matches;
    for (auto& entry : readIdentities(_location))
        if (matchesName(entry.identity, nameOrSha1)) matches.push_back(std::move(entry));
    if (matches.empty())
        return Error(ErrorKind::NotFound,
                     "Unable to delete identity: the specified item could not be found in the keychain.");
    if (matches.size() > 1)
        return Error(ErrorKind::Failed,
                     "Unable to delete identity: more than one identity matches; name it by its SHA-1 hash (-Z).");
    std::string root = path::appendingPathComponent(_location, kIdentitiesFolder);
    std::string folder = path::appendingPathComponent(root, matches.front().folderName);
    // Rename first, so that a reader never sees the identity half removed.
    std::string doomed = path::appendingPathComponent(root, ".del-" + matches.front().folderName);
    if (::rename(folder.c_str(), doomed.c_str()) != 0)
        return Error(ErrorKind::Io, "Unable to delete identity: the keychain cannot be written.");
    platform::fs::removeItem(doomed);
    syncFolder(root);
    return {};
}

}  // namespace keychain

// The keychain's identities: listing them the way find-identity prints them,
// importing PKCS#12 bundles and certificates, deleting an identity.
#include <chrono>
#include <cstdio>
#include <optional>
#include <cstdlib>
#include <string>
#include <vector>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include "commands.h"
#include "keychain/Keychain.h"

namespace security {

namespace {

struct Listed {
    keychain::Identity identity;
    std::string reason;  // "" when valid
};

void printLine(size_t index, const Listed& item, bool withReason) {
    const auto& cert = item.identity.certificate;
    std::string label = cert.commonName.empty() ? "<unknown>" : cert.commonName;
    std::printf("%3zu) %s \"%s\"", index, cert.sha1.c_str(), label.c_str());
    if (withReason && !item.reason.empty()) std::printf(" (%s)", item.reason.c_str());
    std::printf("\n");
}

}  // namespace

int findIdentityCommand(const Arguments& args) {
    bool validOnly = false;
    std::string policy = "basic";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-v") {
            validOnly = true;
        } else if (args[i] == "-p" && i + 1 < args.size()) {
            policy = args[++i];
            if (policy != "codesigning" && policy != "basic") {
                complain("find-identity: unsupported policy \"" + policy + "\" (codesigning or basic)");
                return 2;
            }
        } else {
            complain("find-identity: unsupported option \"" + args[i] + "\"; usage: find-identity [-v] [-p codesigning]");
            return 2;
        }
    }
    std::vector<Listed> all, valid;
    for (auto& identity : keychain::Store().identities()) {
        std::string reason = keychain::Store::invalidReason(
            identity, std::chrono::system_clock::now(),
            policy == "codesigning" ? keychain::Policy::CodeSigning : keychain::Policy::Basic);
        Listed item{std::move(identity), std::move(reason)};
        if (item.reason.empty()) valid.push_back(item);
        all.push_back(std::move(item));
    }
    if (!validOnly) {
        std::printf("\nPolicy: %s\n  Matching identities\n", policy == "codesigning" ? "Code Signing" : "X.509 Basic");
        for (size_t i = 0; i < all.size(); ++i) printLine(i + 1, all[i], true);
        std::printf("     %zu identities found\n\n  Valid identities only\n", all.size());
    }
    for (size_t i = 0; i < valid.size(); ++i) printLine(i + 1, valid[i], false);
    std::printf("     %zu valid identities found\n", valid.size());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int importCommand(const Arguments& args) {
    constexpr const char* kUsage =
        "usage: import file [-P passphrase | --passphrase-env NAME | --passphrase-file FILE]";
    std::string file, password;
    int passwordSources = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-P" && i + 1 < args.size()) {
            password = args[++i];
            ++passwordSources;
        } else if (a == "--passphrase-env" && i + 1 < args.size()) {
            // Kept off the command line, which every user of the machine can read.
            const char* value = std::getenv(args[++i].c_str());
            if (!value) {
                complain("import: the environment variable " + args[i] + " is not set");
                return 2;
            }
            password = value;
            ++passwordSources;
        } else if (a == "--passphrase-file" && i + 1 < args.size()) {
            if (!readInput(args[++i], &password)) return 1;
            // A file written with echo ends in a line break that is no part of it.
            if (!password.empty() && password.back() == '\n') password.pop_back();
            if (!password.empty() && password.back() == '\r') password.pop_back();
            ++passwordSources;
        } else if ((a == "-k" || a == "-f" || a == "-t" || a == "-T") && i + 1 < args.size()) {
            ++i;  // one keychain per user; type and format are told by the content; no access lists
        } else if (a == "-A" || a == "-x") {
            // accepted for compatibility; nothing to do
        } else if (file.empty() && (a.empty() || a[0] != '-')) {
            file = a;
        } else {
            complain("import: unsupported option \"" + a + "\"; " + kUsage);
            return 2;
        }
    }
    if (file.empty()) {
        complain(std::string("import: no file given; ") + kUsage);
        return 2;
    }
    if (passwordSources > 1) {
        complain("import: give the passphrase one way only");
        return 2;
    }
    std::string bytes;
    if (!readInput(file, &bytes)) return 1;
    keychain::Store store;
    bool certificates = bytes.find("-----BEGIN") != std::string::npos || keychain::Certificate::fromDer(bytes);
    if (certificates) {
        auto imported = store.importCertificates(bytes);
        if (!imported) {
            // As for identities: what the keychain already holds is no failure.
            if (imported.kind() == platform::ErrorKind::Exists) {
                complain("import: the certificates in " + file + " are already in the keychain; nothing changed");
                return 0;
            }
            complain("import: " + imported.text());
            return 1;
        }
        int added = *imported;
        std::printf("%d certificate%s imported.\n", added, added == 1 ? "" : "s");
        return 0;
    }
    if (auto imported = store.importPkcs12(bytes, password); !imported) {
        // Importing the same identity again is what a script run twice does:
        // the keychain already holds what was asked for.
        if (imported.kind() == platform::ErrorKind::Exists) {
            complain("import: the identity in " + file + " is already in the keychain; nothing changed");
            return 0;
        }
        complain("import: " + imported.text());
        return 1;
    }
    std::printf("1 identity imported.\n");
    return 0;
}

int deleteIdentityCommand(const Arguments& args) {
    std::string which;
    for (size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "-Z" || args[i] == "-c") && i + 1 < args.size() && which.empty()) {
            which = args[++i];
        } else if (args[i] == "-t") {
            // the certificate goes with its key in any case
        } else {
            complain("delete-identity: unsupported option \"" + args[i] + "\"; usage: delete-identity (-Z sha1 | -c name)");
            return 2;
        }
    }
    if (which.empty()) {
        complain("delete-identity: name the identity with -Z sha1 or -c name");
        return 2;
    }
    if (auto removed = keychain::Store().removeIdentity(which); !removed) {
        complain("delete-identity: " + removed.text());
        return 1;
    }
    return 0;
}

int findCertificateCommand(const Arguments& args) {
    std::string name;
    bool pem = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-c" && i + 1 < args.size() && name.empty()) {
            name = args[++i];
        } else if (args[i] == "-p") {
            pem = true;
        } else {
            complain("find-certificate: unsupported option \"" + args[i] + "\"; usage: find-certificate -c name [-p]");
            return 2;
        }
    }
    if (name.empty()) {
        complain("find-certificate: name the certificate with -c name");
        return 2;
    }
    // An identity's exact name (or SHA-1) first: the certificate that the
    // signing command would sign with. Else the first certificate whose
    // common name contains the text.
    keychain::Store store;
    std::optional<keychain::Certificate> found;
    if (auto identity = store.findIdentity(name)) found = identity->certificate;
    if (!found)
        for (auto& identity : store.identities())
            if (identity.certificate.commonName.find(name) != std::string::npos) {
                found = identity.certificate;
                break;
            }
    if (!found)
        for (auto& certificate : store.certificates())
            if (certificate.commonName.find(name) != std::string::npos) {
                found = certificate;
                break;
            }
    if (!found) {
        complain("find-certificate: The specified item could not be found in the keychain.");
        return 44;
    }
    if (!pem) {
        std::printf("keychain: \"%s\"\nSHA-1 hash: %s\n    \"labl\"<blob>=\"%s\"\n", store.location().c_str(),
                    found->sha1.c_str(), found->commonName.c_str());
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(found->der.data());
    X509* certificate = d2i_X509(nullptr, &bytes, static_cast<long>(found->der.size()));
    if (!certificate) {
        complain("find-certificate: the stored certificate cannot be decoded");
        return 1;
    }
    bool written = PEM_write_X509(stdout, certificate) == 1;
    X509_free(certificate);
    return written && std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace security

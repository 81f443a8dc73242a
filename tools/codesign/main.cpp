// codesign: signs, verifies and describes iOS code (Mach-O files and
// bundles) with the identities of the user's keychain.
//
//   codesign -s IDENTITY [-f] [-v...] [--entitlements FILE] PATH...   sign
//   codesign -v [-v...] [--deep] PATH...                                verify
//   codesign -d [-v...] [--entitlements -] [-r-] PATH...               display
//
// Messages go to standard error; displayed entitlements to standard output.
// Exit status: 0 success, 1 failure, 2 usage.
#include <openssl/crypto.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "codesign/CmsSignature.h"
#include "codesign/Display.h"
#include "codesign/Signer.h"
#include "codesign/Verifier.h"
#include "keychain/Keychain.h"
#include "platform/files.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRequirementNotMet = 3;

constexpr const char* kUsage =
    "Usage: codesign -s identity [-fv*] [--entitlements file] path ...   # sign\n"
    "       codesign -v [-v*] [--deep] path ...                          # verify\n"
    "       codesign -d [-v*] [--entitlements -] [-r-] path ...          # display contents\n";

enum class Operation { None, Sign, Verify, Display };

struct Options {
    Operation operation = Operation::None;
    bool verifySelectedByV = false;
    int vCount = 0;
    std::optional<int> verboseLevel;
    bool force = false;
    bool deep = false;
    std::string identity;
    std::optional<std::string> entitlements;
    std::optional<std::string> requirements;  // display: where to write them ("-": standard output)
    std::vector<std::string> paths;

    int verbosity() const {
        if (verboseLevel) return *verboseLevel;
        // The first -v of a verification only selects it.
        return verifySelectedByV ? vCount - 1 : vCount;
    }
};

void line(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fputc('\n', stderr);
}

int usage(const std::string& problem = {}) {
    if (!problem.empty()) line("codesign: " + problem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

bool selectOperation(Options& options, Operation op) {
    if (options.operation != Operation::None && options.operation != op) return false;
    options.operation = op;
    return true;
}

// getopt-style parsing: short options may be clustered ("-vvvfs ID"), an
// option's value may follow in the same cluster or as the next argument,
// long options take "--name=value" or "--name value".
std::optional<std::string> parse(int argc, char** argv, Options& options) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto nextValue = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (arg == "--") {
            options.paths.insert(options.paths.end(), args.begin() + long(i) + 1, args.end());
            break;
        }
        if (arg.rfind("--", 0) == 0) {
            std::string name = arg.substr(2);
            std::optional<std::string> value;
            if (auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            auto requireValue = [&]() -> bool {
                if (!value) value = nextValue();
                return value.has_value();
            };
            if (name == "sign") {
                if (!requireValue()) return "option --sign needs an identity";
                if (!selectOperation(options, Operation::Sign)) return "conflicting operations";
                options.identity = *value;
            } else if (name == "verify") {
                if (!selectOperation(options, Operation::Verify)) return "conflicting operations";
            } else if (name == "display") {
                if (!selectOperation(options, Operation::Display)) return "conflicting operations";
            } else if (name == "force") {
                options.force = true;
            } else if (name == "deep") {
                options.deep = true;
            } else if (name == "verbose") {
                if (value) {
                    try {
                        options.verboseLevel = std::stoi(*value);
                    } catch (...) {
                        return "invalid verbosity " + *value;
                    }
                } else {
                    ++options.vCount;
                }
            } else if (name == "requirements") {
                if (!requireValue()) return "option --requirements needs a value";
                options.requirements = *value;
            } else if (name == "entitlements") {
                if (!requireValue()) return "option --entitlements needs a file";
                options.entitlements = *value;
            } else if (name == "timestamp" || name == "generate-entitlement-der" || name == "strict" ||
                       name == "no-strict") {
                // Accepted for compatibility; this signer always writes DER
                // entitlements and never asks a time-stamp server.
            } else if (name == "preserve-metadata" || name == "options") {
                if (!requireValue()) return "option --" + name + " needs a value";
            } else {
                return "unrecognized option " + arg;
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            for (size_t k = 1; k < arg.size(); ++k) {
                char c = arg[k];
                switch (c) {
                    case 'v': ++options.vCount; break;
                    case 'f': options.force = true; break;
                    case 'd':
                        if (!selectOperation(options, Operation::Display)) return "conflicting operations";
                        break;
                    case 's':
                    case 'r': {
                        std::string value = arg.substr(k + 1);
                        if (value.empty()) {
                            auto next = nextValue();
                            if (!next) return std::string("option -") + c + " needs a value";
                            value = *next;
                        }
                        if (c == 'r') {
                            options.requirements = value;
                        } else {
                            if (!selectOperation(options, Operation::Sign)) return "conflicting operations";
                            options.identity = value;
                        }
                        k = arg.size();
                        break;
                    }
                    default: return std::string("unrecognized option -") + c;
                }
            }
            continue;
        }
        options.paths.push_back(arg);
    }
    if (options.operation == Operation::None && options.vCount > 0) {
        options.operation = Operation::Verify;
        options.verifySelectedByV = true;
    }
    if (options.operation == Operation::None) return "no operation given";
    // Requirements are shown, never given: signing writes its own.
    if (options.requirements && options.operation != Operation::Display)
        return "explicit requirements are not supported; the designated requirement is derived from the identity";
    if (options.paths.empty()) return "no path given";
    return std::nullopt;
}

// The identity named on the command line, with its chain from the keychain.
std::optional<codesign::SigningIdentity> loadIdentity(const std::string& name, int* exitCode) {
    keychain::Store store;
    auto identity = store.findIdentity(name);
    if (!identity) {
        line(name + ": no identity found");
        *exitCode = kExitFailure;
        return std::nullopt;
    }
    // The keychain answers a valid identity whenever one of that name is.
    // Its full check decodes the private key, which costs as much as a small
    // item's signing, so it is repeated only when the certificate alone shows
    // that the identity cannot sign; it then gives the reason in its words.
    // (A key that does not match is refused when the signer takes it up.)
    std::shared_ptr<X509> leafDecoded = store.decodedCertificate(identity->certificate.der);
    auto leaf = leafDecoded ? codesign::certificateFacts(identity->certificate.der, leafDecoded.get())
                            : codesign::certificateFacts(identity->certificate.der);
    const auto now = std::chrono::system_clock::now();
    const bool plausible = leaf && leaf->codeSigningUsage && leaf->notBefore <= now && now <= leaf->notAfter;
    if (!plausible) {
        std::string reason = keychain::Store::invalidReason(*identity);
        if (reason.empty()) reason = keychain::kReasonBadCertificate;
        line(name + ": this identity cannot be used for signing code (" + reason + ")");
        *exitCode = kExitFailure;
        return std::nullopt;
    }
    codesign::SigningIdentity signing;
    signing.certificateDer = identity->certificate.der;
    signing.privateKeyDer = identity->privateKeyDer;
    // Decoded once by the keychain's look-up and check; the signer reuses them.
    signing.certificate = leafDecoded;
    signing.privateKey = store.decodedPrivateKey(identity->privateKeyDer);
    for (const auto& cert : store.chainFor(identity->certificate)) {
        signing.chainDer.push_back(cert.der);
        signing.chain.push_back(store.decodedCertificate(cert.der));
    }
    const std::string& top = signing.chainDer.empty() ? signing.certificateDer : signing.chainDer.back();
    X509* topDecoded = signing.chain.empty() ? signing.certificate.get() : signing.chain.back().get();
    auto facts = topDecoded ? codesign::certificateFacts(top, topDecoded) : codesign::certificateFacts(top);
    if (!facts || !facts->selfSigned)
        line("Warning: unable to build chain to self-signed root for signer \"" +
             identity->certificate.commonName + "\"");
    return signing;
}

int sign(const Options& options) {
    std::optional<codesign::SigningIdentity> identity;
    if (options.identity != "-") {
        int exitCode = kExitSuccess;
        identity = loadIdentity(options.identity, &exitCode);
        if (!identity) return exitCode;
    }
    int status = kExitSuccess;
    for (const std::string& path : options.paths) {
        codesign::SignRequest request;
        request.path = path;
        request.identity = identity;
        request.entitlementsPath = options.entitlements;
        request.force = options.force;
        codesign::SignResult result = codesign::signItem(request);
        if (result.replaced == codesign::SignResult::Replaced::Existing) line(path + ": replacing existing signature");
        if (result.replaced == codesign::SignResult::Replaced::Invalid)
            line(path + ": replacing invalid existing signature");
        if (!result.ok) {
            line(path + ": " + result.error);
            status = kExitFailure;
            continue;
        }
        if (options.verbosity() >= 1) line(path + ": signed " + result.format + " [" + result.identifier + "]");
    }
    return status;
}

int verify(const Options& options) {
    int status = kExitSuccess;
    codesign::VerifyOptions verifyOptions;
    verifyOptions.deep = options.deep;
    verifyOptions.verbosity = options.verbosity();
    for (const std::string& path : options.paths) {
        codesign::VerifyResult result = codesign::verifyItem(path, path, verifyOptions);
        for (const auto& text : result.lines) line(text);
        if (!result.valid) status = kExitFailure;
        else if (result.requirementFailed && status == kExitSuccess) status = kExitRequirementNotMet;
    }
    return status;
}

int display(const Options& options) {
    int status = kExitSuccess;
    // "-" and ":-" write the entitlements to standard output; a path writes them there.
    const bool wantEntitlements = options.entitlements.has_value();
    const std::string target = options.entitlements.value_or("");
    const bool toStandardOutput = target == "-" || target == ":-";
    for (const std::string& path : options.paths) {
        codesign::DisplayResult result = codesign::describeItem(path, path, options.verbosity(), wantEntitlements);
        for (const auto& text : result.lines) line(text);
        if (!result.ok) {
            status = kExitFailure;
            continue;
        }
        if (options.requirements) {
            const std::string where = *options.requirements;
            if (where == "-" || where == ":-")
                std::fwrite(result.requirements.data(), 1, result.requirements.size(), stdout);
            else if (!platform::fs::writeFileAtomically(where, result.requirements))
                line(where + ": cannot write the requirements");
        }
        if (wantEntitlements && !result.entitlements.empty()) {
            if (toStandardOutput) {
                std::fwrite(result.entitlements.data(), 1, result.entitlements.size(), stdout);
            } else if (!platform::fs::writeFileAtomically(target, result.entitlements)) {
                line(target + ": cannot write the entitlements");
                status = kExitFailure;
            }
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // The command needs nothing from the system's OpenSSL configuration, and
    // reading it is a good part of a short run's cost.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    Options options;
    if (auto problem = parse(argc, argv, options)) return usage(*problem);
    switch (options.operation) {
        case Operation::Sign: return sign(options);
        case Operation::Verify: return verify(options);
        case Operation::Display: return display(options);
        case Operation::None: break;
    }
    return usage();
}

#include "PrivateKeychain.h"

#include <stdlib.h>

#include <vector>

#include "keychain/Keychain.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace ipa_resign {

namespace {
constexpr const char* kDataHome = "XDG_DATA_HOME";
}  // namespace

std::unique_ptr<PrivateKeychain> PrivateKeychain::create(const std::string& p12Path, const std::string& password,
                                                         std::string* error) {
    auto bytes = platform::fs::readFile(p12Path);
    if (!bytes) {
        *error = "cannot read the PKCS#12 file " + p12Path;
        return nullptr;
    }
    auto temporary = platform::folders::temporaryDirectory();
    if (!temporary) {
        *error = "the private temporary folder is not usable; check $TMPDIR";
        return nullptr;
    }
    std::string pattern = platform::path::appendingPathComponent(*temporary, "keychain-XXXXXX");
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) {
        *error = "cannot make a folder for the run's keychain in " + *temporary;
        return nullptr;
    }
    std::unique_ptr<PrivateKeychain> chain(new PrivateKeychain());
    chain->_folder = name.data();
    if (const char* previous = std::getenv(kDataHome)) chain->_previousDataHome = previous;
    ::setenv(kDataHome, chain->_folder.c_str(), 1);

    // The store's default place, now inside the new folder: where the tools will look.
    keychain::Store store;
    if (auto imported = store.importPkcs12(*bytes, password); !imported) {
        *error = "cannot import " + p12Path + ": " + imported.text();
        return nullptr;  // the destructor removes the folder
    }
    auto identities = store.identities();
    if (identities.empty()) {
        *error = p12Path + " holds no identity";
        return nullptr;
    }
    const auto& identity = identities.front();
    std::string invalid = keychain::Store::invalidReason(identity);
    if (!invalid.empty()) {
        *error = "the identity in " + p12Path + " cannot sign code (" + invalid + ")";
        return nullptr;
    }
    chain->_sha1 = identity.certificate.sha1;
    chain->_identityName = identity.certificate.commonName;
    return chain;
}

void PrivateKeychain::remove() {
    if (_folder.empty()) return;
    platform::fs::removeItem(_folder);
    _folder.clear();
    if (_previousDataHome) ::setenv(kDataHome, _previousDataHome->c_str(), 1);
    else ::unsetenv(kDataHome);
}

PrivateKeychain::~PrivateKeychain() { remove(); }

std::optional<std::string> readP12Password(const std::optional<std::string>& variable,
                                           const std::optional<std::string>& file, std::string* error) {
    if (variable) {
        const char* value = std::getenv(variable->c_str());
        if (!value) {
            *error = "the environment variable " + *variable + " (--p12-password-env) is not set";
            return std::nullopt;
        }
        std::string password = value;
        ::unsetenv(variable->c_str());
        return password;
    }
    if (file) {
        auto bytes = platform::fs::readFile(*file);
        if (!bytes) {
            *error = "cannot read the password file " + *file;
            return std::nullopt;
        }
        std::string password = bytes->substr(0, bytes->find('\n'));
        if (!password.empty() && password.back() == '\r') password.pop_back();
        return password;
    }
    return std::string();
}

}  // namespace ipa_resign

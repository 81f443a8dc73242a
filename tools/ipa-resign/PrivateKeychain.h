#pragma once
// A keychain that belongs to one run of ipa-resign: a fresh folder under
// the private temporary folder, holding the identity of one PKCS#12 file.
// While it exists, XDG_DATA_HOME of this process, and so of every tool it
// starts, names that folder: the security and codesign commands see this
// keychain only, and the user's own is neither read nor written. The
// destructor removes the folder and puts XDG_DATA_HOME back.
//
// Create it before any other thread or child process starts: it changes the
// process environment.
#include <memory>
#include <optional>
#include <string>

namespace ipa_resign {

class PrivateKeychain {
public:
    // Nothing, with a message in *error, when the folder cannot be made or
    // the file does not open with the password.
    static std::unique_ptr<PrivateKeychain> create(const std::string& p12Path, const std::string& password,
                                                   std::string* error);
    ~PrivateKeychain();
    PrivateKeychain(const PrivateKeychain&) = delete;
    PrivateKeychain& operator=(const PrivateKeychain&) = delete;

    // The identity as find-identity names it, and its certificate's SHA-1.
    const std::string& identityName() const { return _identityName; }
    const std::string& sha1() const { return _sha1; }
    // Removes the folder now (also done by the destructor); safe to repeat.
    void remove();

private:
    PrivateKeychain() = default;

    std::string _folder;
    std::optional<std::string> _previousDataHome;
    std::string _identityName;
    std::string _sha1;
};

// The PKCS#12 password from an environment variable (which is then unset,
// so that no tool we start inherits it) or from the first line of a file;
// the empty password when neither is named. Nothing, with a message in
// *error, when the variable is not set or the file cannot be read.
std::optional<std::string> readP12Password(const std::optional<std::string>& variable,
                                           const std::optional<std::string>& file, std::string* error);

}  // namespace ipa_resign

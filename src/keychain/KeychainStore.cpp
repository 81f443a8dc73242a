#include "keychain/KeychainParts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace keychain {

using namespace detail;

namespace {

namespace path = platform::path;

bool isSha1Text(const std::string& text) {
    return text.size() == 40 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

std::string upper(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

namespace detail {

bool makePrivateFolder(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if ((st.st_mode & 0777) != 0700) ::chmod(dir.c_str(), 0700);
    return true;
}

bool writePrivateFile(const std::string& target, const std::string& bytes) {
    std::string tmp = path::appendingPathComponent(path::deletingLastPathComponent(target),
                                                   "." + path::lastPathComponent(target) + ".XXXXXX");
    int fd = ::mkstemp(tmp.data());  // mkstemp creates the file 0600
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && platform::fs::writeAll(fd, bytes) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

void syncFolder(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::vector<IdentityEntry> readIdentities(const std::string& location) {
    std::vector<IdentityEntry> out;
    std::string root = path::appendingPathComponent(location, kIdentitiesFolder);
    for (const auto& name : platform::fs::contentsOfDirectory(root)) {
        if (name.empty() || name[0] == '.') continue;
        std::string dir = path::appendingPathComponent(root, name);
        auto der = platform::fs::readFile(path::appendingPathComponent(dir, kCertificateFile));
        auto key = platform::fs::readFile(path::appendingPathComponent(dir, kKeyFile));
        if (!der || !key) continue;
        auto cert = describeStored(std::move(*der));
        if (!cert) continue;
        out.push_back({name, Identity{std::move(*cert), std::move(*key)}});
    }
    return out;
}

long sequenceOf(const std::string& folderName) {
    if (folderName.size() < kSequenceDigits + 1 || folderName[kSequenceDigits] != '-') return 0;
    long n = 0;
    for (size_t i = 0; i < kSequenceDigits; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(folderName[i]))) return 0;
        n = n * 10 + (folderName[i] - '0');
    }
    return n;
}

std::string sequenceName(long sequence, const std::string& sha1) {
    std::string digits = std::to_string(sequence);
    if (digits.size() < kSequenceDigits) digits.insert(0, kSequenceDigits - digits.size(), '0');
    return digits + "-" + sha1;
}

bool matchesName(const Identity& identity, const std::string& nameOrSha1) {
    if (isSha1Text(nameOrSha1) && identity.certificate.sha1 == upper(nameOrSha1)) return true;
    return identity.certificate.commonName == nameOrSha1;
}

}  // namespace detail

std::string Store::defaultLocation() {
    return path::appendingPathComponent(platform::folders::dataHome(), "ipa-resigner/keychain");
}

std::vector<Identity> Store::identities() const {
    std::vector<Identity> out;
    for (auto& entry : readIdentities(_location)) out.push_back(std::move(entry.identity));
    return out;
}

std::vector<Certificate> Store::certificates() const {
    // A certificate imported on its own before its identity arrived belongs
    // to the identity now: identity folders end in their certificate's hash.
    std::vector<std::string> identityHashes;
    for (const auto& folder : platform::fs::contentsOfDirectory(path::appendingPathComponent(_location, kIdentitiesFolder)))
        if (sequenceOf(folder) > 0) identityHashes.push_back(folder.substr(kSequenceDigits + 1));
    std::vector<Certificate> out;
    std::string root = path::appendingPathComponent(_location, kCertificatesFolder);
    for (const auto& name : platform::fs::contentsOfDirectory(root)) {
        if (name.empty() || name[0] == '.' || path::pathExtension(name) != kCertificateExtension) continue;
        if (std::find(identityHashes.begin(), identityHashes.end(), path::deletingPathExtension(name)) !=
            identityHashes.end())
            continue;
        auto der = platform::fs::readFile(path::appendingPathComponent(root, name));
        if (!der) continue;
        if (auto cert = describeStored(std::move(*der))) out.push_back(std::move(*cert));
    }
    return out;
}

std::optional<Identity> Store::findIdentity(const std::string& nameOrSha1) const {
    std::optional<Identity> first;
    for (auto& identity : identities()) {
        if (!matchesName(identity, nameOrSha1)) continue;
        if (check(identity, std::chrono::system_clock::now(), Policy::CodeSigning, this).empty()) return identity;
        if (!first) first = std::move(identity);
    }
    return first;
}

}  // namespace keychain

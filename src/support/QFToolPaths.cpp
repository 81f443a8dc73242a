#include "support/QFToolPaths.h"

#include <algorithm>
#include <mutex>
#include <optional>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace {

// Our own security and codesign commands stand beside the program in the
// build tree, and in libexec/ipa-resigner once installed.
std::string besideProgram(const std::string& name) {
    using platform::path::appendingPathComponent;
    std::string dir = platform::folders::executableDirectory();
    std::string beside = appendingPathComponent(dir, name);
    if (platform::fs::fileExists(beside)) return beside;
    std::string installed = appendingPathComponent(
        appendingPathComponent(platform::path::deletingLastPathComponent(dir), "libexec/ipa-resigner"), name);
    if (platform::fs::fileExists(installed)) return installed;
    return beside;
}

std::mutex tableLock;
std::optional<QFToolPaths>& table() {
    static std::optional<QFToolPaths> t;
    return t;
}

}  // namespace

QFToolPaths QFToolPaths::defaults() {
    return QFToolPaths{"/usr/bin/zip", "/usr/bin/unzip", besideProgram("security"), besideProgram("codesign")};
}

QFToolPaths QFToolPaths::current() {
    std::lock_guard<std::mutex> g(tableLock);
    if (!table()) table() = defaults();
    return *table();
}

void QFToolPaths::setCurrent(QFToolPaths paths) {
    std::lock_guard<std::mutex> g(tableLock);
    table() = std::move(paths);
}

namespace QFToolCommands {

using platform::path::safeArgumentPath;

std::vector<std::string> listIdentities() { return {"find-identity", "-v", "-p", "codesigning"}; }

std::vector<std::string> listAllIdentities() { return {"find-identity", "-p", "codesigning"}; }

std::vector<std::string> importIdentity(const std::string& filePath, const std::string& passwordVariable) {
    return {"import", safeArgumentPath(filePath), "--passphrase-env", passwordVariable};
}

std::vector<std::string> deleteIdentity(const std::string& sha1) { return {"delete-identity", "-Z", sha1}; }

std::vector<std::string> decodeProfile(const std::string& profilePath) {
    return {"cms", "-D", "-i", safeArgumentPath(profilePath)};
}

std::vector<std::string> identityCertificate(const std::string& identity) {
    return {"find-certificate", "-c", identity, "-p"};
}

std::vector<std::string> signItem(const std::string& identity, const std::string& itemPath,
                                  const std::string& entitlementsPath) {
    return {"-vvv", "-fs", identity, safeArgumentPath(itemPath), "--entitlements=" + entitlementsPath};
}

std::vector<std::string> verifyItem(const std::string& itemPath) { return {"-v", safeArgumentPath(itemPath)}; }

std::vector<std::string> displayEntitlements(const std::string& itemPath, const std::string& outputFile) {
    return {"-d", "--entitlements=" + outputFile, safeArgumentPath(itemPath)};
}

std::vector<std::string> unpack(const std::string& archivePath, const std::string& destination) {
    return {"-q", safeArgumentPath(archivePath), "-d", safeArgumentPath(destination)};
}

std::vector<std::string> unpackEntries(const std::string& archivePath, const std::string& destination,
                                       const std::vector<std::string>& names) {
    std::vector<std::string> arguments = unpack(archivePath, destination);
    arguments.insert(arguments.end(), names.begin(), names.end());
    return arguments;
}

bool entryNameIsLiteral(const std::string& name) {
    // unzip's patterns: "*", "?" and "[...]", a backslash quoting the next
    // character; a leading "-" starts an option wherever it stands. Beyond
    // printable ASCII it may convert a name from the archive's character set
    // before it matches.
    if (name.empty() || name[0] == '-') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return c >= 0x20 && c < 0x7f && c != '*' && c != '?' && c != '[' && c != ']' && c != '\\';
    });
}

// NOTE: keep in step with packPaths.
std::vector<std::string> pack(const std::string& archivePath) { return {"-qry", safeArgumentPath(archivePath), "."}; }

std::vector<std::string> packChanges(const std::string& basePackage, const std::string& archivePath) {
    return {"-qry", "-FS", "--out", safeArgumentPath(archivePath), safeArgumentPath(basePackage), "."};
}

std::vector<std::string> packPaths(const std::string& archivePath, const std::vector<std::string>& paths) {
    // NOTE: keep in step with pack: the same entries, but for the recursion.
    std::vector<std::string> arguments{"-qy", "-nw", safeArgumentPath(archivePath), "--"};
    arguments.insert(arguments.end(), paths.begin(), paths.end());
    return arguments;
}

}  // namespace QFToolCommands

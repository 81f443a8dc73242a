#pragma once
// The platform tools and every command line the system runs with them: one
// table, one owner. The paths are fixed for the product; tests construct the
// table with other paths (a seam for tests, not a user setting).
#include <string>
#include <vector>

struct QFToolPaths {
    std::string zip;
    std::string unzip;
    std::string security;
    std::string codesign;

    // "/usr/bin/zip", "/usr/bin/unzip", and the project's own security and
    // codesign commands found beside the running program (build tree), or in
    // ../libexec/ipa-resigner relative to it (installed).
    static QFToolPaths defaults();
    // The table in force; defaults() until a test replaces it.
    static QFToolPaths current();
    static void setCurrent(QFToolPaths paths);
};

// Argument lists, in order, without the launch path.
namespace QFToolCommands {
std::vector<std::string> listIdentities();
// Every code-signing identity, the invalid ones too, each with its reason.
std::vector<std::string> listAllIdentities();
// Imports a PKCS#12 identity (or certificates); the password is read from
// the environment variable passwordVariable, never from the command line.
std::vector<std::string> importIdentity(const std::string& filePath, const std::string& passwordVariable);
// Removes the identity with that certificate SHA-1 from the keychain.
std::vector<std::string> deleteIdentity(const std::string& sha1);
std::vector<std::string> decodeProfile(const std::string& profilePath);
// The PEM certificate of a signing identity, by the name find-identity lists.
std::vector<std::string> identityCertificate(const std::string& identity);
std::vector<std::string> signItem(const std::string& identity, const std::string& itemPath,
                                  const std::string& entitlementsPath);
std::vector<std::string> verifyItem(const std::string& itemPath);
// Writes the entitlements the item's signature holds to outputFile (no file
// when it holds none).
std::vector<std::string> displayEntitlements(const std::string& itemPath, const std::string& outputFile);
std::vector<std::string> unpack(const std::string& archivePath, const std::string& destination);
// Unpacks only the named entries. The unpacking tool reads each name as a
// pattern: pass only names for which entryNameIsLiteral holds.
std::vector<std::string> unpackEntries(const std::string& archivePath, const std::string& destination,
                                       const std::vector<std::string>& names);
// True when the unpacking tool takes the name as itself: no wildcard or
// escape character, and not read as an option.
bool entryNameIsLiteral(const std::string& name);
std::vector<std::string> pack(const std::string& archivePath);
// Packs "." into archivePath starting from basePackage: entries whose file
// has the same time and size are copied, the rest packed again, entries
// without a file dropped; basePackage itself is left as it is.
std::vector<std::string> packChanges(const std::string& basePackage, const std::string& archivePath);
// Packs the named paths, relative to the working directory, into
// archivePath as pack does, but without descending into folders: a folder
// gives its own entry only. Each path is taken as itself (no wildcards, no
// options); pass only paths for which entryNameIsLiteral holds.
std::vector<std::string> packPaths(const std::string& archivePath, const std::vector<std::string>& paths);
}  // namespace QFToolCommands

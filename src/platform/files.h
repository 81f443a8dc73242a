#pragma once
// Files and folders, in the manner the system relies on: existence tests that
// follow links, listings in a stable order, removal that never follows links,
// and atomic writes. Errors are answered with false or empty values.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::fs {

bool fileExists(const std::string& path);    // follows symbolic links; a dangling link does not exist
bool isDirectory(const std::string& path);   // follows symbolic links
bool isSymlink(const std::string& path);

// Names directly inside a folder, sorted by bytes; an error gives an empty list.
std::vector<std::string> contentsOfDirectory(const std::string& path);
// Every path below a folder, relative to it, at any depth. A folder comes
// before its contents; links to folders are listed but not entered.
std::vector<std::string> subpathsOfDirectory(const std::string& path);

bool createDirectory(const std::string& path);  // with intermediate folders; an existing folder is fine
bool removeItem(const std::string& path);       // false when nothing was there or removal failed
bool copyItem(const std::string& from, const std::string& to);  // never overwrites
// The bytes of a regular file, links followed, into a new file: never a
// link, never over an existing item (a link at to included).
bool copyFileContents(const std::string& from, const std::string& to);

std::optional<std::string> readFile(const std::string& path);
// Writes to a temporary file beside the target and renames it over the
// target, so the target is either the old file whole or the new one whole.
bool writeFileAtomically(const std::string& path, std::string_view bytes);
// Writes every byte to an open descriptor, carrying on after interruptions
// (EINTR) and short writes; false when a write fails.
bool writeAll(int fd, std::string_view bytes);

}  // namespace platform::fs

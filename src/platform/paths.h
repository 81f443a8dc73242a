#pragma once
// Path texts handled the way the rest of the system expects of them:
// components are joined with single slashes, extensions are the text after
// the last dot of the last component.
#include <string>
#include <string_view>

namespace platform::path {

std::string appendingPathComponent(std::string_view base, std::string_view component);
std::string lastPathComponent(std::string_view path);
std::string deletingLastPathComponent(std::string_view path);
// "" when the last component has no dot, starts with its only dot, or ends in one.
std::string pathExtension(std::string_view path);
std::string deletingPathExtension(std::string_view path);
std::string appendingPathExtension(std::string_view path, std::string_view extension);
std::string toLower(std::string_view text);  // ASCII letters only

// The path made absolute against the current folder, for tools that run in
// another working folder. Unchanged when it is absolute or empty.
std::string absolutePath(std::string_view path);

// A path handed to a tool as an argument must never read as an option:
// a relative path that starts with "-" becomes absolute.
std::string safeArgumentPath(std::string_view path);

}  // namespace platform::path

#pragma once
// Which items of an application bundle are signed, and in which order.
#include <string>
#include <vector>

namespace engine {

// Every nested code item below appPath, then appPath itself. Nested code is
// what the platform takes for code: every bundle that names an executable
// (CFBundleExecutable) which exists, whatever its extension (.framework,
// .appex, .app, .xctest, .xpc, .bundle, ...), and every other Mach-O file of
// a kind that is signed, told by its content, not its name; not debug
// symbols (MH_DSYM), not a bundle's own executable, nothing reached through
// a link. Inside-out: an item comes after every listed item below it,
// because signing an inner item changes files that the outer item's seal
// covers. Items that do not contain one another come in name order.
// NOTE: keep in step with codesign::nestedCode (src/codesign/NestedCode.cpp),
// the verifier's view of the same rule.
std::vector<std::string> signingList(const std::string& appPath);

// Whether a listed item's code (a bundle's executable, or the file itself;
// the first slice of a fat file) is a program of its own (MH_EXECUTE): the
// signer gives such code the entitlements it is signed with.
bool isMainExecutable(const std::string& item);

// A listed item's code: a bundle's executable, or the file itself.
std::string codeFileOf(const std::string& item);

// Whether path lies below ancestor (both absolute, or both relative).
bool isBelow(const std::string& path, const std::string& ancestor);

// The same ordering applied to relative paths given parent-before-child.
std::vector<std::string> insideOut(const std::vector<std::string>& relativePaths);

}  // namespace engine

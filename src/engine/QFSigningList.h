#pragma once
// Which items of an application bundle are signed, and in which order.
#include <string>
#include <vector>

namespace engine {

// Every framework, dynamic library, app extension and nested application
// below appPath (extension compared without regard to case; files and
// folders alike, nested ones included), then appPath itself. Inside-out: an item comes after every listed item
// below it, because signing an inner item changes files that the outer
// item's seal covers. Items that do not contain one another keep the
// listing's order.
std::vector<std::string> signingList(const std::string& appPath);

// Whether a path names an item that is signed on its own (by its extension).
bool isSignedItem(const std::string& relativePath);

// Whether path lies below ancestor (both absolute, or both relative).
bool isBelow(const std::string& path, const std::string& ancestor);

// The same ordering applied to relative paths given parent-before-child.
std::vector<std::string> insideOut(const std::vector<std::string>& relativePaths);

}  // namespace engine

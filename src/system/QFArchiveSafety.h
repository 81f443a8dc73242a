#pragma once
// What an unpacked archive may leave behind. The unpacking tool already
// strips absolute paths and ".." components and will not write through a
// link it created; what it does leave are the links themselves, and a link
// whose target lies outside the unpacked tree would let every later step
// (Info.plist editing, signing, the profile copy) write outside it.
#include <string>

// True when no symbolic link below root points outside root: no absolute
// targets, and no relative target that climbs above root.
bool QFTreeLinksStayInside(const std::string& root);

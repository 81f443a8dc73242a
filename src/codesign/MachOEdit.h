#pragma once
// Which libraries a Mach-O file loads, and changing that in place. A load
// command is only ever added into the free space between the last load
// command and the first byte of section data, and a removed one closes up
// the commands after it: no section, segment or table moves, so nothing
// else in the file needs rewriting. As with signing, the new header of every
// slice is computed and checked first (planLibraryEdit); only a plan that
// holds for every slice is written (applyHeaderPatches).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codesign/FileAccess.h"
#include "platform/result.h"

namespace codesign::macho {

constexpr uint32_t LC_REQ_DYLD = 0x80000000;
constexpr uint32_t LC_LOAD_DYLIB = 0xc;
constexpr uint32_t LC_ID_DYLIB = 0xd;
constexpr uint32_t LC_LOAD_WEAK_DYLIB = 0x18 | LC_REQ_DYLD;
constexpr uint32_t LC_RPATH = 0x1c | LC_REQ_DYLD;
constexpr uint32_t LC_REEXPORT_DYLIB = 0x1f | LC_REQ_DYLD;
constexpr uint32_t LC_LAZY_LOAD_DYLIB = 0x20;
constexpr uint32_t LC_LOAD_UPWARD_DYLIB = 0x23 | LC_REQ_DYLD;

// Whether a command names a library the file loads (and so takes one of
// the library ordinals that the file's symbol bindings refer to).
bool loadsLibrary(uint32_t command);

// One dylib_command: LC_ID_DYLIB, or one of the commands that load a library.
struct LibraryCommand {
    uint32_t command = LC_LOAD_DYLIB;
    std::string path;
    uint32_t currentVersion = 0;
    uint32_t compatibilityVersion = 0;
};

// What the load commands of one slice say about libraries.
struct SliceLibraries {
    std::string arch;
    uint32_t filetype = 0;
    std::optional<LibraryCommand> identity;  // LC_ID_DYLIB: a library's own name
    std::vector<LibraryCommand> loads;       // in ordinal order
    std::vector<std::string> rpaths;
    uint64_t freeSpace = 0;  // bytes between the last load command and the first data
    bool hasSignature = false;
};

// Reads every slice's library commands; every offset and length is checked
// against the file. NotMachO for a file that is no Mach-O at all.
platform::Result<std::vector<SliceLibraries>> readLibraries(const InputFile& input);

struct LibraryEdit {
    std::vector<LibraryCommand> add;  // appended after the existing commands, in this order
    std::vector<std::string> remove;  // paths whose load commands go, exactly as written in them
};

// The bytes to write over one slice's header and load commands.
struct HeaderPatch {
    uint64_t offset = 0;  // within the file
    std::string bytes;
};

// The new header of every slice, or why the edit cannot be made:
// Unsupported when a slice has not the room for the new commands (counting
// the signature command the signer will add to a slice that has none yet)
// or when a library to remove is followed by other libraries it loads
// (their ordinals would shift under the bindings that use them); NotFound
// when a slice loads no library of that path; Exists when it already loads
// one to be added.
platform::Result<std::vector<HeaderPatch>> planLibraryEdit(const InputFile& input, const LibraryEdit& edit);

// Writes path again with the patches applied, through a replacement file
// renamed over it (so the file is whole whatever happens), keeping its mode.
platform::Result<> applyHeaderPatches(const std::string& path, const std::vector<HeaderPatch>& patches);

}  // namespace codesign::macho

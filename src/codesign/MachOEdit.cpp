#include "codesign/MachOEdit.h"

#include <algorithm>

#include "codesign/Bytes.h"
#include "codesign/MachO.h"

namespace codesign::macho {

namespace {

using platform::Error;
using platform::ErrorKind;
using platform::Result;

constexpr uint32_t kDylibCommandSize = 24;   // dylib_command without its name
constexpr uint32_t kRpathCommandSize = 12;   // rpath_command without its path
constexpr uint32_t kSegmentCommandSize = 56;
constexpr uint32_t kSegmentCommand64Size = 72;
constexpr uint32_t kSectionSize = 68;
constexpr uint32_t kSection64Size = 80;
constexpr uint32_t kSectionTypeMask = 0xff;
constexpr uint32_t S_ZEROFILL = 0x1;
constexpr uint32_t S_GB_ZEROFILL = 0xc;
constexpr uint32_t S_THREAD_LOCAL_ZEROFILL = 0x12;
constexpr uint32_t kDylibTimestamp = 2;  // what linkers write; nothing reads it

Error malformed(const Slice& slice, const std::string& text) {
    return Error(ErrorKind::Malformed, "the " + slice.archName() + " slice: " + text);
}

// The text an lc_str names inside a command: from its offset to the first
// NUL or the command's end.
std::optional<std::string> commandString(std::string_view command, uint64_t fieldAt, uint32_t fixedSize, bool be) {
    auto offset = bytes::u32(command, fieldAt, be);
    if (!offset || *offset < fixedSize || *offset >= command.size()) return std::nullopt;
    std::string_view text = command.substr(*offset);
    return std::string(text.substr(0, std::min(text.find('\0'), text.size())));
}

// One slice's load commands, read and walked once; each command's bytes
// kept for rewriting.
struct SliceCommands {
    Slice slice;
    std::string header;  // the header and the load commands, as in the file
    struct Command {
        uint32_t cmd = 0;
        std::string_view bytes;  // into header
    };
    std::vector<Command> commands;
    SliceLibraries libraries;
    uint64_t firstData = 0;  // slice offset of the first byte after the header that the file uses
};

Result<SliceCommands> readSlice(const InputFile& input, const Slice& slice) {
    SliceCommands out;
    out.slice = slice;
    const bool be = slice.bigEndian;
    auto header = input.read(slice.offset, slice.commandsEnd());
    if (!header) return malformed(slice, "truncated load commands");
    out.header = std::move(*header);
    std::string_view all = out.header;
    SliceLibraries& libraries = out.libraries;
    libraries.arch = slice.archName();
    libraries.filetype = slice.filetype;
    libraries.hasSignature = slice.hasSignature();

    uint64_t firstData = slice.size;
    uint64_t at = slice.headerSize;
    for (uint32_t i = 0; i < slice.ncmds; ++i) {
        auto cmd = bytes::u32(all, at, be);
        auto cmdsize = bytes::u32(all, at + 4, be);
        if (!cmd || !cmdsize || *cmdsize < 8 || *cmdsize > all.size() - at)
            return malformed(slice, "load command " + std::to_string(i) + " is damaged");
        std::string_view command = all.substr(at, *cmdsize);
        out.commands.push_back({*cmd, command});
        if (loadsLibrary(*cmd) || *cmd == LC_ID_DYLIB) {
            if (*cmdsize < kDylibCommandSize) return malformed(slice, "a library command is too short");
            LibraryCommand library;
            library.command = *cmd;
            auto name = commandString(command, 8, kDylibCommandSize, be);
            if (!name) return malformed(slice, "a library command's name lies outside it");
            library.path = std::move(*name);
            library.currentVersion = *bytes::u32(command, 16, be);
            library.compatibilityVersion = *bytes::u32(command, 20, be);
            if (*cmd == LC_ID_DYLIB) libraries.identity = std::move(library);
            else libraries.loads.push_back(std::move(library));
        } else if (*cmd == LC_RPATH) {
            auto path = command.size() >= kRpathCommandSize ? commandString(command, 8, kRpathCommandSize, be)
                                                            : std::nullopt;
            if (!path) return malformed(slice, "a run path command's path lies outside it");
            libraries.rpaths.push_back(std::move(*path));
        } else if (*cmd == LC_SEGMENT || *cmd == LC_SEGMENT_64) {
            // Where the segment's data and each of its sections' data start:
            // the first of them, past the header, bounds the free space.
            const bool wide = *cmd == LC_SEGMENT_64;
            const uint32_t fixed = wide ? kSegmentCommand64Size : kSegmentCommandSize;
            const uint32_t sectionSize = wide ? kSection64Size : kSectionSize;
            if (command.size() < fixed) return malformed(slice, "a segment command is too short");
            uint64_t fileoff = wide ? *bytes::u64(command, 40, be) : *bytes::u32(command, 32, be);
            uint64_t filesize = wide ? *bytes::u64(command, 48, be) : *bytes::u32(command, 36, be);
            uint32_t nsects = *bytes::u32(command, wide ? 64 : 48, be);
            if (uint64_t{nsects} * sectionSize > command.size() - fixed)
                return malformed(slice, "a segment's sections lie outside its command");
            if (fileoff > 0 && filesize > 0) firstData = std::min(firstData, fileoff);
            for (uint32_t s = 0; s < nsects; ++s) {
                const uint64_t section = fixed + uint64_t{s} * sectionSize;
                const uint32_t offset = *bytes::u32(command, section + (wide ? 48 : 40), be);
                const uint32_t flags = *bytes::u32(command, section + (wide ? 64 : 56), be);
                const uint32_t type = flags & kSectionTypeMask;
                if (type == S_ZEROFILL || type == S_GB_ZEROFILL || type == S_THREAD_LOCAL_ZEROFILL) continue;
                if (offset > 0) firstData = std::min<uint64_t>(firstData, offset);
            }
        }
        at += *cmdsize;
    }
    if (firstData < slice.commandsEnd()) return malformed(slice, "section data overlaps the load commands");
    out.firstData = firstData;
    libraries.freeSpace = firstData - slice.commandsEnd();
    return out;
}

Result<std::vector<SliceCommands>> readAll(const InputFile& input) {
    auto file = parse(input);
    if (!file) return file.error();
    std::vector<SliceCommands> slices;
    for (const Slice& slice : file->slices) {
        auto read = readSlice(input, slice);
        if (!read) return read.error();
        slices.push_back(std::move(*read));
    }
    return slices;
}

std::string dylibCommand(const LibraryCommand& library, bool is64, bool be) {
    const uint64_t size = bytes::alignUp(kDylibCommandSize + library.path.size() + 1, is64 ? 8 : 4);
    std::string out(size, '\0');
    bytes::put32(out, 0, library.command, be);
    bytes::put32(out, 4, uint32_t(size), be);
    bytes::put32(out, 8, kDylibCommandSize, be);
    bytes::put32(out, 12, kDylibTimestamp, be);
    bytes::put32(out, 16, library.currentVersion, be);
    bytes::put32(out, 20, library.compatibilityVersion, be);
    out.replace(kDylibCommandSize, library.path.size(), library.path);
    return out;
}

}  // namespace

bool loadsLibrary(uint32_t command) {
    return command == LC_LOAD_DYLIB || command == LC_LOAD_WEAK_DYLIB || command == LC_REEXPORT_DYLIB ||
           command == LC_LAZY_LOAD_DYLIB || command == LC_LOAD_UPWARD_DYLIB;
}

Result<std::vector<SliceLibraries>> readLibraries(const InputFile& input) {
    auto slices = readAll(input);
    if (!slices) return slices.error();
    std::vector<SliceLibraries> out;
    for (auto& slice : *slices) out.push_back(std::move(slice.libraries));
    return out;
}

Result<std::vector<HeaderPatch>> planLibraryEdit(const InputFile& input, const LibraryEdit& edit) {
    auto slices = readAll(input);
    if (!slices) return slices.error();
    std::vector<HeaderPatch> patches;
    for (const SliceCommands& read : *slices) {
        const Slice& slice = read.slice;
        const bool be = slice.bigEndian;
        const std::string arch = slice.archName();

        // Removing: only libraries after which the slice loads no other,
        // so that every remaining library keeps its ordinal.
        for (const std::string& path : edit.remove) {
            size_t found = 0;
            bool laterKept = false;
            for (const auto& command : read.commands) {
                if (!loadsLibrary(command.cmd)) continue;
                auto name = commandString(command.bytes, 8, kDylibCommandSize, be);
                bool goes = name && std::find(edit.remove.begin(), edit.remove.end(), *name) != edit.remove.end();
                if (name && *name == path) ++found;
                else if (found && !goes) laterKept = true;
            }
            if (!found) return Error(ErrorKind::NotFound, "the " + arch + " slice loads no library " + path);
            if (laterKept)
                return Error(ErrorKind::Unsupported,
                             "the " + arch + " slice loads other libraries after " + path +
                                 ": removing it would renumber them under the bindings that use them");
        }
        for (const LibraryCommand& library : edit.add)
            for (const LibraryCommand& loaded : read.libraries.loads)
                if (loaded.path == library.path)
                    return Error(ErrorKind::Exists, "the " + arch + " slice already loads " + library.path);

        std::string commands;
        uint32_t ncmds = 0;
        for (const auto& command : read.commands) {
            if (loadsLibrary(command.cmd)) {
                auto name = commandString(command.bytes, 8, kDylibCommandSize, be);
                if (name && std::find(edit.remove.begin(), edit.remove.end(), *name) != edit.remove.end()) continue;
            }
            commands.append(command.bytes);
            ++ncmds;
        }
        for (const LibraryCommand& library : edit.add) {
            commands += dylibCommand(library, slice.is64, be);
            ++ncmds;
        }
        // The signer adds its own command to a slice that has none; it must
        // find the room for it too.
        const uint64_t needed = slice.headerSize + commands.size() + (slice.hasSignature() ? 0 : kLinkeditDataCommandSize);
        if (needed > read.firstData)
            return Error(ErrorKind::Unsupported,
                         "the " + arch + " slice has " + std::to_string(read.libraries.freeSpace) +
                             " bytes free after its load commands, and " +
                             std::to_string(needed - slice.commandsEnd()) +
                             " are needed: it must be linked with more header space (-headerpad_max_install_names)");
        // What is written over must be free: nothing but zeros.
        const uint64_t newEnd = slice.headerSize + commands.size();
        if (newEnd > slice.commandsEnd()) {
            auto gap = input.read(slice.offset + slice.commandsEnd(), newEnd - slice.commandsEnd());
            if (!gap) return malformed(slice, "the space after the load commands cannot be read");
            if (gap->find_first_not_of('\0') != std::string::npos)
                return Error(ErrorKind::Unsupported,
                             "the " + arch + " slice holds data right after its load commands");
        }
        if (commands.size() > UINT32_MAX) return malformed(slice, "load commands too large");

        HeaderPatch patch;
        patch.offset = slice.offset;
        patch.bytes = read.header.substr(0, slice.headerSize) + commands;
        // A shorter list leaves zeros where its end used to be.
        if (patch.bytes.size() < read.header.size()) patch.bytes.resize(read.header.size(), '\0');
        bytes::put32(patch.bytes, 16, ncmds, be);
        bytes::put32(patch.bytes, 20, uint32_t(commands.size()), be);
        patches.push_back(std::move(patch));
    }
    return patches;
}

Result<> applyHeaderPatches(const std::string& path, const std::vector<HeaderPatch>& patches) {
    InputFile input;
    if (!input.open(path)) return Error(ErrorKind::Io, "cannot read " + path);
    for (const auto& patch : patches)
        if (patch.offset > input.size() || input.size() - patch.offset < patch.bytes.size())
            return Error(ErrorKind::Malformed, "a new header reaches past the end of " + path);
    ReplacementFile out;
    if (!out.create(path, input.mode())) return Error(ErrorKind::Io, "cannot write beside " + path);
    constexpr uint64_t kChunk = 1 << 20;
    for (uint64_t at = 0; at < input.size(); at += kChunk) {
        const uint64_t length = std::min(kChunk, input.size() - at);
        auto chunk = input.read(at, length);
        if (!chunk || !out.write(at, *chunk)) return Error(ErrorKind::Io, "cannot copy " + path);
    }
    for (const auto& patch : patches)
        if (!out.write(patch.offset, patch.bytes)) return Error(ErrorKind::Io, "cannot write " + path);
    if (!out.commit()) return Error(ErrorKind::Io, "cannot replace " + path);
    return {};
}

}  // namespace codesign::macho

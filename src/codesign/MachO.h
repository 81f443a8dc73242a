#pragma once
// Mach-O files as the signer sees them: thin or fat, each slice with the
// segments and load commands that place its code signature. Parsing checks
// every offset against the file; planning computes where a new signature
// goes before anything is written.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/FileAccess.h"
#include "platform/result.h"

namespace codesign::macho {

constexpr uint32_t MH_MAGIC = 0xfeedface;
constexpr uint32_t MH_CIGAM = 0xcefaedfe;
constexpr uint32_t MH_MAGIC_64 = 0xfeedfacf;
constexpr uint32_t MH_CIGAM_64 = 0xcffaedfe;
constexpr uint32_t FAT_MAGIC = 0xcafebabe;

constexpr uint32_t MH_EXECUTE = 0x2;
constexpr uint32_t MH_DYLIB = 0x6;
constexpr uint32_t MH_DYLINKER = 0x7;
constexpr uint32_t MH_BUNDLE = 0x8;
constexpr uint32_t MH_KEXT_BUNDLE = 0xb;

constexpr uint32_t LC_SEGMENT = 0x1;
constexpr uint32_t LC_SEGMENT_64 = 0x19;
constexpr uint32_t LC_CODE_SIGNATURE = 0x1d;
constexpr uint32_t LC_VERSION_MIN_MACOSX = 0x24;
constexpr uint32_t LC_VERSION_MIN_IPHONEOS = 0x25;
constexpr uint32_t LC_VERSION_MIN_TVOS = 0x2f;
constexpr uint32_t LC_VERSION_MIN_WATCHOS = 0x30;
constexpr uint32_t LC_BUILD_VERSION = 0x32;

constexpr uint32_t PLATFORM_MACOS = 1;
constexpr uint32_t PLATFORM_IOS = 2;
constexpr uint32_t PLATFORM_TVOS = 3;
constexpr uint32_t PLATFORM_WATCHOS = 4;

constexpr int32_t CPU_TYPE_X86 = 7;
constexpr int32_t CPU_TYPE_X86_64 = 0x01000007;
constexpr int32_t CPU_TYPE_ARM = 12;
constexpr int32_t CPU_TYPE_ARM64 = 0x0100000c;
constexpr int32_t CPU_TYPE_ARM64_32 = 0x0200000c;
constexpr uint32_t CPU_SUBTYPE_MASK = 0xff000000;

constexpr uint32_t kLinkeditDataCommandSize = 16;   // linkedit_data_command
constexpr uint32_t kSignatureAlignment = 16;         // dataoff alignment
constexpr uint64_t kLinkeditVmRounding = 0x4000;
constexpr uint32_t kFatSliceAlignmentLog2 = 14;      // slices of a rewritten fat file start on 0x4000
constexpr uint32_t kMaxFatArchs = 30;

struct Segment {
    uint64_t commandOffset = 0;  // of its segment command, within the slice
    uint64_t fileoff = 0;
    uint64_t filesize = 0;
    uint64_t vmsize = 0;
};

struct Slice {
    uint64_t offset = 0;  // within the file
    uint64_t size = 0;
    int32_t cputype = 0;
    uint32_t cpusubtype = 0;
    uint32_t filetype = 0;
    bool is64 = false;
    bool bigEndian = false;
    uint32_t ncmds = 0;
    uint32_t sizeofcmds = 0;
    uint32_t headerSize = 0;
    std::optional<Segment> text;
    std::optional<Segment> linkedit;
    std::optional<uint64_t> codeSignatureCommand;  // offset of LC_CODE_SIGNATURE
    uint32_t signatureOffset = 0;                  // its dataoff
    uint32_t signatureSize = 0;                    // its datasize
    std::optional<uint64_t> firstSectionOffset;    // file offset of the first section's contents
    uint32_t platform = 0;  // 0 when the slice names none
    uint32_t minOS = 0;     // X<<16 | Y<<8 | Z

    bool hasSignature() const { return codeSignatureCommand.has_value(); }
    uint64_t commandsEnd() const { return uint64_t(headerSize) + sizeofcmds; }
    std::string archName() const;
};

struct File {
    bool fat = false;
    uint64_t size = 0;
    std::vector<Slice> slices;
    std::string formatName() const;  // "Mach-O thin (arm64)", "Mach-O universal (armv7 arm64)"
};

// Reads the headers of a thin or fat file. A failure is NotMachO for a file
// that is no Mach-O at all, Malformed for a broken one.
platform::Result<File> parse(const InputFile& input);

// Where a slice's signature goes: the offset of the signature (the end of the
// hashed code) and whether a load command must be added. Fails for a slice
// that cannot be signed (no room for the command, no __LINKEDIT, ...).
struct SignaturePlacement {
    uint64_t codeLimit = 0;
    bool addsCommand = false;
};
platform::Result<SignaturePlacement> placeSignature(const Slice& slice);

// The slice rewritten to hold a reservation of the given size (a multiple of
// 16) at placement.codeLimit: its new length, and its header and load
// commands as they must read, to be written over [0, header.size()).
struct SliceLayout {
    uint64_t codeLimit = 0;
    uint32_t reservation = 0;
    uint64_t newSize = 0;
    std::string header;
};
SliceLayout layoutSlice(const Slice& slice, std::string_view headerAndCommands, const SignaturePlacement& placement,
                        uint32_t reservation);

// Where each slice of a rewritten fat file starts, and the file's length.
struct FatLayout {
    std::vector<uint64_t> offsets;
    uint64_t size = 0;
};
FatLayout layoutFat(const std::vector<uint64_t>& sliceSizes);
std::string fatHeader(const std::vector<Slice>& slices, const FatLayout& layout, const std::vector<uint64_t>& sizes);

}  // namespace codesign::macho

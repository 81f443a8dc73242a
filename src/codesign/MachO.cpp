#include "codesign/MachO.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "codesign/Bytes.h"

namespace codesign::macho {

namespace {

using bytes::be32;
using bytes::u32;
using bytes::u64;

constexpr uint32_t kMachHeaderSize = 28;
constexpr uint32_t kMachHeader64Size = 32;
constexpr uint32_t kSegmentCommandSize = 56;
constexpr uint32_t kSegmentCommand64Size = 72;
constexpr uint32_t kSectionSize = 68;
constexpr uint32_t kSection64Size = 80;
constexpr uint32_t kFatHeaderSize = 8;
constexpr uint32_t kFatArchSize = 20;

using platform::Error;
using platform::ErrorKind;
using platform::Result;

Error malformed(std::string text) { return Error(ErrorKind::Malformed, std::move(text)); }
Error notMachO(std::string text) { return Error(ErrorKind::NotMachO, std::move(text)); }

std::string segmentName(std::string_view commands, uint64_t offset) {
    std::string_view raw = commands.substr(offset + 8, 16);
    return std::string(raw.substr(0, std::min(raw.find('\0'), raw.size())));
}

Result<> parseSegment(Slice& slice, std::string_view cmds, uint64_t at, uint32_t cmdsize) {
    const bool be = slice.bigEndian;
    const bool is64 = slice.is64;
    const uint32_t fixed = is64 ? kSegmentCommand64Size : kSegmentCommandSize;
    if (cmdsize < fixed) return malformed("segment command too small");
    Segment seg;
    seg.commandOffset = at + slice.headerSize;
    uint32_t nsects;
    if (is64) {
        seg.vmsize = *u64(cmds, at + 32, be);
        seg.fileoff = *u64(cmds, at + 40, be);
        seg.filesize = *u64(cmds, at + 48, be);
        nsects = *u32(cmds, at + 64, be);
    } else {
        seg.vmsize = *u32(cmds, at + 28, be);
        seg.fileoff = *u32(cmds, at + 32, be);
        seg.filesize = *u32(cmds, at + 36, be);
        nsects = *u32(cmds, at + 48, be);
    }
    const uint32_t sectionSize = is64 ? kSection64Size : kSectionSize;
    if (uint64_t(nsects) * sectionSize > cmdsize - fixed) return malformed("sections past their segment command");
    if (seg.fileoff > slice.size || slice.size - seg.fileoff < seg.filesize) {
        std::string name = segmentName(cmds, at);
        return malformed(name + " segment extends past end of file");
    }
    std::string name = segmentName(cmds, at);
    if (!slice.firstSectionOffset && seg.fileoff == 0 && seg.filesize != 0 && nsects != 0) {
        // The first section's file offset (after sectname[16], segname[16], addr, size).
        uint64_t section = at + fixed;
        slice.firstSectionOffset = *u32(cmds, section + (is64 ? 48 : 40), be);
    }
    if (name == "__TEXT") slice.text = seg;
    if (name == "__LINKEDIT") slice.linkedit = seg;
    return {};
}

Result<> parseSlice(const InputFile& input, Slice& slice) {
    auto magicBytes = input.read(slice.offset, 4);
    if (!magicBytes) {
        return notMachO("file is too short to be a Mach-O binary");
    }
    uint32_t magic = *be32(*magicBytes, 0);
    switch (magic) {
        case MH_MAGIC: slice.bigEndian = true; break;
        case MH_MAGIC_64: slice.bigEndian = true; slice.is64 = true; break;
        case MH_CIGAM: slice.bigEndian = false; break;
        case MH_CIGAM_64: slice.bigEndian = false; slice.is64 = true; break;
        default:
            return notMachO("not a Mach-O binary");
    }
    slice.headerSize = slice.is64 ? kMachHeader64Size : kMachHeaderSize;
    auto header = input.read(slice.offset, std::min<uint64_t>(slice.headerSize, slice.size));
    if (!header || header->size() < slice.headerSize) return malformed("truncated Mach-O header");
    const bool be = slice.bigEndian;
    slice.cputype = int32_t(*u32(*header, 4, be));
    slice.cpusubtype = *u32(*header, 8, be);
    slice.filetype = *u32(*header, 12, be);
    slice.ncmds = *u32(*header, 16, be);
    slice.sizeofcmds = *u32(*header, 20, be);
    if (slice.sizeofcmds > slice.size - slice.headerSize) return malformed("load commands extend past end of file");
    auto cmdsRead = input.read(slice.offset + slice.headerSize, slice.sizeofcmds);
    if (!cmdsRead) return malformed("truncated load commands");
    std::string_view cmds = *cmdsRead;

    uint64_t at = 0;
    for (uint32_t i = 0; i < slice.ncmds; ++i) {
        auto cmd = u32(cmds, at, be);
        auto cmdsize = u32(cmds, at + 4, be);
        if (!cmd || !cmdsize || *cmdsize < 8 || *cmdsize % 4 != 0 || *cmdsize > cmds.size() - at)
            return malformed("malformed load command " + std::to_string(i));
        switch (*cmd) {
            case LC_SEGMENT:
            case LC_SEGMENT_64:
                if ((*cmd == LC_SEGMENT_64) != slice.is64) return malformed("segment command of the wrong width");
                if (auto segment = parseSegment(slice, cmds, at, *cmdsize); !segment) return segment;
                break;
            case LC_CODE_SIGNATURE: {
                if (*cmdsize != kLinkeditDataCommandSize) return malformed("malformed LC_CODE_SIGNATURE");
                if (slice.codeSignatureCommand) return malformed("more than one LC_CODE_SIGNATURE");
                slice.codeSignatureCommand = at + slice.headerSize;
                slice.signatureOffset = *u32(cmds, at + 8, be);
                slice.signatureSize = *u32(cmds, at + 12, be);
                if (uint64_t(slice.signatureOffset) + slice.signatureSize > slice.size)
                    return malformed("code signature extends past end of file");
                break;
            }
            case LC_BUILD_VERSION:
                if (*cmdsize < 24) return malformed("malformed LC_BUILD_VERSION");
                slice.platform = *u32(cmds, at + 8, be);
                slice.minOS = *u32(cmds, at + 12, be);
                break;
            case LC_VERSION_MIN_IPHONEOS:
            case LC_VERSION_MIN_MACOSX:
            case LC_VERSION_MIN_TVOS:
            case LC_VERSION_MIN_WATCHOS:
                if (*cmdsize < 16) return malformed("malformed version command");
                slice.platform = *cmd == LC_VERSION_MIN_IPHONEOS ? PLATFORM_IOS
                                 : *cmd == LC_VERSION_MIN_MACOSX ? PLATFORM_MACOS
                                 : *cmd == LC_VERSION_MIN_TVOS   ? PLATFORM_TVOS
                                                                 : PLATFORM_WATCHOS;
                slice.minOS = *u32(cmds, at + 8, be);
                break;
            default: break;
        }
        at += *cmdsize;
    }
    if (slice.codeSignatureCommand && slice.linkedit) {
        const Segment& le = *slice.linkedit;
        if (slice.signatureOffset < le.fileoff) return malformed("code signature lies outside __LINKEDIT");
    }
    return {};
}

const char* cpuName(int32_t cputype, uint32_t cpusubtype) {
    uint32_t sub = cpusubtype & ~CPU_SUBTYPE_MASK;
    switch (cputype) {
        case CPU_TYPE_ARM64: return sub == 2 ? "arm64e" : "arm64";
        case CPU_TYPE_ARM64_32: return "arm64_32";
        case CPU_TYPE_X86_64: return sub == 8 ? "x86_64h" : "x86_64";
        case CPU_TYPE_X86: return "i386";
        case CPU_TYPE_ARM:
            switch (sub) {
                case 6: return "armv6";
                case 9: return "armv7";
                case 11: return "armv7s";
                case 12: return "armv7k";
                default: return "arm";
            }
        default: return nullptr;
    }
}

}  // namespace

std::string Slice::archName() const {
    const char* name = cpuName(cputype, cpusubtype);
    return name ? name : "cpu" + std::to_string(cputype);
}

std::string File::formatName() const {
    if (!fat) return "Mach-O thin (" + (slices.empty() ? std::string() : slices[0].archName()) + ")";
    std::vector<const Slice*> order;
    for (const Slice& s : slices) order.push_back(&s);
    std::sort(order.begin(), order.end(), [](const Slice* a, const Slice* b) {
        return std::make_tuple(uint32_t(a->cputype), a->cpusubtype & ~CPU_SUBTYPE_MASK) <
               std::make_tuple(uint32_t(b->cputype), b->cpusubtype & ~CPU_SUBTYPE_MASK);
    });
    std::string out = "Mach-O universal (";
    for (size_t i = 0; i < order.size(); ++i) out += (i ? " " : "") + order[i]->archName();
    return out + ")";
}

Result<File> parse(const InputFile& input) {
    File file;
    file.size = input.size();
    auto head = input.read(0, std::min<uint64_t>(input.size(), kFatHeaderSize));
    if (!head || head->size() < 4) {
        return notMachO("file is too short to be a Mach-O binary");
    }
    if (*be32(*head, 0) == FAT_MAGIC) {
        file.fat = true;
        auto count = be32(*head, 4);
        if (!count || *count == 0 || *count > kMaxFatArchs) {
            return notMachO("not a Mach-O binary");
        }
        auto archs = input.read(kFatHeaderSize, uint64_t(*count) * kFatArchSize);
        if (!archs) {
            return malformed("truncated fat header");
        }
        for (uint32_t i = 0; i < *count; ++i) {
            uint64_t at = uint64_t(i) * kFatArchSize;
            Slice slice;
            slice.offset = *be32(*archs, at + 8);
            slice.size = *be32(*archs, at + 12);
            if (slice.offset < kFatHeaderSize + uint64_t(*count) * kFatArchSize || slice.offset > file.size ||
                file.size - slice.offset < slice.size) {
                return malformed("fat slice " + std::to_string(i) + " extends past end of file");
            }
            // Inside a fat file even a slice without a Mach-O magic makes the file a broken one.
            if (auto parsed = parseSlice(input, slice); !parsed) return malformed(parsed.text());
            if (int32_t(*be32(*archs, at)) != slice.cputype) {
                return malformed("fat header and slice disagree on the architecture");
            }
            file.slices.push_back(slice);
        }
        // Slices must not overlap.
        std::vector<const Slice*> order;
        for (const Slice& s : file.slices) order.push_back(&s);
        std::sort(order.begin(), order.end(), [](auto* a, auto* b) { return a->offset < b->offset; });
        for (size_t i = 1; i < order.size(); ++i) {
            if (order[i - 1]->offset + order[i - 1]->size > order[i]->offset) {
                return malformed("fat slices overlap");
            }
        }
        return file;
    }
    Slice slice;
    slice.offset = 0;
    slice.size = file.size;
    if (auto parsed = parseSlice(input, slice); !parsed) return parsed.error();
    file.slices.push_back(slice);
    return file;
}

Result<SignaturePlacement> placeSignature(const Slice& slice) {
    switch (slice.filetype) {
        case MH_EXECUTE:
        case MH_DYLIB:
        case MH_DYLINKER:
        case MH_BUNDLE:
        case MH_KEXT_BUNDLE: break;
        default:
            return Error("Mach-O file type " + std::to_string(slice.filetype) + " cannot be signed");
    }
    if (!slice.linkedit) {
        return Error("Mach-O file has no __LINKEDIT segment");
    }
    SignaturePlacement placement;
    if (slice.hasSignature()) {
        // The old signature must be the last thing in the slice; anything
        // after it would be dropped, so refuse rather than guess.
        if (uint64_t(slice.signatureOffset) + slice.signatureSize + 7 < slice.size) {
            return Error("LC_CODE_SIGNATURE does not point to end of file");
        }
        placement.codeLimit = slice.signatureOffset;
    } else {
        uint64_t firstData = slice.firstSectionOffset.value_or(slice.size);
        if (slice.commandsEnd() + kLinkeditDataCommandSize > firstData) {
            return Error("not enough room in load commands to add LC_CODE_SIGNATURE");
        }
        placement.addsCommand = true;
        placement.codeLimit = bytes::alignUp(slice.size, kSignatureAlignment);
    }
    if (placement.codeLimit > 0xffffffffull - 0x100000) {
        return Error("Mach-O slice too large to sign");
    }
    return placement;
}

SliceLayout layoutSlice(const Slice& slice, std::string_view headerAndCommands, const SignaturePlacement& placement,
                        uint32_t reservation) {
    const bool be = slice.bigEndian;
    SliceLayout layout;
    layout.codeLimit = placement.codeLimit;
    layout.reservation = reservation;
    layout.newSize = placement.codeLimit + reservation;
    layout.header = std::string(headerAndCommands.substr(0, slice.commandsEnd()));
    uint64_t commandAt;
    if (placement.addsCommand) {
        commandAt = slice.commandsEnd();
        layout.header.append(kLinkeditDataCommandSize, '\0');
        bytes::put32(layout.header, commandAt, LC_CODE_SIGNATURE, be);
        bytes::put32(layout.header, commandAt + 4, kLinkeditDataCommandSize, be);
        bytes::put32(layout.header, 16, slice.ncmds + 1, be);
        bytes::put32(layout.header, 20, slice.sizeofcmds + kLinkeditDataCommandSize, be);
    } else {
        commandAt = *slice.codeSignatureCommand;
    }
    bytes::put32(layout.header, commandAt + 8, uint32_t(placement.codeLimit), be);
    bytes::put32(layout.header, commandAt + 12, reservation, be);

    const Segment& le = *slice.linkedit;
    uint64_t filesize = layout.newSize - le.fileoff;
    uint64_t vmsize = bytes::alignUp(filesize, kLinkeditVmRounding);
    uint64_t segAt = le.commandOffset;
    if (slice.is64) {
        bytes::put64(layout.header, segAt + 32, vmsize, be);
        bytes::put64(layout.header, segAt + 48, filesize, be);
    } else {
        bytes::put32(layout.header, segAt + 28, uint32_t(vmsize), be);
        bytes::put32(layout.header, segAt + 36, uint32_t(filesize), be);
    }
    return layout;
}

FatLayout layoutFat(const std::vector<uint64_t>& sliceSizes) {
    FatLayout layout;
    const uint64_t alignment = uint64_t{1} << kFatSliceAlignmentLog2;
    uint64_t at = alignment;
    for (uint64_t size : sliceSizes) {
        layout.offsets.push_back(at);
        layout.size = at + size;
        at = bytes::alignUp(at + size, alignment);
    }
    return layout;
}

std::string fatHeader(const std::vector<Slice>& slices, const FatLayout& layout, const std::vector<uint64_t>& sizes) {
    std::string out;
    bytes::appendBe32(out, FAT_MAGIC);
    bytes::appendBe32(out, uint32_t(slices.size()));
    for (size_t i = 0; i < slices.size(); ++i) {
        bytes::appendBe32(out, uint32_t(slices[i].cputype));
        bytes::appendBe32(out, slices[i].cpusubtype);
        bytes::appendBe32(out, uint32_t(layout.offsets[i]));
        bytes::appendBe32(out, uint32_t(sizes[i]));
        bytes::appendBe32(out, kFatSliceAlignmentLog2);
    }
    return out;
}

}  // namespace codesign::macho

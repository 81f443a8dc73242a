#pragma once
// The Mach-O and fat-file magic numbers the engine looks at when it reads the
// first bytes of a file (which files are code, whether a slice is encrypted, which
// processors a slice is for).
// NOTE: keep in step with src/codesign/MachO.h, which owns the format for the
// signer; the engine reaches that library only through the commands.
#include <cstdint>

namespace engine::macho {

constexpr uint32_t MH_MAGIC = 0xfeedface;
constexpr uint32_t MH_CIGAM = 0xcefaedfe;
constexpr uint32_t MH_MAGIC_64 = 0xfeedfacf;
constexpr uint32_t MH_CIGAM_64 = 0xcffaedfe;
constexpr uint32_t FAT_MAGIC = 0xcafebabe;
constexpr uint32_t FAT_MAGIC_64 = 0xcafebabf;
constexpr uint32_t CPU_TYPE_ARM64 = 0x0100000c;  // a slice a device can run
constexpr uint32_t CPU_SUBTYPE_MASK = 0x00ffffff;
constexpr uint32_t CPU_SUBTYPE_ARM64E = 2;
constexpr uint32_t kMaxFatArchs = 30;  // more is a Java class file, not a fat binary

}  // namespace engine::macho

#pragma once
// What an archive may do to the machine it is unpacked on. Two checks: one on
// the archive's own directory before anything is unpacked (names, links,
// sizes), and one on the unpacked tree, where every link is resolved on the
// real file system. Either refusal ends the unpacking before any later step
// (Info.plist editing, signing, the profile copy) could write outside the
// work folder.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "system/QFDeflateReuse.h"

// Why an archive was refused before unpacking.
enum class QFArchiveRefusal {
    Unreadable,       // no zip directory we can read whole and in bounds
    HostileName,      // an absolute name, a ".." component, or a NUL in a name
    LinkOutside,      // a link entry whose target leaves the unpacked tree
    Unsupported,      // encrypted, split, or a compression method we cannot check
    TooLargeForDisk,  // inflates to more than the free space of the destination, less a margin
    InflatesTooFar,   // inflates to over bombSize at more than bombRatio times the archive's size
    SizeMismatch,     // an entry inflates to more than its declared size
};

struct QFArchiveLimits {
    uint64_t freeSpaceMargin = uint64_t{64} << 20;
    uint64_t bombSize = uint64_t{1} << 30;
    uint64_t bombRatio = 100;
    // The free space to assume; nothing: the destination's file system.
    std::optional<uint64_t> freeSpace;
};

// One entry of an archive, as its central directory gives it.
struct QFArchiveEntry {
    std::string name;   // folders end in "/"
    uint64_t size = 0;  // inflated size
    uint32_t mode = 0;  // Unix mode from the external attributes; 0 from other systems
    // False when an extra field gives the name again in another form, which
    // the unpacking tool may use in its place.
    bool nameAsStored = true;
    // For a compressed binary: its stream's blocks, learnt while checking it
    // (see system/QFDeflateReuse.h).
    std::shared_ptr<const QFDeflateIndex> blocks = nullptr;
    // Its data as the archive holds it: kept as it is (stored) or compressed
    // to compressedSize bytes.
    bool stored = false;
    uint64_t compressedSize = 0;
};

// Nothing when the archive may be unpacked into destination (an existing
// folder); otherwise why not. Reads the archive's central directory and the
// local headers (ZIP64 included), and inflates every compressed entry once,
// to the size it declares, without writing anything. When the archive
// passes and entries is given, *entries holds its entries in archive order.
std::optional<QFArchiveRefusal> QFCheckArchiveBeforeUnpacking(const std::string& archivePath,
                                                             const std::string& destination,
                                                             const QFArchiveLimits& limits = {},
                                                             std::vector<QFArchiveEntry>* entries = nullptr);

// True when every path below root, links followed (chains of links, and the
// part a dangling link names that does not exist yet), resolves to root or a
// place below it.
bool QFTreeStaysInside(const std::string& root);

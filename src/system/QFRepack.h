#pragma once
// Packing a work folder again from the package it was unpacked from, on both
// cores: the files a re-sign changed are compressed by two packing tools at
// once, each into an archive of its own, and the new archive is then
// assembled from those and from the opened package's untouched entries,
// whose compressed bytes are copied as they lie. Re-signed binaries, which
// keep most of their bytes, are compressed meanwhile reusing their old
// entries' compressed data (system/QFDeflateReuse.h), two at a time, and go
// into the archive with the headers the tool gives a file. The result holds
// the same entries, modes, links and bytes as packing the whole folder with
// one tool.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "system/QFDeflateReuse.h"

struct QFUnpackedTree;

struct QFRepackLimits {
    // Below this many bytes to compress, one tool does it all.
    uint64_t twoToolsFrom = uint64_t{2} << 20;
    // Names on the packing tools' command lines, all told.
    size_t maximumNameBytes = size_t{512} << 10;
    // The assembled archive keeps to the classic format: no ZIP64 records.
    size_t maximumEntries = 0xFFFE;
    // A changed binary this large, whose old entry is compressed, is
    // compressed reusing that entry.
    uint64_t reuseFrom = kQFDeflateReuseFrom;
};

struct QFRepackPlan {
    // The part of the binaries compressed reusing their old entries: no
    // tool packs it.
    static constexpr int kReusePart = 2;
    struct Item {
        std::string name;    // the entry's name; folders end in "/"
        int part = -1;       // the packing tool whose archive holds it; -1: the opened package
        size_t oldIndex = 0; // for part -1 and kReusePart: the entry's index in the opened package
        std::shared_ptr<const QFDeflateIndex> oldBlocks;  // for kReusePart: the old entry's, when known
    };
    // Every path below the folder, in the order of a walk of it (folders
    // before their contents), as packing the folder with one tool lists them.
    std::vector<Item> items;
    // The relative paths of each part; any may be empty.
    std::vector<std::string> parts[3];
};

// Nothing when the opened package cannot serve (unreadable, ZIP64, a name
// twice or one that unpacking may have written elsewhere), a path the tool
// would not take as itself must be packed, or the folder holds something
// that is neither file, link nor folder. An entry is copied only when its
// file is exactly as unpacking left it (the record says so) and the entry
// gives the file's mode and size; everything else is packed again.
std::optional<QFRepackPlan> QFPlanRepacking(const std::string& root, const QFUnpackedTree& unpacked,
                                            const QFRepackLimits& limits = {});

// The kReusePart files compressed, reusing their old entries, from the
// folder: made while the tools pack the other parts. Nothing when a file or
// the opened package cannot be read; scratchPath names the files the
// streams are written to (removed at once, kept open).
struct QFReusedStreams;
class QFCompressedAhead;

// Starts compressing, on one thread, the given files (relative to root)
// that are binaries whose old entries are compressed, while the run still
// signs other code; answers at once. Packing takes a stream made ahead for
// a file only while the file keeps the stamp it had then.
std::shared_ptr<QFCompressedAhead> QFCompressAhead(const std::string& root, std::shared_ptr<const QFUnpackedTree> unpacked,
                                                   std::vector<std::string> files, const QFRepackLimits& limits = {});

// Waits until the compressing started by QFCompressAhead has ended: before
// a run that will not pack lets go of it, as the work uses libraries a
// process tears down at exit.
void QFWaitForCompressedAhead(const std::shared_ptr<QFCompressedAhead>& ahead);

// ahead: streams made before, waited for.
std::shared_ptr<const QFReusedStreams> QFCompressReused(const QFRepackPlan& plan, const std::string& root,
                                                        const std::string& oldPackage, const std::string& scratchPath,
                                                        const std::shared_ptr<QFCompressedAhead>& ahead = nullptr);

// Writes archivePath (which must not exist yet): the plan's items in order,
// each copied from the opened package or from partArchives[part] as it lies,
// those of kReusePart from made. partArchives has one path per part, empty
// for a part with nothing to pack.
// False when a source does not hold what the plan says or the archive would
// need ZIP64 records.
bool QFAssembleRepacked(const QFRepackPlan& plan, const std::string& oldPackage,
                        const std::vector<std::string>& partArchives, const std::string& archivePath,
                        const QFReusedStreams* made);

// The names of an archive's entries, sorted; nothing when its directory
// cannot be read.
std::optional<std::vector<std::string>> QFArchiveNames(const std::string& archivePath);

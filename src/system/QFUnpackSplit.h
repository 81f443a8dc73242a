#pragma once
// Unpacking one archive with two unpacking tools at once, each on its own
// part of the entries, keeps both cores inflating. It is planned only where
// the two cannot meet: every file and link entry goes to exactly one part,
// and a folder entry to a part only with everything below it. Every folder is made before the tools
// start (two tools making one folder at once would fail one of them), and
// the folder entries' modes are given once both have ended.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "system/QFArchiveSafety.h"

struct QFUnpackSplitLimits {
    // Below this many inflated bytes a second tool costs more than it saves.
    uint64_t minimumBytes = uint64_t{4} << 20;
    // The tool matches every entry against every name it is given.
    size_t maximumEntries = 20000;
    // Names on the command lines, all told: well below what exec allows.
    size_t maximumNameBytes = size_t{512} << 10;
};

struct QFUnpackSplit {
    // What each tool is given, in archive order: the name of a file or link
    // entry, or "FOLDER/*" for every entry below a folder (the tool's "*"
    // takes "/" too); the two share the work by bytes and number of files.
    std::vector<std::string> parts[2];
    // Every folder the entries lie in or name, relative, parents first.
    std::vector<std::string> folders;
    // Folder entries, whose modes QFRestoreFolderModes gives.
    std::vector<QFArchiveEntry> folderEntries;
};

// Nothing when the archive is better unpacked by one tool: too small, too
// many entries, a name the tool would not take as itself, a name twice, or
// an entry below a file or link entry (the tools would race for the path).
std::optional<QFUnpackSplit> QFSplitForUnpacking(const std::vector<QFArchiveEntry>& entries,
                                                 const QFUnpackSplitLimits& limits = {});

// Makes root and each of folders below it that does not exist yet. False
// when one cannot be made or is something else than a folder.
bool QFMakeFolders(const std::string& root, const std::vector<std::string>& folders);

// Gives each folder entry below root the mode it carries (permission bits
// only, as the unpacking tool does), deepest first. False when one is not a
// folder or its mode cannot be set.
bool QFRestoreFolderModes(const std::string& root, const std::vector<QFArchiveEntry>& folderEntries);

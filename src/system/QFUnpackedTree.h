#pragma once
// The work directory as unpacking left it, and the package it came from:
// what packing needs to build the new archive from the old one, copying the
// entries a re-sign did not touch instead of compressing them again.
//
// The archive tool takes an entry as unchanged when the file's time (to its
// 2-second, local-time resolution) and size match the entry's. Unpacking
// gives every file its entry's time, so a file rewritten with the same size
// soon after the package was made could pass for unchanged. The record below
// lets packing find every file written, replaced, added or re-moded since
// unpacking, whoever wrote it, and move its time clear of its entry's.
#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "system/QFDeflateReuse.h"

struct QFFileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    mode_t mode = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const QFFileStamp& other) const;
};

struct QFUnpackedTree {
    std::string packagePath;  // absolute
    QFFileStamp package;
    std::unordered_map<std::string, QFFileStamp> files;  // relative path -> stamp; files and links
    time_t newestTime = 0;                               // latest modification time among them
    // The compressed binaries' stream indexes, by entry name, as the archive
    // check made them.
    std::unordered_map<std::string, std::shared_ptr<const QFDeflateIndex>> deflateIndexes;

    // Nothing when the package or the tree cannot be read.
    static std::shared_ptr<const QFUnpackedTree> capture(
        const std::string& packagePath, const std::string& root,
        std::unordered_map<std::string, std::shared_ptr<const QFDeflateIndex>> deflateIndexes = {});
    // True while the package on disk is still the one unpacked.
    bool packageUnchanged() const;
    // Gives every file or link below root that is not as captured a
    // modification time that neither its entry nor any other unpacked file
    // has. False when a time could not be set: then the old archive must not
    // be used.
    bool markChangedFiles(const std::string& root) const;
    // The names an archive of the whole tree holds, sorted: folders end in
    // "/", links (to folders too) do not.
    static std::vector<std::string> archiveNames(const std::string& root);
};

// Calls visit(relative path, its lstat) for everything below root, folders
// before their contents, links not followed. False when a folder or an entry
// could not be read, or visit answered false.
bool QFWalkTree(const std::string& root, const std::function<bool(const std::string&, const struct stat&)>& visit);

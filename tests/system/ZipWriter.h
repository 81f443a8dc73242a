#pragma once
// Writes zip archives entry by entry, with full control over names, Unix
// modes, compression and declared sizes: for archives no well-behaved packer
// would make (absolute names, "..", links, duplicates, sizes that lie).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ZipWriter {
public:
    struct Options {
        bool deflate = false;                 // deflated rather than stored
        std::optional<uint64_t> declaredSize;  // the inflated size the directory claims (ZIP64 past 4 GiB)
        size_t flushEvery = 0;                 // ends a block after every so many bytes (0: never)
    };
    void addFile(const std::string& name, const std::string& data, uint32_t mode = 0100644) {
        add(name, data, mode, {});
    }
    void add(const std::string& name, const std::string& data, uint32_t mode, const Options& options);
    void addDirectory(const std::string& name) { addFile(name.back() == '/' ? name : name + "/", "", 040755); }
    void addSymlink(const std::string& name, const std::string& target) { addFile(name, target, 0120777); }
    void write(const std::string& path) const;

private:
    struct Entry {
        std::string name;
        uint32_t mode, crc, offset;
        uint16_t method;
        uint64_t compressedSize, declaredSize;
    };
    std::vector<Entry> entries;
    std::string body;
};

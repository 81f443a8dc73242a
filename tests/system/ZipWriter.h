#pragma once
// Writes zip archives entry by entry, stored (no compression), with full
// control over names and Unix modes: for archives no well-behaved packer
// would make (absolute names, "..", links, duplicates).
#include <cstdint>
#include <string>
#include <vector>

class ZipWriter {
public:
    void addFile(const std::string& name, const std::string& data, uint32_t mode = 0100644);
    void addDirectory(const std::string& name) { addFile(name.back() == '/' ? name : name + "/", "", 040755); }
    void addSymlink(const std::string& name, const std::string& target) { addFile(name, target, 0120777); }
    void write(const std::string& path) const;

private:
    struct Entry {
        std::string name, data;
        uint32_t mode, crc, offset;
    };
    std::vector<Entry> entries;
    std::string body;
};

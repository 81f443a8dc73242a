#pragma once
// Reading a file by ranges, and writing its replacement beside it: the target
// keeps its old bytes until the new file is complete and renamed over it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace codesign {

class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;

    bool open(const std::string& path);  // a regular file only
    uint64_t size() const { return _size; }
    unsigned mode() const { return _mode; }
    // Exactly length bytes from offset, or nothing when they are not there.
    std::optional<std::string> read(uint64_t offset, uint64_t length) const;
    // As many bytes as there are from offset, up to length, into buffer.
    bool readInto(uint64_t offset, char* buffer, uint64_t length) const;

private:
    int fd = -1;
    uint64_t _size = 0;
    unsigned _mode = 0644;
};

class ReplacementFile {
public:
    ReplacementFile() = default;
    ~ReplacementFile();  // removes the temporary file unless committed
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // A new empty file beside target, with the given permission bits; or in
    // stagingFolder when the target's folder may not exist yet (it is then
    // made when the file is committed). stagingFolder must be on the target's
    // file system.
    bool create(const std::string& target, unsigned mode, const std::string& stagingFolder = {});
    bool write(uint64_t offset, std::string_view bytes);
    bool setSize(uint64_t size);  // extends with zeros
    // Renames the new file over the target.
    bool commit();

private:
    friend bool commitTogether(const std::vector<ReplacementFile*>& files);
    int fd = -1;
    std::string target;
    std::string temporary;
};

// Commits several replacement files as one change: either every target gets
// its new bytes, or none does. Targets renamed before a failure get their old
// bytes back (kept meanwhile under a second name, by a hard link, so a target
// is never missing), and folders made for them are removed again. Files not
// committed are removed by their destructors as usual.
bool commitTogether(const std::vector<ReplacementFile*>& files);

}  // namespace codesign

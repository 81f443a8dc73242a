#include "codesign/FileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace codesign {

InputFile::~InputFile() {
    if (fd >= 0) ::close(fd);
}

InputFile::InputFile(InputFile&& other) noexcept : fd(other.fd), _size(other._size), _mode(other._mode) {
    other.fd = -1;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        if (fd >= 0) ::close(fd);
        fd = other.fd;
        _size = other._size;
        _mode = other._mode;
        other.fd = -1;
    }
    return *this;
}

bool InputFile::open(const std::string& path) {
    if (fd >= 0) ::close(fd);
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        fd = -1;
        return false;
    }
    _size = uint64_t(st.st_size);
    _mode = st.st_mode & 07777;
    return true;
}

bool InputFile::readInto(uint64_t offset, char* buffer, uint64_t length) const {
    if (fd < 0 || offset > _size || _size - offset < length) return false;
    uint64_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, buffer + done, length - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += uint64_t(n);
    }
    return true;
}

std::optional<std::string> InputFile::read(uint64_t offset, uint64_t length) const {
    if (fd < 0 || offset > _size || _size - offset < length) return std::nullopt;
    std::string out(length, '\0');
    if (!readInto(offset, out.data(), length)) return std::nullopt;
    return out;
}

ReplacementFile::~ReplacementFile() {
    if (fd >= 0) ::close(fd);
    if (!temporary.empty()) ::unlink(temporary.c_str());
}

bool ReplacementFile::create(const std::string& targetPath, unsigned mode) {
    target = targetPath;
    std::string pattern = targetPath + ".cstmp.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    temporary = name.data();
    ::fchmod(fd, mode);
    return true;
}

bool ReplacementFile::write(uint64_t offset, std::string_view bytes) {
    uint64_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += uint64_t(n);
    }
    return true;
}

bool ReplacementFile::setSize(uint64_t size) { return fd >= 0 && ::ftruncate(fd, off_t(size)) == 0; }

bool ReplacementFile::commit() {
    if (fd < 0) return false;
    bool ok = ::close(fd) == 0;
    fd = -1;
    if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
    if (ok) temporary.clear();
    return ok;
}

}  // namespace codesign

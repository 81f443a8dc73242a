#include "codesign/FileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace codesign {

namespace {

std::string baseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool existsNoFollow(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

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

bool ReplacementFile::create(const std::string& targetPath, unsigned mode, const std::string& stagingFolder) {
    target = targetPath;
    std::string pattern = stagingFolder.empty() ? targetPath + ".cstmp.XXXXXX"
                                                : stagingFolder + "/" + baseName(targetPath) + ".cstmp.XXXXXX";
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

namespace codesign {

bool commitTogether(const std::vector<ReplacementFile*>& files) {
    struct Done {
        ReplacementFile* file;
        std::string backup;  // the old target under its second name; empty when there was none
        std::string madeFolder;
    };
    std::vector<Done> done;
    auto rollBack = [&]() {
        for (auto it = done.rbegin(); it != done.rend(); ++it) {
            if (!it->backup.empty()) ::rename(it->backup.c_str(), it->file->target.c_str());
            else ::unlink(it->file->target.c_str());
            if (!it->madeFolder.empty()) ::rmdir(it->madeFolder.c_str());
        }
        return false;
    };
    for (ReplacementFile* file : files) {
        if (!file || file->fd < 0) return rollBack();
        if (::close(file->fd) != 0) {
            file->fd = -1;
            return rollBack();
        }
        file->fd = -1;
        Done step{file, {}, {}};
        const std::string folder = parentOf(file->target);
        if (!existsNoFollow(folder)) {
            if (::mkdir(folder.c_str(), 0755) != 0) return rollBack();
            step.madeFolder = folder;
        }
        if (existsNoFollow(file->target)) {
            step.backup = file->temporary + ".old";
            if (::link(file->target.c_str(), step.backup.c_str()) != 0) {
                if (!step.madeFolder.empty()) ::rmdir(step.madeFolder.c_str());
                return rollBack();
            }
        }
        if (::rename(file->temporary.c_str(), file->target.c_str()) != 0) {
            if (!step.backup.empty()) ::unlink(step.backup.c_str());
            if (!step.madeFolder.empty()) ::rmdir(step.madeFolder.c_str());
            return rollBack();
        }
        file->temporary.clear();
        done.push_back(std::move(step));
    }
    for (const Done& step : done)
        if (!step.backup.empty()) ::unlink(step.backup.c_str());
    return true;
}

}  // namespace codesign

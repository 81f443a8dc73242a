#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/paths.h"

namespace platform::fs {

namespace stdfs = std::filesystem;

bool fileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isSymlink(const std::string& path) {
    struct stat st;
    return !path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::vector<std::string> contentsOfDirectory(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    stdfs::directory_iterator it(path, ec), end;
    for (; !ec && it != end; it.increment(ec)) names.push_back(it->path().filename().string());
    if (ec) return {};
    std::sort(names.begin(), names.end());
    return names;
}

namespace {
void collectSubpaths(const std::string& root, const std::string& relative, std::vector<std::string>& out) {
    std::string dir = relative.empty() ? root : path::appendingPathComponent(root, relative);
    for (const auto& name : contentsOfDirectory(dir)) {
        std::string rel = relative.empty() ? name : path::appendingPathComponent(relative, name);
        out.push_back(rel);
        std::string full = path::appendingPathComponent(root, rel);
        struct stat st;
        if (::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) collectSubpaths(root, rel, out);
    }
}
}  // namespace

std::vector<std::string> subpathsOfDirectory(const std::string& path) {
    std::vector<std::string> out;
    if (!isDirectory(path)) return out;
    collectSubpaths(path, "", out);
    return out;
}

bool createDirectory(const std::string& path) {
    if (path.empty()) return false;
    std::error_code ec;
    stdfs::create_directories(path, ec);
    return !ec && isDirectory(path);
}

bool removeItem(const std::string& path) {
    if (path.empty()) return false;
    std::error_code ec;
    // remove_all does not follow symbolic links: a link is removed, not its target.
    auto removed = stdfs::remove_all(path, ec);
    return !ec && removed > 0;
}

bool copyItem(const std::string& from, const std::string& to) {
    struct stat st;
    if (from.empty() || to.empty() || ::lstat(to.c_str(), &st) == 0) return false;
    if (!fileExists(from)) return false;
    std::error_code ec;
    stdfs::copy(from, to, stdfs::copy_options::recursive | stdfs::copy_options::copy_symlinks, ec);
    return !ec;
}

bool copyFileContents(const std::string& from, const std::string& to) {
    if (to.empty()) return false;
    auto bytes = readFile(from);
    if (!bytes) return false;
    int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = writeAll(fd, *bytes);
    if (::close(fd) != 0) ok = false;
    if (!ok) ::unlink(to.c_str());
    return ok;
}

std::optional<std::string> readFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string data;
    if (st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

bool writeFileAtomically(const std::string& path, std::string_view bytes) {
    if (path.empty()) return false;
    std::string dir = path::deletingLastPathComponent(path);
    std::string tmpl = path::appendingPathComponent(dir.empty() ? "." : dir,
                                                    "." + path::lastPathComponent(path) + ".XXXXXX");
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return false;
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    bool ok = writeAll(fd, bytes);
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmpl.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) ::unlink(tmpl.c_str());
    return ok;
}

bool writeAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace platform::fs

#include "system/QFUnpackedTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <vector>

#include "platform/paths.h"

namespace {

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

void fill(const struct stat& st, QFFileStamp& out) {
    out.device = st.st_dev;
    out.inode = st.st_ino;
    out.size = st.st_size;
    out.mode = st.st_mode;
    out.modified = st.st_mtim;
    out.changed = st.st_ctim;
}

bool stampOf(const std::string& path, QFFileStamp& out) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    fill(st, out);
    return true;
}

// Calls visit(relative path, its lstat) for everything below the folder
// open at dirFd, folders before their contents, links not followed; one
// stat per entry, relative to its folder. False when a folder or an entry
// could not be read.
bool walk(int dirFd, const std::string& prefix,
          const std::function<bool(const std::string&, const struct stat&)>& visit) {
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return false;
    }
    bool ok = true;
    while (ok) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            break;
        }
        const std::string relative = prefix + name;
        ok = visit(relative, st);
        if (ok && S_ISDIR(st.st_mode)) {
            int child = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ok = child >= 0 && walk(child, relative + "/", visit);
        }
    }
    ::closedir(dir);
    return ok;
}

bool isFileOrLink(const QFFileStamp& stamp) { return S_ISREG(stamp.mode) || S_ISLNK(stamp.mode); }

// The archive's time of an entry: local time, seconds halved.
// NOTE: keep in step with the archive tool's time comparison (-FS).
long long archiveSlot(time_t t) {
    struct tm local;
    if (!::localtime_r(&t, &local)) return (long long)(t / 2);
    return ((((((long long)local.tm_year * 13 + local.tm_mon) * 32 + local.tm_mday) * 24 + local.tm_hour) * 60 +
             local.tm_min) * 30) + local.tm_sec / 2;
}

}  // namespace

bool QFWalkTree(const std::string& root, const std::function<bool(const std::string&, const struct stat&)>& visit) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 && walk(fd, "", visit);
}

bool QFFileStamp::operator==(const QFFileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size && mode == other.mode &&
           sameTime(modified, other.modified) && sameTime(changed, other.changed);
}

std::shared_ptr<const QFUnpackedTree> QFUnpackedTree::capture(
    const std::string& packagePath, const std::string& root,
    std::unordered_map<std::string, std::shared_ptr<const QFDeflateIndex>> deflateIndexes) {
    auto tree = std::make_shared<QFUnpackedTree>();
    tree->deflateIndexes = std::move(deflateIndexes);
    tree->packagePath = platform::path::absolutePath(packagePath);
    if (!stampOf(tree->packagePath, tree->package) || !S_ISREG(tree->package.mode)) return nullptr;
    bool read = QFWalkTree(root, [&](const std::string& relative, const struct stat& st) {
        QFFileStamp stamp;
        fill(st, stamp);
        if (!isFileOrLink(stamp)) return true;
        tree->newestTime = std::max(tree->newestTime, stamp.modified.tv_sec);
        tree->files.emplace(relative, stamp);
        return true;
    });
    if (!read) return nullptr;
    return tree;
}

bool QFUnpackedTree::packageUnchanged() const {
    QFFileStamp now;
    return stampOf(packagePath, now) && now == package;
}

bool QFUnpackedTree::markChangedFiles(const std::string& root) const {
    const time_t now = ::time(nullptr);
    return QFWalkTree(root, [&](const std::string& relative, const struct stat& st) {
        QFFileStamp stamp;
        fill(st, stamp);
        if (!isFileOrLink(stamp)) return true;
        auto before = files.find(relative);
        if (before != files.end() && before->second == stamp) return true;
        // Later than the old time by a whole archive time step at least, and
        // in another step of local time (a clock put back an hour repeats
        // the steps of that hour).
        const time_t old = before != files.end() ? before->second.modified.tv_sec : newestTime;
        time_t fresh = std::max({now, old + 2, newestTime + 2});
        for (int i = 0; i < 4 && archiveSlot(fresh) == archiveSlot(old); ++i) fresh += 2;
        const timespec times[2] = {{fresh, 0}, {fresh, 0}};
        const std::string path = platform::path::appendingPathComponent(root, relative);
        return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
    });
}

std::vector<std::string> QFUnpackedTree::archiveNames(const std::string& root) {
    std::vector<std::string> names;
    QFWalkTree(root, [&](const std::string& relative, const struct stat& st) {
        names.push_back(S_ISDIR(st.st_mode) ? relative + "/" : relative);
        return true;
    });
    std::sort(names.begin(), names.end());
    return names;
}

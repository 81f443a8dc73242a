#include "system/QFUnpackedTree.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/files.h"
#include "platform/paths.h"

namespace {

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool stampOf(const std::string& path, QFFileStamp& out) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    out.device = st.st_dev;
    out.inode = st.st_ino;
    out.size = st.st_size;
    out.mode = st.st_mode;
    out.modified = st.st_mtim;
    out.changed = st.st_ctim;
    return true;
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

bool QFFileStamp::operator==(const QFFileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size && mode == other.mode &&
           sameTime(modified, other.modified) && sameTime(changed, other.changed);
}

std::shared_ptr<const QFUnpackedTree> QFUnpackedTree::capture(const std::string& packagePath,
                                                              const std::string& root) {
    auto tree = std::make_shared<QFUnpackedTree>();
    tree->packagePath = platform::path::absolutePath(packagePath);
    if (!stampOf(tree->packagePath, tree->package) || !S_ISREG(tree->package.mode)) return nullptr;
    for (const std::string& relative : platform::fs::subpathsOfDirectory(root)) {
        QFFileStamp stamp;
        if (!stampOf(platform::path::appendingPathComponent(root, relative), stamp)) return nullptr;
        if (!isFileOrLink(stamp)) continue;
        tree->newestTime = std::max(tree->newestTime, stamp.modified.tv_sec);
        tree->files.emplace(relative, stamp);
    }
    return tree;
}

bool QFUnpackedTree::packageUnchanged() const {
    QFFileStamp now;
    return stampOf(packagePath, now) && now == package;
}

bool QFUnpackedTree::markChangedFiles(const std::string& root) const {
    const time_t now = ::time(nullptr);
    for (const std::string& relative : platform::fs::subpathsOfDirectory(root)) {
        const std::string path = platform::path::appendingPathComponent(root, relative);
        QFFileStamp stamp;
        if (!stampOf(path, stamp)) return false;
        if (!isFileOrLink(stamp)) continue;
        auto before = files.find(relative);
        if (before != files.end() && before->second == stamp) continue;
        // Later than the old time by a whole archive time step at least, and
        // in another step of local time (a clock put back an hour repeats
        // the steps of that hour).
        const time_t old = before != files.end() ? before->second.modified.tv_sec : newestTime;
        time_t fresh = std::max({now, old + 2, newestTime + 2});
        for (int i = 0; i < 4 && archiveSlot(fresh) == archiveSlot(old); ++i) fresh += 2;
        const timespec times[2] = {{fresh, 0}, {fresh, 0}};
        if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return false;
    }
    return true;
}

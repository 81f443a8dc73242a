// Hashing and walking a bundle's files for its resource seal.
#include "codesign/CodeResourcesParts.h"

namespace codesign::seal {

std::optional<std::string> readLinkAt(int dirFd, const char* name) {
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = readlinkat(dirFd, name, buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            return buf;
        }
        if (buf.size() >= (size_t{1} << 16)) return std::nullopt;
        buf.resize(buf.size() * 2);
    }
}

HashJobs::HashJobs() = default;

HashJobs::~HashJobs() {
    {
        std::lock_guard<std::mutex> g(lock_);
        closing_ = true;
    }
    more_.notify_all();
    for (auto& t : helpers_) t.join();
    for (const Job& job : waiting_) close(job.fd);
}

size_t HashJobs::add(int fd, uint64_t size, bool sha1, bool sha256) {
    std::unique_lock<std::mutex> lock(lock_);
    const size_t slot = results_.size();
    try {
        results_.emplace_back();
        waiting_.push_back(Job{fd, slot, sha1, sha256});
    } catch (...) {
        close(fd);  // not taken over after all
        throw;
    }
    ++unfinished_;
    added_ += size;
    if (helpers_.empty() && added_ >= kShareFrom) {
        const size_t count = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4) - 1;
        try {
            for (size_t i = 0; i < count; ++i) helpers_.emplace_back([this] { help(); });
        } catch (const std::system_error&) {
            // No helper to be had: the walking thread hashes everything.
        }
    }
    if (waiting_.size() > kMaxWaiting) hashNext(own_, lock);
    else more_.notify_one();
    return slot;
}

// Hashes the oldest waiting file with the lock let go meanwhile; false
// when none waits.
bool HashJobs::hashNext(FileHasher& hasher, std::unique_lock<std::mutex>& lock) {
    if (waiting_.empty()) return false;
    const Job job = waiting_.front();
    waiting_.pop_front();
    lock.unlock();
    std::optional<FileDigests> digests = hasher.hashOpen(job.fd, job.sha1, job.sha256);
    close(job.fd);
    lock.lock();
    results_[job.slot] = std::move(digests);
    if (--unfinished_ == 0) more_.notify_all();
    return true;
}

void HashJobs::help() {
    FileHasher hasher;
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        more_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
        if (closing_) return;
        hashNext(hasher, lock);
    }
}

std::vector<std::optional<FileDigests>> HashJobs::finish() {
    std::unique_lock<std::mutex> lock(lock_);
    while (hashNext(own_, lock)) {
    }
    more_.wait(lock, [this] { return unfinished_ == 0; });
    return std::move(results_);
}

// Deeper than any real bundle; bounds open descriptors and recursion.
constexpr int kMaxFolderDepth = 128;

namespace {

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};

// Walks the folder open as fd (which it takes over), depth first, names in
// byte order, never following symbolic links: every entry is looked at with
// lstat semantics and every folder opened relative to its parent with
// O_NOFOLLOW, so a link swapped in during the walk cannot lead outside.
void walkFolder(int fd, const std::string& prefix, int depth, WalkTarget& target) {
    std::unique_ptr<DIR, DirClose> dir(fdopendir(fd));
    if (!dir) {
        close(fd);
        target.unreadableFolder(prefix, false);
        return;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        struct dirent* e = readdir(dir.get());
        if (!e) {
            if (errno != 0) {
                target.unreadableFolder(prefix, false);
                return;
            }
            break;
        }
        std::string_view name(e->d_name);
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());

    const int dfd = dirfd(dir.get());
    for (const std::string& name : names) {
        if (target.stopped()) return;
        std::string rel = prefix.empty() ? name : prefix + "/" + name;
        struct stat st;
        if (fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            target.entry(dfd, name.c_str(), rel, EntryKind::Unreadable);
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!target.folder(rel)) continue;
            if (depth + 1 > kMaxFolderDepth) {
                target.unreadableFolder(rel, true);
                continue;
            }
            int child = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) {
                target.unreadableFolder(rel, false);
                continue;
            }
            walkFolder(child, rel, depth + 1, target);
        } else if (S_ISREG(st.st_mode)) {
            target.entry(dfd, name.c_str(), rel, EntryKind::Regular);
        } else if (S_ISLNK(st.st_mode)) {
            target.entry(dfd, name.c_str(), rel, EntryKind::Symlink);
        } else {
            target.entry(dfd, name.c_str(), rel, EntryKind::Other);
        }
    }
}

}  // namespace

void walkBundle(const std::string& bundleRoot, WalkTarget& target) {
    int fd = open(bundleRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        target.unreadableFolder("", false);
        return;
    }
    walkFolder(fd, "", 0, target);
}

std::string trimmedRoot(const std::string& root) {
    std::string out = root;
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string joined(const std::string& root, const std::string& rel) {
    if (rel.empty()) return root;
    if (root == "/") return root + rel;
    return root + "/" + rel;
}

HashSelection selectionOf(const std::vector<HashType>& types) {
    HashSelection s;
    for (HashType t : types) {
        if (t == HashType::SHA1) s.sha1 = true;
        else if (t == HashType::SHA256) s.sha256 = true;
    }
    return s;
}

}  // namespace codesign::seal

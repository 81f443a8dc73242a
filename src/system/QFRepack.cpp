#include "system/QFRepack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/files.h"
#include "platform/queues.h"
#include "support/QFToolPaths.h"
#include "system/QFDeflateReuse.h"
#include "system/QFUnpackedTree.h"
#include "system/QFZipDirectory.h"

namespace {

using namespace qfzip;

// What the packing tool costs per path beyond its bytes, when sharing the
// paths between two tools.
constexpr uint64_t kCostPerPath = 4 << 10;
constexpr uint64_t kClassicLimit = 0xFFFFFFFE;  // offsets and sizes below the ZIP64 marker

bool isFolderName(const std::string& name) { return !name.empty() && name.back() == '/'; }

// True when unpacking wrote the entry at the path its name spells: a name
// in UTF-8 or plain ASCII, with neither backslashes nor empty, "." or ".."
// components, given once.
bool writtenWhereNamed(const Entry& e) {
    if (!e.nameAsStored || e.name.empty()) return false;
    const bool utf8 = (e.flags & kFlagUtf8) != 0;
    for (unsigned char c : e.name)
        if (c < 0x20 || c == 0x7f || c == '\\' || (c >= 0x80 && !utf8)) return false;
    std::string_view path(e.name);
    if (isFolderName(e.name)) path.remove_suffix(1);
    size_t start = 0;
    for (;;) {
        size_t cut = path.find('/', start);
        std::string_view part = path.substr(start, cut == std::string_view::npos ? std::string_view::npos : cut - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (cut == std::string_view::npos) return true;
        start = cut + 1;
    }
}

// Whether the file starts as a binary does.
bool isBinary(const std::string& path) {
    std::string head(4, '\0');
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool read = ::read(fd, head.data(), 4) == 4;
    ::close(fd);
    return read && QFStartsAsBinary(head);
}

std::string withoutSlash(const std::string& name) {
    return isFolderName(name) ? name.substr(0, name.size() - 1) : name;
}

struct Source {
    explicit Source(const std::string& path) : file(path) {}
    ArchiveFile file;
    Directory directory;
    std::vector<Entry> entries;
    std::string central;  // the directory's bytes

    bool read() {
        if (!file.ok()) return false;
        auto d = findDirectory(file);
        if (!d) return false;
        directory = *d;
        auto e = readEntries(file, directory, &central);
        if (!e) return false;
        entries = std::move(*e);
        return true;
    }
};

void put32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}
void put16(std::string& bytes, size_t at, uint16_t value) {
    for (int i = 0; i < 2; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

bool writeAt(int fd, std::string_view bytes, uint64_t at) {
    return ::lseek(fd, static_cast<off_t>(at), SEEK_SET) == static_cast<off_t>(at) && platform::fs::writeAll(fd, bytes);
}

// count bytes from in at inAt to out at outAt.
bool copyRange(int in, uint64_t inAt, int out, uint64_t outAt, uint64_t count) {
    off_t from = static_cast<off_t>(inAt), to = static_cast<off_t>(outAt);
    while (count > 0) {
        ssize_t n = ::copy_file_range(in, &from, out, &to, static_cast<size_t>(std::min<uint64_t>(count, 1 << 30)), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        count -= static_cast<uint64_t>(n);
    }
    if (count == 0) return true;
    // Where the kernel cannot copy between these files, by hand.
    std::string buffer(1 << 20, '\0');
    while (count > 0) {
        ssize_t n = ::pread(in, buffer.data(), static_cast<size_t>(std::min<uint64_t>(count, buffer.size())), from);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        std::string_view chunk(buffer.data(), static_cast<size_t>(n));
        if (!writeAt(out, chunk, static_cast<uint64_t>(to))) return false;
        from += n;
        to += n;
        count -= static_cast<uint64_t>(n);
    }
    return true;
}

// Where the entry's record (local header, data, and the descriptor that
// may follow the data) ends, or nothing.
std::optional<uint64_t> recordEnd(const Source& source, const Entry& e) {
    auto data = dataOffset(source.file, source.directory, e);
    if (!data) return std::nullopt;
    uint64_t end = *data + e.compressedSize;
    if (e.flags & kFlagDescriptor) {
        auto signature = source.file.read(end, 4);
        if (!signature) return std::nullopt;
        end += le32(*signature, 0) == kDescriptorSignature ? 16 : 12;
        if (end > source.directory.offset) return std::nullopt;
    }
    return end;
}

// A stored file compressed again: where its stream lies, and what it was
// made from.
struct Recompressed {
    int fd = -1;
    uint64_t offset = 0, size = 0;
    bool stored = false;  // compressing would not make it smaller: the file's bytes as they are
    uint32_t crc = 0;
    uint64_t fileSize = 0;
    struct stat file {};  // as it was read
};

}  // namespace

// The files the streams lie in, unlinked already, closed with this; the
// streams by item.
struct QFReusedStreams {
    int fds[2] = {-1, -1};
    std::unordered_map<size_t, Recompressed> streams;
    std::shared_ptr<const QFReusedStreams> ahead;  // where streams made ahead lie
    QFReusedStreams() = default;
    QFReusedStreams(const QFReusedStreams&) = delete;
    QFReusedStreams& operator=(const QFReusedStreams&) = delete;
    ~QFReusedStreams() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
};

namespace {

// The packing tool's DOS time: local time, rounded up to an even second,
// 1980 at the earliest.
uint32_t dosTime(time_t when) {
    const time_t even = static_cast<time_t>((static_cast<unsigned long>(when) + 1) & ~1UL);
    struct tm t {};
    if (!::localtime_r(&even, &t) || t.tm_year < 80) return (1u << 21) | (1u << 16);
    return (static_cast<uint32_t>(t.tm_year - 80) << 25) | (static_cast<uint32_t>(t.tm_mon + 1) << 21) |
           (static_cast<uint32_t>(t.tm_mday) << 16) | (static_cast<uint32_t>(t.tm_hour) << 11) |
           (static_cast<uint32_t>(t.tm_min) << 5) | (static_cast<uint32_t>(t.tm_sec) >> 1);
}

// A file's local and central headers as the packing tool writes them on
// Unix for a plain-ASCII name: its version, the time, the extended time
// (modification and access in the local header, modification alone in the
// central one) and the Unix owner, the mode in the external attributes,
// a binary file. The central header's offset is left 0.
// NOTE: keep in step with the packing tool's output (the tests compare
// these headers with its own for the same file).
void toolHeaders(const std::string& name, const Recompressed& r, std::string& local, std::string& central) {
    const bool deflated = !r.stored;
    const uint32_t dos = dosTime(r.file.st_mtime);
    const uint32_t compressed = static_cast<uint32_t>(deflated ? r.size : r.fileSize);
    std::string times(4, '\0'), accessed(4, '\0'), owner(11, '\0');
    put32(times, 0, static_cast<uint32_t>(r.file.st_mtime));
    put32(accessed, 0, static_cast<uint32_t>(r.file.st_atime));
    owner[0] = 1;
    owner[1] = 4;
    put32(owner, 2, static_cast<uint32_t>(r.file.st_uid));
    owner[6] = 4;
    put32(owner, 7, static_cast<uint32_t>(r.file.st_gid));
    auto extra = [&](uint16_t id, const std::string& body) {
        std::string field(4, '\0');
        put16(field, 0, id);
        put16(field, 2, static_cast<uint16_t>(body.size()));
        return field + body;
    };
    const std::string localExtra = extra(0x5455, std::string(1, '\3') + times + accessed) + extra(0x7875, owner);
    const std::string centralExtra = extra(0x5455, std::string(1, '\3') + times) + extra(0x7875, owner);
    // The fields both headers give, in the same order: version needed,
    // flags, method, time, CRC, sizes, name and extra lengths.
    auto shared = [&](size_t extraSize) {
        std::string fields(26, '\0');
        put16(fields, 0, deflated ? 20 : 10);
        put16(fields, 4, deflated ? kMethodDeflated : kMethodStored);
        put32(fields, 6, dos);
        put32(fields, 10, r.crc);
        put32(fields, 14, compressed);
        put32(fields, 18, static_cast<uint32_t>(r.fileSize));
        put16(fields, 22, static_cast<uint16_t>(name.size()));
        put16(fields, 24, static_cast<uint16_t>(extraSize));
        return fields;
    };
    local.assign(4, '\0');
    put32(local, 0, kLocalHeaderSignature);
    local += shared(localExtra.size()) + name + localExtra;
    central.assign(6, '\0');
    put32(central, 0, kCentralHeaderSignature);
    put16(central, 4, (kMadeOnUnix << 8) | 30);
    std::string rest(14, '\0');  // comment length, disk, internal attributes (binary), external, offset
    put32(rest, 6, static_cast<uint32_t>(r.file.st_mode) << 16);
    central += shared(centralExtra.size()) + rest + name + centralExtra;
}

uint32_t crcOf(const QFFileRange& range, bool& ok) {
    uLong crc = crc32(0, nullptr, 0);
    std::string buffer;
    for (uint64_t at = 0; ok && at < range.length;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(uint64_t{1} << 20, range.length - at));
        buffer.resize(n);
        ssize_t got = ::pread(range.fd, buffer.data(), n, static_cast<off_t>(range.offset + at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = false;
            break;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(got));
        at += static_cast<uint64_t>(got);
    }
    return static_cast<uint32_t>(crc);
}

// The kReusePart items compressed reusing their old entries, on two
// threads, each into a file of its own; newBytesOf gives an item's bytes.
// Items already in made are left as they are; threads is 1 or 2.
bool recompress(const QFRepackPlan& plan, const Source& old,
                const std::function<std::optional<QFFileRange>(const QFRepackPlan::Item&, struct stat&)>& newBytesOf,
                const std::string& scratchPath, QFReusedStreams& made, int threads = 2) {
    struct Job {
        size_t item;
        QFFileRange oldStream, newBytes;
        const QFDeflateIndex* oldBlocks;
        struct stat file;
    };
    std::vector<Job> jobs;
    for (size_t i = 0; i < plan.items.size(); ++i) {
        const QFRepackPlan::Item& item = plan.items[i];
        if (item.part != QFRepackPlan::kReusePart || made.streams.count(i)) continue;
        if (item.oldIndex >= old.entries.size()) return false;
        const Entry& was = old.entries[item.oldIndex];
        struct stat file {};
        auto newBytes = newBytesOf(item, file);
        if (!newBytes) return false;
        auto oldAt = was.method == kMethodDeflated && !(was.flags & kFlagEncrypted) ? dataOffset(old.file, old.directory, was)
                                                                                    : std::nullopt;
        jobs.push_back({i, {old.file.descriptor(), oldAt.value_or(0), oldAt ? was.compressedSize : 0}, *newBytes,
                        item.oldBlocks.get(), file});
    }
    if (jobs.empty()) return true;
    // The largest first, each to the thread with less to do.
    std::stable_sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.newBytes.length > b.newBytes.length; });
    std::vector<const Job*> share[2];
    uint64_t load[2] = {0, 0};
    for (const Job& job : jobs) {
        const int t = threads > 1 && load[1] < load[0] ? 1 : 0;
        load[t] += job.newBytes.length;
        share[t].push_back(&job);
    }
    struct Worker {
        int fd = -1;
        bool ok = true;
        std::vector<std::pair<size_t, Recompressed>> done;
    };
    Worker workers[2];
    for (int t = 0; t < 2; ++t) {
        const std::string path = scratchPath + "." + std::to_string(t);
        workers[t].fd = made.fds[t] = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        // Removed at once: the descriptor keeps the streams until the archive is written.
        if (workers[t].fd < 0) workers[t].ok = false;
        else ::unlink(path.c_str());
    }
    auto work = [&share](Worker& w, int t) {
        uint64_t at = 0;
        for (const Job* job : share[t]) {
            if (!w.ok) return;
            std::optional<QFFileRange> oldStream;
            if (job->oldStream.length > 0) oldStream = job->oldStream;
            auto stream = QFDeflateReusing(oldStream, job->oldBlocks, job->newBytes, w.fd, at);
            Recompressed r;
            r.crc = crcOf(job->newBytes, w.ok);
            r.fileSize = job->newBytes.length;
            r.file = job->file;
            if (!stream) w.ok = false;
            if (!w.ok) return;
            r.fd = w.fd;
            r.offset = at;
            if (stream->compressedSize < job->newBytes.length) {
                r.size = stream->compressedSize;
            } else {
                // Stored, as the tool stores what does not shrink: the bytes
                // themselves take the stream's place.
                r.stored = true;
                r.size = job->newBytes.length;
                if (!copyRange(job->newBytes.fd, job->newBytes.offset, w.fd, at, r.size)) {
                    w.ok = false;
                    return;
                }
            }
            at += r.size;
            w.done.push_back({job->item, r});
        }
    };
    std::thread second;
    if (!share[1].empty() && workers[1].ok) {
        try {
            second = std::thread(work, std::ref(workers[1]), 1);
        } catch (const std::system_error&) {
            workers[1].ok = false;  // no thread to be had: packing starts again from nothing
        }
    } else {
        workers[1].ok = share[1].empty();
    }
    if (workers[0].ok) work(workers[0], 0);
    if (second.joinable()) second.join();
    bool ok = true;
    for (Worker& w : workers) {
        ok = ok && w.ok;
        for (auto& [item, stream] : w.done) made.streams.emplace(item, stream);
    }
    return ok;
}

bool assemble(const QFRepackPlan& plan, Source& old, std::vector<std::unique_ptr<Source>>& parts,
              const QFReusedStreams* made, int out) {
    std::vector<std::unordered_map<std::string, const Entry*>> partEntries(parts.size());
    for (size_t p = 0; p < parts.size(); ++p)
        if (parts[p])
            for (const Entry& e : parts[p]->entries) partEntries[p].emplace(e.name, &e);
    if (plan.items.size() > 0xFFFE) return false;
    std::string central;
    uint64_t offset = 0;
    for (size_t i = 0; i < plan.items.size(); ++i) {
        const QFRepackPlan::Item& item = plan.items[i];
        if (item.part == QFRepackPlan::kReusePart) {
            auto found = made ? made->streams.find(i) : std::unordered_map<size_t, Recompressed>::const_iterator{};
            if (!made || found == made->streams.end()) return false;
            const Recompressed& stream = found->second;
            std::string local, header;
            toolHeaders(item.name, stream, local, header);
            const uint64_t length = local.size() + stream.size;
            if (length > kClassicLimit || offset > kClassicLimit - length) return false;
            if (!writeAt(out, local, offset) || !copyRange(stream.fd, stream.offset, out, offset + local.size(), stream.size))
                return false;
            put32(header, 42, static_cast<uint32_t>(offset));
            central += header;
            offset += length;
            continue;
        }
        Source* source = nullptr;
        const Entry* e = nullptr;
        if (item.part < 0) {
            if (item.oldIndex >= old.entries.size()) return false;
            source = &old;
            e = &old.entries[item.oldIndex];
        } else {
            if (static_cast<size_t>(item.part) >= parts.size() || !parts[static_cast<size_t>(item.part)]) return false;
            source = parts[static_cast<size_t>(item.part)].get();
            auto found = partEntries[static_cast<size_t>(item.part)].find(item.name);
            if (found == partEntries[static_cast<size_t>(item.part)].end()) return false;
            e = found->second;
        }
        if (e->name != item.name || e->zip64) return false;
        std::string header = source->central.substr(e->centralAt, e->centralSize);
        auto end = recordEnd(*source, *e);
        if (!end) return false;
        const uint64_t length = *end - e->localOffset;
        if (length > kClassicLimit || offset > kClassicLimit - length) return false;
        if (!copyRange(source->file.descriptor(), e->localOffset, out, offset, length)) return false;
        put32(header, 42, static_cast<uint32_t>(offset));
        central += header;
        offset += length;
    }
    if (central.size() > kClassicLimit - offset) return false;
    std::string end(kEndSize, '\0');
    put32(end, 0, kEndSignature);
    put16(end, 8, static_cast<uint16_t>(plan.items.size()));
    put16(end, 10, static_cast<uint16_t>(plan.items.size()));
    put32(end, 12, static_cast<uint32_t>(central.size()));
    put32(end, 16, static_cast<uint32_t>(offset));
    return writeAt(out, central + end, offset);
}

}  // namespace

std::optional<QFRepackPlan> QFPlanRepacking(const std::string& root, const QFUnpackedTree& unpacked,
                                            const QFRepackLimits& limits) {
    Source old(unpacked.packagePath);
    if (!old.read()) return std::nullopt;
    std::unordered_map<std::string, size_t> byName;
    std::unordered_set<std::string> paths;
    for (size_t i = 0; i < old.entries.size(); ++i) {
        const Entry& e = old.entries[i];
        if (e.zip64 || !writtenWhereNamed(e) || !paths.insert(withoutSlash(e.name)).second) return std::nullopt;
        byName.emplace(e.name, i);
    }

    QFRepackPlan plan;
    struct Packed {
        size_t item;
        uint64_t cost;
    };
    std::vector<Packed> packed;
    size_t nameBytes = 0;
    uint64_t packedBytes = 0;
    auto pack = [&](const std::string& relative, std::string name, uint64_t size) {
        if (!QFToolCommands::entryNameIsLiteral(relative)) return false;
        nameBytes += relative.size() + 1;
        packedBytes += size;
        packed.push_back({plan.items.size(), size + kCostPerPath});
        plan.items.push_back({std::move(name), 0, 0, nullptr});
        return nameBytes <= limits.maximumNameBytes;
    };
    bool walked = QFWalkTree(root, [&](const std::string& relative, const struct stat& st) {
        if (plan.items.size() >= limits.maximumEntries) return false;
        if (S_ISDIR(st.st_mode)) return pack(relative, relative + "/", 0);
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return false;
        auto before = unpacked.files.find(relative);
        auto entry = byName.find(relative);
        QFFileStamp now;
        now.device = st.st_dev;
        now.inode = st.st_ino;
        now.size = st.st_size;
        now.mode = st.st_mode;
        now.modified = st.st_mtim;
        now.changed = st.st_ctim;
        if (before != unpacked.files.end() && before->second == now && entry != byName.end()) {
            const Entry& e = old.entries[entry->second];
            const bool asUnpacked = e.madeBy == kMadeOnUnix && e.mode == st.st_mode &&
                                    e.size == static_cast<uint64_t>(st.st_size) && !(e.flags & kFlagEncrypted) &&
                                    (e.method == kMethodStored || e.method == kMethodDeflated);
            if (asUnpacked) {
                plan.items.push_back({relative, -1, entry->second, nullptr});
                return true;
            }
        }
        if (S_ISREG(st.st_mode) && entry != byName.end() && static_cast<uint64_t>(st.st_size) >= limits.reuseFrom &&
            old.entries[entry->second].method == kMethodDeflated && isBinary(root + "/" + relative)) {
            if (!pack(relative, relative, 0)) return false;
            packed.pop_back();
            plan.items.back().part = QFRepackPlan::kReusePart;
            plan.items.back().oldIndex = entry->second;
            if (auto index = unpacked.deflateIndexes.find(relative); index != unpacked.deflateIndexes.end())
                plan.items.back().oldBlocks = index->second;
            return true;
        }
        return pack(relative, relative, static_cast<uint64_t>(st.st_size));
    });
    if (!walked) return std::nullopt;

    // The largest first, each to the tool with less to do; each tool's
    // paths then in walk order.
    const bool two = packedBytes >= limits.twoToolsFrom;
    std::vector<Packed> bySize = packed;
    std::stable_sort(bySize.begin(), bySize.end(), [](const Packed& a, const Packed& b) { return a.cost > b.cost; });
    uint64_t load[2] = {0, 0};
    for (const Packed& p : bySize) {
        const int part = two && load[1] < load[0] ? 1 : 0;
        load[part] += p.cost;
        plan.items[p.item].part = part;
    }
    for (const QFRepackPlan::Item& item : plan.items)
        if (item.part >= 0) plan.parts[item.part].push_back(withoutSlash(item.name));
    return plan;
}

namespace {

// The folder's file for an item, opened; its stamp in st.
std::optional<QFFileRange> openInFolder(const std::string& root, const QFRepackPlan::Item& item, struct stat& st,
                                        std::vector<int>& opened) {
    int fd = ::open((root + "/" + item.name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    opened.push_back(fd);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return QFFileRange{fd, 0, static_cast<uint64_t>(st.st_size)};
}

bool sameStamp(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mode == b.st_mode &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

class QFCompressedAhead {
public:
    // The streams and the names they were made for (by item), once made.
    std::pair<std::shared_ptr<const QFReusedStreams>, std::vector<std::string>> wait() {
        std::unique_lock<std::mutex> lock(mutex);
        ended.wait(lock, [&] { return done; });
        return {streams, names};
    }
    void finish(std::shared_ptr<const QFReusedStreams> made, std::vector<std::string> madeFor) {
        std::lock_guard<std::mutex> lock(mutex);
        streams = std::move(made);
        names = std::move(madeFor);
        done = true;
        ended.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::shared_ptr<const QFReusedStreams> streams;
    std::vector<std::string> names;
};

std::shared_ptr<QFCompressedAhead> QFCompressAhead(const std::string& root, std::shared_ptr<const QFUnpackedTree> unpacked,
                                                   std::vector<std::string> files, const QFRepackLimits& limits) {
    auto ahead = std::make_shared<QFCompressedAhead>();
    if (!unpacked) {
        ahead->finish(nullptr, {});
        return ahead;
    }
    platform::GlobalQueue::async([ahead, root, unpacked, files = std::move(files), limits] {
        Source old(unpacked->packagePath);
        QFRepackPlan plan;
        std::vector<std::string> names;
        if (unpacked->packageUnchanged() && old.read()) {
            std::unordered_map<std::string, size_t> byName;
            for (size_t i = 0; i < old.entries.size(); ++i) byName.emplace(old.entries[i].name, i);
            for (const std::string& file : files) {
                auto entry = byName.find(file);
                struct stat st;
                if (entry == byName.end() || old.entries[entry->second].method != kMethodDeflated ||
                    ::lstat((root + "/" + file).c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
                    static_cast<uint64_t>(st.st_size) < limits.reuseFrom || !isBinary(root + "/" + file))
                    continue;
                auto index = unpacked->deflateIndexes.find(file);
                plan.items.push_back({file, QFRepackPlan::kReusePart, entry->second,
                                      index == unpacked->deflateIndexes.end() ? nullptr : index->second});
                names.push_back(file);
            }
        }
        auto made = std::make_shared<QFReusedStreams>();
        std::vector<int> opened;
        auto fromFolder = [&](const QFRepackPlan::Item& item, struct stat& st) {
            return openInFolder(root, item, st, opened);
        };
        // One thread: the other core signs the application meanwhile.
        const bool ok = !plan.items.empty() && recompress(plan, old, fromFolder, root + ".ahead", *made, 1);
        for (int fd : opened) ::close(fd);
        ahead->finish(ok ? std::shared_ptr<const QFReusedStreams>(std::move(made)) : nullptr, std::move(names));
    });
    return ahead;
}

void QFWaitForCompressedAhead(const std::shared_ptr<QFCompressedAhead>& ahead) {
    if (ahead) ahead->wait();
}

std::shared_ptr<const QFReusedStreams> QFCompressReused(const QFRepackPlan& plan, const std::string& root,
                                                        const std::string& oldPackage, const std::string& scratchPath,
                                                        const std::shared_ptr<QFCompressedAhead>& ahead) {
    Source old(oldPackage);
    if (!old.read()) return nullptr;
    auto made = std::make_shared<QFReusedStreams>();
    std::vector<int> opened;
    // What was made ahead serves a file that still has the stamp it had.
    if (ahead) {
        auto [early, names] = ahead->wait();
        if (early) {
            std::unordered_map<std::string, const Recompressed*> byName;
            for (const auto& [item, stream] : early->streams)
                if (item < names.size()) byName.emplace(names[item], &stream);
            for (size_t i = 0; i < plan.items.size(); ++i) {
                const QFRepackPlan::Item& item = plan.items[i];
                auto found = item.part == QFRepackPlan::kReusePart ? byName.find(item.name) : byName.end();
                struct stat now;
                if (found != byName.end() && ::lstat((root + "/" + item.name).c_str(), &now) == 0 &&
                    sameStamp(now, found->second->file))
                    made->streams.emplace(i, *found->second);
            }
            made->ahead = early;
        }
    }
    auto fromFolder = [&](const QFRepackPlan::Item& item, struct stat& st) { return openInFolder(root, item, st, opened); };
    const bool ok = recompress(plan, old, fromFolder, scratchPath, *made);
    for (int fd : opened) ::close(fd);
    return ok ? std::shared_ptr<const QFReusedStreams>(std::move(made)) : nullptr;
}

bool QFAssembleRepacked(const QFRepackPlan& plan, const std::string& oldPackage,
                        const std::vector<std::string>& partArchives, const std::string& archivePath,
                        const QFReusedStreams* made) {
    Source old(oldPackage);
    if (!old.read()) return false;
    std::vector<std::unique_ptr<Source>> parts;
    for (const std::string& path : partArchives) {
        parts.push_back(path.empty() ? nullptr : std::make_unique<Source>(path));
        if (parts.back() && !parts.back()->read()) return false;
    }
    int out = ::open(archivePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) return false;
    bool ok = assemble(plan, old, parts, made, out);
    ok = ::close(out) == 0 && ok;
    if (!ok) ::unlink(archivePath.c_str());
    return ok;
}

std::optional<std::vector<std::string>> QFArchiveNames(const std::string& archivePath) {
    Source source(archivePath);
    if (!source.read()) return std::nullopt;
    std::vector<std::string> names;
    names.reserve(source.entries.size());
    for (const Entry& e : source.entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

#include "engine/QFSigningList.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/plist.h"
#include "engine/QFMachOMagic.h"

namespace engine {

namespace {

using namespace engine::macho;

namespace stdfs = std::filesystem;
namespace path = platform::path;

// ---- Mach-O files, by their first bytes ---------------------------------
// NOTE: keep in step with src/codesign/MachO.h, which owns the format; only
// the magic numbers and the file type are read here.
constexpr uint32_t kFiletypeOffset = 12;
constexpr uint32_t kFatArchOffsetField = 8;  // fat_arch.offset (fat_arch_64: a 64-bit one)

// The file types that carry a signature: executable, library, dynamic
// linker, loadable bundle, kernel extension. Not MH_OBJECT, not MH_DSYM.
bool signedFileType(uint32_t filetype) {
    return filetype == 0x2 || filetype == 0x6 || filetype == 0x7 || filetype == 0x8 || filetype == 0xb;
}

uint32_t be32(const unsigned char* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t le32(const unsigned char* p) { return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }

bool readAt(int fd, uint64_t offset, unsigned char* buffer, size_t length) {
    return ::pread(fd, buffer, length, off_t(offset)) == ssize_t(length);
}

constexpr uint32_t kExecuteFileType = 0x2;  // MH_EXECUTE

// What the thin Mach-O at offset is: its file type, or nothing when the
// bytes there are not a Mach-O header.
std::optional<uint32_t> thinFileType(int fd, uint64_t offset) {
    unsigned char header[16];
    if (!readAt(fd, offset, header, sizeof header)) return std::nullopt;
    const uint32_t magic = le32(header);
    if (magic == MH_MAGIC || magic == MH_MAGIC_64) return le32(header + kFiletypeOffset);
    if (magic == MH_CIGAM || magic == MH_CIGAM_64) return be32(header + kFiletypeOffset);
    return std::nullopt;
}

enum class MachOKind { NotMachO, Unreadable, Thin };

// The file type of a file's code: the first slice decides, as it does for
// the signer. Unreadable: a fat header whose first slice cannot be read.
// The file is name inside the folder open as folderFd (AT_FDCWD: a path).
MachOKind readMachOFileType(int folderFd, const char* name, uint32_t& filetype) {
    int fd = ::openat(folderFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return MachOKind::NotMachO;
    MachOKind kind = MachOKind::NotMachO;
    unsigned char header[8];
    if (readAt(fd, 0, header, sizeof header)) {
        const uint32_t magic = be32(header);
        if (magic == FAT_MAGIC || magic == FAT_MAGIC_64) {
            const uint32_t count = be32(header + 4);
            if (count > 0 && count <= kMaxFatArchs) {
                unsigned char arch[16];
                uint64_t offset = 0;
                if (readAt(fd, 8, arch, sizeof arch))
                    offset = magic == FAT_MAGIC ? be32(arch + kFatArchOffsetField)
                                                : uint64_t(be32(arch + kFatArchOffsetField)) << 32 |
                                                      be32(arch + kFatArchOffsetField + 4);
                auto thin = offset == 0 ? std::nullopt : thinFileType(fd, offset);
                kind = thin ? MachOKind::Thin : MachOKind::Unreadable;
                if (thin) filetype = *thin;
            }
        } else if (auto thin = thinFileType(fd, 0)) {
            kind = MachOKind::Thin;
            filetype = *thin;
        }
    }
    ::close(fd);
    return kind;
}

// What a regular file was found to be, while it keeps its stamp: a run
// lists the code of the same folder several times (checks, the nested
// stage, signing), and opening thousands of resources each time costs more
// than looking at their stamps.
struct Classified {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified, changed;
    MachOKind kind;
    uint32_t filetype;
    bool sameFile(const struct stat& st) const {
        return device == st.st_dev && inode == st.st_ino && size == st.st_size &&
               modified.tv_sec == st.st_mtim.tv_sec && modified.tv_nsec == st.st_mtim.tv_nsec &&
               changed.tv_sec == st.st_ctim.tv_sec && changed.tv_nsec == st.st_ctim.tv_nsec;
    }
};

// file names the file for the memo; it is name inside folderFd (see above).
MachOKind machOFileType(int folderFd, const char* name, const std::string& file, uint32_t& filetype) {
    static std::mutex lock;
    static auto* known = new std::unordered_map<std::string, Classified>();  // lives to the end, for late callers
    constexpr size_t kMaxKnown = 200000;
    struct stat st;
    if (::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return readMachOFileType(folderFd, name, filetype);
    {
        std::lock_guard<std::mutex> g(lock);
        auto it = known->find(file);
        if (it != known->end() && it->second.sameFile(st)) {
            filetype = it->second.filetype;
            return it->second.kind;
        }
    }
    uint32_t type = 0;
    const MachOKind kind = readMachOFileType(folderFd, name, type);
    std::lock_guard<std::mutex> g(lock);
    if (known->size() >= kMaxKnown) known->clear();
    (*known)[file] = Classified{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, kind, type};
    if (kind == MachOKind::Thin) filetype = type;
    return kind;
}

// A file that starts like Mach-O but whose header cannot be read is still
// taken for code: it then fails as code, where a broken library belongs.
bool isSignedMachO(int folderFd, const char* name, const std::string& file) {
    uint32_t filetype = 0;
    switch (machOFileType(folderFd, name, file, filetype)) {
        case MachOKind::NotMachO: return false;
        case MachOKind::Unreadable: return true;
        case MachOKind::Thin: return signedFileType(filetype);
    }
    return false;
}

// ---- Bundles ------------------------------------------------------------

struct Bundle {
    std::string contents;    // where its code and resources live
    std::string executable;  // its main executable
};

std::optional<std::string> executableNamed(const std::string& infoPlist) {
    auto bytes = platform::fs::readFile(infoPlist);
    auto info = bytes ? platform::plist::parse(*bytes) : std::nullopt;
    const platform::plist::Value* name = info ? info->get("CFBundleExecutable") : nullptr;
    if (!name || !name->asString()) return std::nullopt;
    const std::string& text = *name->asString();
    if (text.empty() || text == "." || text == ".." || text.find('/') != std::string::npos) return std::nullopt;
    return text;
}

// A folder that is a bundle naming an executable which exists: flat, or a
// versioned framework (Versions/Current a link to its version folder).
std::optional<Bundle> codeBundle(const std::string& folder) {
    Bundle bundle;
    bundle.contents = folder;
    std::string info = path::appendingPathComponent(folder, "Info.plist");
    if (!platform::fs::fileExists(info)) {
        const std::string current = path::appendingPathComponent(folder, "Versions/Current");
        std::error_code ec;
        if (!platform::fs::isSymlink(current)) return std::nullopt;
        const std::string version = stdfs::read_symlink(current, ec).string();
        if (ec || version.empty() || version == "." || version == ".." || version.find('/') != std::string::npos)
            return std::nullopt;
        bundle.contents = path::appendingPathComponent(path::appendingPathComponent(folder, "Versions"), version);
        info = path::appendingPathComponent(bundle.contents, "Resources/Info.plist");
    }
    auto name = executableNamed(info);
    if (!name) return std::nullopt;
    bundle.executable = path::appendingPathComponent(bundle.contents, *name);
    if (!platform::fs::fileExists(bundle.executable) || platform::fs::isDirectory(bundle.executable))
        return std::nullopt;
    return bundle;
}

constexpr int kMaxDepth = 64;  // deeper than any real bundle; bounds the recursion

// Appends the code inside folder (part of a bundle whose executable is
// given), innermost first.
void collect(const std::string& folder, const std::string& executable, int depth, bool top,
             std::vector<std::string>& out) {
    if (depth > kMaxDepth) return;
    // One listing that gives each entry's kind as the folder records it; the
    // files are then looked at by name within the open folder, which spares
    // the kernel walking the whole path for each of thousands of resources.
    struct Entry {
        std::string name;
        bool link, folder, file;
    };
    std::vector<Entry> entries;
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(folderFd), ::closedir);  // closes folderFd
    if (!listing) {
        ::close(folderFd);
        return;
    }
    while (const dirent* d = ::readdir(listing.get())) {
        const char* name = d->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        unsigned char type = d->d_type;
        if (type == DT_UNKNOWN) {  // a file system that keeps no kinds in its folders
            struct stat st;
            type = ::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? DT_UNKNOWN
                   : S_ISLNK(st.st_mode)                                  ? DT_LNK
                   : S_ISDIR(st.st_mode)                                  ? DT_DIR
                   : S_ISREG(st.st_mode)                                  ? DT_REG
                                                                          : DT_UNKNOWN;
        }
        entries.push_back({name, type == DT_LNK, type == DT_DIR, type == DT_REG});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    for (const Entry& entry : entries) {
        const std::string& name = entry.name;
        if (top && name == "_CodeSignature") continue;
        const std::string full = path::appendingPathComponent(folder, name);
        if (entry.link) continue;
        if (entry.folder) {
            if (auto nested = codeBundle(full)) {
                collect(nested->contents, nested->executable, depth + 1, true, out);
                out.push_back(full);
            } else {
                collect(full, executable, depth + 1, false, out);
            }
        } else if (entry.file && full != executable && isSignedMachO(folderFd, name.c_str(), full)) {
            out.push_back(full);
        }
    }
}

}  // namespace

bool isBelow(const std::string& path, const std::string& ancestor) {
    return path.size() > ancestor.size() + 1 && path.compare(0, ancestor.size(), ancestor) == 0 &&
           path[ancestor.size()] == '/';
}

std::vector<std::string> insideOut(const std::vector<std::string>& relativePaths) {
    // Each path goes right before the first of its ancestors already placed;
    // ancestors come earlier in the input, so they are all placed by then.
    std::vector<std::string> ordered;
    ordered.reserve(relativePaths.size());
    for (const auto& path : relativePaths) {
        auto at = ordered.end();
        for (auto it = ordered.begin(); it != ordered.end(); ++it) {
            if (isBelow(path, *it)) {
                at = it;
                break;
            }
        }
        ordered.insert(at, path);
    }
    return ordered;
}

std::string codeFileOf(const std::string& item) {
    auto bundle = codeBundle(item);
    return bundle ? bundle->executable : item;
}

bool isMainExecutable(const std::string& item) {
    auto bundle = codeBundle(item);
    uint32_t filetype = 0;
    const std::string code = bundle ? bundle->executable : item;
    return machOFileType(AT_FDCWD, code.c_str(), code, filetype) == MachOKind::Thin &&
           filetype == kExecuteFileType;
}

std::vector<std::string> signingList(const std::string& appPath) {
    std::vector<std::string> list;
    auto app = codeBundle(appPath);
    // An application whose executable is missing is still listed, so that
    // signing it reports what is wrong.
    const std::string executable =
        app ? app->executable
            : path::appendingPathComponent(appPath, path::deletingPathExtension(path::lastPathComponent(appPath)));
    collect(app ? app->contents : appPath, executable, 0, true, list);
    list.push_back(appPath);
    return list;
}

}  // namespace engine

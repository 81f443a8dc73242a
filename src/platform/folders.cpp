#include "platform/folders.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <cstdlib>
#include <fstream>

#include "platform/paths.h"

namespace platform::folders {

namespace {
std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// Reads XDG_DESKTOP_DIR from user-dirs.dirs ("$HOME/Desktop" style values).
std::string xdgDesktopFromConfig(const std::string& home) {
    std::string config = env("XDG_CONFIG_HOME");
    if (config.empty()) config = path::appendingPathComponent(home, ".config");
    std::ifstream in(path::appendingPathComponent(config, "user-dirs.dirs"));
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_DESKTOP_DIR=";
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
        if (!value.empty() && value.front() == '/') return value;
    }
    return "";
}

// Each run makes its own work folder here and removes it at the end, so
// the folders are unrelated: ext4's "top of hierarchy" flag asks the inode
// allocator to spread them over block groups. Without it, a run's few
// thousand files go where the previous run's were just removed, and on a
// file system without a journal every new inode then waits on a search
// past the recently deleted ones. A hint only: where it cannot be set,
// nothing changes.
void spreadSubfolders(const std::string& dir) {
#if defined(__linux__) && defined(FS_IOC_GETFLAGS) && defined(FS_TOPDIR_FL)
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && !(flags & FS_TOPDIR_FL)) {
        flags |= FS_TOPDIR_FL;
        (void)::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
#else
    (void)dir;
#endif
}
}  // namespace

std::string homeDirectory() {
    std::string home = env("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string desktopDirectory() {
    std::string home = homeDirectory();
    std::string fromEnv = env("XDG_DESKTOP_DIR");
    if (!fromEnv.empty() && fromEnv.front() == '/') return fromEnv;
    std::string fromConfig = xdgDesktopFromConfig(home);
    if (!fromConfig.empty()) return fromConfig;
    return path::appendingPathComponent(home, "Desktop");
}

std::string dataHome() {
    std::string v = env("XDG_DATA_HOME");
    if (!v.empty() && v.front() == '/') return v;
    return path::appendingPathComponent(homeDirectory(), ".local/share");
}

std::optional<std::string> temporaryDirectory() {
    std::string base = env("TMPDIR");
    if (base.empty() || base.front() != '/') base = "/tmp";
    std::string dir = path::appendingPathComponent(base, "ipa-resigner-" + std::to_string(::getuid()));
    ::mkdir(dir.c_str(), 0700);
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return std::nullopt;
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return std::nullopt;
    spreadSubfolders(dir);
    return dir;
}

std::string executableDirectory() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = '\0';
    return path::deletingLastPathComponent(buf);
}

}  // namespace platform::folders

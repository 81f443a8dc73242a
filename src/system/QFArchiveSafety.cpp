#include "system/QFArchiveSafety.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/files.h"
#include "platform/paths.h"

namespace {

// Depth of a path relative to root after following "..", or -1 when it
// climbs above root at any point.
bool staysInside(const std::string& linkDirectory, const std::string& target) {
    if (target.empty() || target.front() == '/') return false;
    std::vector<std::string> parts;
    auto push = [&](const std::string& path) -> bool {
        size_t start = 0;
        while (start <= path.size()) {
            size_t slash = path.find('/', start);
            std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (part == "..") {
                if (parts.empty()) return false;
                parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        return true;
    };
    return push(linkDirectory) && push(target);
}

}  // namespace

bool QFTreeLinksStayInside(const std::string& root) {
    for (const auto& relative : platform::fs::subpathsOfDirectory(root)) {
        std::string full = platform::path::appendingPathComponent(root, relative);
        struct stat st;
        if (::lstat(full.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        ssize_t n = ::readlink(full.c_str(), target.data(), target.size());
        if (n < 0) return false;
        target.resize(static_cast<size_t>(n));
        if (!staysInside(platform::path::deletingLastPathComponent(relative), target)) return false;
    }
    return true;
}

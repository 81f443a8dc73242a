#include "codesign/NestedCode.h"

#include <algorithm>
#include <filesystem>

#include "codesign/FileAccess.h"
#include "codesign/MachO.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace codesign {

namespace {

namespace stdfs = std::filesystem;
namespace path = platform::path;

constexpr uint32_t MH_DSYM = 0xa;
constexpr int kMaxDepth = 64;  // deeper than any real bundle; bounds the recursion

// A Mach-O file by its magic; one whose headers do not hold is still code
// (it fails as code, not as a resource).
bool isSignedMachO(const std::string& file) {
    InputFile input;
    if (!input.open(file)) return false;
    auto parsed = macho::parse(input);
    if (!parsed) return parsed.kind() != platform::ErrorKind::NotMachO;
    return !parsed->slices.empty() && isSignedFileType(parsed->slices.front().filetype);
}

void collect(const std::string& folder, const BundleInfo& bundle, int depth,
             std::vector<std::string>& out) {
    if (depth > kMaxDepth) return;
    // One listing that gives each entry's kind as the folder records it.
    struct Entry {
        std::string name;
        bool link, folder, file;
    };
    std::vector<Entry> entries;
    std::error_code ec;
    for (stdfs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        entries.push_back({it->path().filename().string(), it->is_symlink(kind), it->is_directory(kind) && !it->is_symlink(kind),
                           it->is_regular_file(kind) && !it->is_symlink(kind)});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    for (const Entry& entry : entries) {
        const std::string& name = entry.name;
        const std::string full = path::appendingPathComponent(folder, name);
        if ((depth == 0 && name == "_CodeSignature") || entry.link) continue;
        if (entry.folder) {
            if (isCodeBundle(full)) out.push_back(full);
            else collect(full, bundle, depth + 1, out);
        } else if (entry.file && full != bundle.executablePath && isSignedMachO(full)) {
            out.push_back(full);
        }
    }
}

}  // namespace

bool isSignedFileType(uint32_t filetype) {
    return filetype != MH_DSYM && (filetype == macho::MH_EXECUTE || filetype == macho::MH_DYLIB ||
                                   filetype == macho::MH_DYLINKER || filetype == macho::MH_BUNDLE ||
                                   filetype == macho::MH_KEXT_BUNDLE);
}

bool isCodeBundle(const std::string& folder) {
    if (platform::fs::isSymlink(folder)) return false;
    const bool flat = platform::fs::fileExists(path::appendingPathComponent(folder, "Info.plist"));
    const bool versioned = platform::fs::isSymlink(path::appendingPathComponent(folder, "Versions/Current"));
    if (!flat && !versioned) return false;
    auto bundle = readBundle(folder);
    return bundle && bundle->info.count("CFBundleExecutable") && bundle->info.at("CFBundleExecutable").asString();
}

std::vector<std::string> nestedCode(const BundleInfo& bundle) {
    std::vector<std::string> out;
    collect(bundle.contents, bundle, 0, out);
    return out;
}

}  // namespace codesign

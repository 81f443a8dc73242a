#include "codesign/Bundle.h"

#include <cctype>
#include <filesystem>

#include "platform/files.h"
#include "platform/paths.h"

namespace codesign {

namespace {
std::string stringValue(const platform::plist::Dict& dict, const std::string& key) {
    auto it = dict.find(key);
    if (it == dict.end() || !it->second.asString()) return {};
    return *it->second.asString();
}

bool startsWithDigit(const std::string& s) { return !s.empty() && std::isdigit(static_cast<unsigned char>(s[0])); }
}  // namespace

namespace {

constexpr const char* kBundleFormat = "bundle format unrecognized, invalid, or unsuitable";
constexpr const char* kVersions = "Versions";
constexpr const char* kCurrent = "Current";

bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::optional<std::string> linkTarget(const std::string& path) {
    if (!platform::fs::isSymlink(path)) return std::nullopt;
    std::error_code ec;
    auto target = std::filesystem::read_symlink(path, ec);
    if (ec) return std::nullopt;
    return target.string();
}

bool isRealDirectory(const std::string& path) {
    return platform::fs::isDirectory(path) && !platform::fs::isSymlink(path);
}

}  // namespace

platform::Result<BundleInfo> readBundle(const std::string& path) {
    auto fail = [](const std::string& text) { return platform::Error(text); };
    BundleInfo bundle;
    bundle.root = path;
    while (bundle.root.size() > 1 && bundle.root.back() == '/') bundle.root.pop_back();
    bundle.contents = bundle.root;
    std::string infoPath = platform::path::appendingPathComponent(bundle.root, "Info.plist");
    const std::string current =
        platform::path::appendingPathComponent(platform::path::appendingPathComponent(bundle.root, kVersions), kCurrent);
    if (!platform::fs::fileExists(infoPath) && !platform::fs::isSymlink(infoPath)) {
        if (platform::fs::isSymlink(current)) {
            // A versioned framework: Versions/Current names the version folder.
            auto version = linkTarget(current);
            if (!version || !isPlainName(*version) || *version == kCurrent)
                return fail(std::string(kBundleFormat) + " (Versions/Current is not a link to a version folder)");
            bundle.currentVersion = *version;
            bundle.contents = platform::path::appendingPathComponent(
                platform::path::appendingPathComponent(bundle.root, kVersions), *version);
            if (!isRealDirectory(bundle.contents))
                return fail(std::string(kBundleFormat) + " (no folder Versions/" + *version + ")");
        }
        infoPath = platform::path::appendingPathComponent(bundle.contents, "Resources/Info.plist");
    }
    auto bytes = platform::fs::readFile(infoPath);
    if (!bytes) return fail(kBundleFormat);
    auto parsed = platform::plist::parse(*bytes);
    if (!parsed || !parsed->asDict()) return fail(std::string(kBundleFormat) + " (Info.plist)");
    bundle.infoPlistBytes = std::move(*bytes);
    bundle.info = *parsed->asDict();
    bundle.identifier = stringValue(bundle.info, "CFBundleIdentifier");
    bundle.packageType = stringValue(bundle.info, "CFBundlePackageType");
    bundle.executableName = stringValue(bundle.info, "CFBundleExecutable");
    if (bundle.executableName.empty())
        bundle.executableName = platform::path::deletingPathExtension(platform::path::lastPathComponent(bundle.root));
    if (!isPlainName(bundle.executableName)) return fail(std::string(kBundleFormat) + " (CFBundleExecutable)");
    bundle.executablePath = platform::path::appendingPathComponent(bundle.contents, bundle.executableName);
    if (!platform::fs::fileExists(bundle.executablePath) || platform::fs::isDirectory(bundle.executablePath))
        return fail(std::string(kBundleFormat) + " (no main executable)");
    if (bundle.identifier.empty()) bundle.identifier = identifierFromFileName(bundle.executableName);
    return bundle;
}

std::string codeResourcesPath(const BundleInfo& bundle) {
    return platform::path::appendingPathComponent(bundle.contents, "_CodeSignature/CodeResources");
}

std::optional<std::string> versionedLayoutProblem(const BundleInfo& bundle) {
    if (bundle.currentVersion.empty()) return std::nullopt;
    const std::string versions = platform::path::appendingPathComponent(bundle.root, kVersions);
    if (!isRealDirectory(versions)) return std::string("Versions is not a folder");
    for (const std::string& name : platform::fs::contentsOfDirectory(bundle.root)) {
        if (name == kVersions) continue;
        const std::string expected = std::string(kVersions) + "/" + kCurrent + "/" + name;
        auto target = linkTarget(platform::path::appendingPathComponent(bundle.root, name));
        if (!target)
            return "the framework's top level holds " + name + ", which is not a link into Versions/Current";
        if (*target != expected) return "the link " + name + " leads to " + *target + " instead of " + expected;
        const std::string inside = platform::path::appendingPathComponent(bundle.contents, name);
        if (!platform::fs::fileExists(inside) && !platform::fs::isSymlink(inside))
            return "the link " + name + " leads to nothing in Versions/" + bundle.currentVersion;
    }
    return std::nullopt;
}

std::string bundleFormat(const BundleInfo& bundle, const std::string& machoFormat) {
    return std::string(bundle.packageType == "APPL" ? "app bundle" : "bundle") + " with " + machoFormat;
}

std::string identifierFromFileName(const std::string& fileName) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = fileName.find('.', start);
        parts.push_back(fileName.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() > 1 && !startsWithDigit(parts.back())) parts.pop_back();
    while (parts.size() > 2 && startsWithDigit(parts.back()) && startsWithDigit(parts[parts.size() - 2]))
        parts.pop_back();
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? "." : "") + parts[i];
    return out.empty() ? fileName : out;
}

}  // namespace codesign

#include "codesign/Bundle.h"

#include <cctype>

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

std::optional<BundleInfo> readBundle(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& text) -> std::optional<BundleInfo> {
        if (error) *error = text;
        return std::nullopt;
    };
    BundleInfo bundle;
    bundle.root = path;
    while (bundle.root.size() > 1 && bundle.root.back() == '/') bundle.root.pop_back();
    const std::string infoPath = platform::path::appendingPathComponent(bundle.root, "Info.plist");
    auto bytes = platform::fs::readFile(infoPath);
    if (!bytes) return fail("bundle format unrecognized, invalid, or unsuitable");
    auto parsed = platform::plist::parse(*bytes);
    if (!parsed || !parsed->asDict()) return fail("bundle format unrecognized, invalid, or unsuitable (Info.plist)");
    bundle.infoPlistBytes = std::move(*bytes);
    bundle.info = *parsed->asDict();
    bundle.identifier = stringValue(bundle.info, "CFBundleIdentifier");
    bundle.packageType = stringValue(bundle.info, "CFBundlePackageType");
    bundle.executableName = stringValue(bundle.info, "CFBundleExecutable");
    if (bundle.executableName.empty())
        bundle.executableName = platform::path::deletingPathExtension(platform::path::lastPathComponent(bundle.root));
    if (bundle.executableName.find('/') != std::string::npos || bundle.executableName == "." ||
        bundle.executableName == "..")
        return fail("bundle format unrecognized, invalid, or unsuitable (CFBundleExecutable)");
    bundle.executablePath = platform::path::appendingPathComponent(bundle.root, bundle.executableName);
    if (!platform::fs::fileExists(bundle.executablePath) || platform::fs::isDirectory(bundle.executablePath))
        return fail("bundle format unrecognized, invalid, or unsuitable (no main executable)");
    if (bundle.identifier.empty()) bundle.identifier = identifierFromFileName(bundle.executableName);
    return bundle;
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

// The engine is the lowest layer that links Qt's image classes (QtGui), for
// this file alone: scaling a picture well is an image library's work, and
// QImage is the one the program already ships with its window. Nothing here
// needs an application object or a display, so the command-line run uses it
// as well. The layers below stay free of Qt, so that the signing, profile
// and archive code and the commands built on them alone do not carry it.
#include "engine/QFAppIcons.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <algorithm>
#include <set>

#include "platform/files.h"
#include "platform/paths.h"

namespace fs = platform::fs;
namespace path = platform::path;
namespace plist = platform::plist;

namespace engine {

namespace {

void addNames(const plist::Value* value, std::vector<std::string>& names) {
    if (!value) return;
    if (const std::string* one = value->asString()) {
        if (!one->empty() && std::find(names.begin(), names.end(), *one) == names.end()) names.push_back(*one);
        return;
    }
    if (const plist::Array* many = value->asArray())
        for (const auto& item : *many) addNames(&item, names);
}

// Every CFBundleIconFiles in a CFBundleIcons dictionary, at any depth
// (CFBundlePrimaryIcon, CFBundleAlternateIcons/NAME).
void addIconFiles(const plist::Value* icons, std::vector<std::string>& names) {
    const plist::Dict* keys = icons ? icons->asDict() : nullptr;
    if (!keys) return;
    for (const auto& [key, value] : *keys) {
        if (key == "CFBundleIconFiles") addNames(&value, names);
        else addIconFiles(&value, names);
    }
}

uint32_t bigEndian32(const std::string& bytes, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

std::vector<std::string> iconNames(const plist::Dict& info) {
    std::vector<std::string> names;
    for (const char* key : {"CFBundleIcons", "CFBundleIcons~ipad"})
        if (auto it = info.find(key); it != info.end()) addIconFiles(&it->second, names);
    if (auto it = info.find("CFBundleIconFiles"); it != info.end()) addNames(&it->second, names);
    if (auto it = info.find("CFBundleIconFile"); it != info.end()) addNames(&it->second, names);
    return names;
}

std::vector<std::string> iconFilesFor(const std::string& appPath, const std::vector<std::string>& names) {
    std::set<std::string> stems;
    for (const auto& name : names) {
        if (name.find('/') != std::string::npos) continue;  // only files at the top are looked for
        stems.insert(path::toLower(path::pathExtension(name)) == "png" ? path::deletingPathExtension(name) : name);
    }
    std::vector<std::string> files;
    for (const auto& entry : fs::contentsOfDirectory(appPath)) {
        if (path::toLower(path::pathExtension(entry)) != "png") continue;
        const std::string stem = path::deletingPathExtension(entry);
        for (const auto& wanted : stems) {
            if (stem.compare(0, wanted.size(), wanted) != 0) continue;
            if (stem.size() == wanted.size() || stem[wanted.size()] == '@' || stem[wanted.size()] == '~') {
                const std::string full = path::appendingPathComponent(appPath, entry);
                if (!fs::isDirectory(full) && !fs::isSymlink(full)) files.push_back(entry);
                break;
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::optional<std::pair<uint32_t, uint32_t>> pngSize(const std::string& bytes) {
    static const std::string kSignature = "\x89PNG\r\n\x1a\n";
    constexpr size_t kChunkHead = 8, kChunkCrc = 4, kIhdrLength = 13;
    constexpr size_t kMaxChunksBefore = 4;
    if (bytes.compare(0, kSignature.size(), kSignature) != 0) return std::nullopt;
    size_t at = kSignature.size();
    for (size_t chunk = 0; chunk <= kMaxChunksBefore; ++chunk) {
        if (bytes.size() < at + kChunkHead) return std::nullopt;
        const uint32_t length = bigEndian32(bytes, at);
        const std::string type = bytes.substr(at + 4, 4);
        if (type == "IHDR") {
            if (length < kIhdrLength || bytes.size() - at - kChunkHead < 8) return std::nullopt;
            uint32_t width = bigEndian32(bytes, at + kChunkHead), height = bigEndian32(bytes, at + kChunkHead + 4);
            if (width == 0 || height == 0) return std::nullopt;
            return std::make_pair(width, height);
        }
        if (length > bytes.size() - at - kChunkHead || bytes.size() - at - kChunkHead - length < kChunkCrc)
            return std::nullopt;
        at += kChunkHead + length + kChunkCrc;
    }
    return std::nullopt;
}

bool isReadableImage(const std::string& file) {
    QImageReader reader(QString::fromStdString(file));
    return reader.canRead() && reader.size().isValid();
}

platform::Result<std::string> scaledPng(const std::string& file, uint32_t width, uint32_t height) {
    constexpr uint32_t kLargestSide = 4096;  // far beyond any icon
    if (width == 0 || height == 0 || width > kLargestSide || height > kLargestSide)
        return platform::Error(platform::ErrorKind::Unsupported,
                               "an icon of " + std::to_string(width) + "x" + std::to_string(height) + " pixels");
    QImage image(QString::fromStdString(file));
    if (image.isNull()) return platform::Error(platform::ErrorKind::Malformed, "the image cannot be read");
    const QSize wanted{int(width), int(height)};
    QImage filled = image.scaled(wanted, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    QImage cut = filled.copy((filled.width() - wanted.width()) / 2, (filled.height() - wanted.height()) / 2,
                             wanted.width(), wanted.height());
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!cut.save(&buffer, "PNG")) return platform::Error(platform::ErrorKind::Io, "the scaled image cannot be written");
    return std::string(png.constData(), size_t(png.size()));
}

}  // namespace engine

#pragma once
// The application's icon files, and the new icon scaled to each of them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist.h"
#include "platform/result.h"

namespace engine {

// The icon names an Info.plist gives: every CFBundleIconFiles under
// CFBundleIcons and CFBundleIcons~ipad (the primary icon and the alternate
// ones), the old top-level CFBundleIconFiles, and CFBundleIconFile. In the
// order met, each once.
std::vector<std::string> iconNames(const platform::plist::Dict& info);

// The PNG files at the top of the application that those names stand for:
// NAME.png itself and its variants by scale and device (NAME@2x.png,
// NAME~ipad.png, NAME@2x~ipad.png); a name may carry its ".png" already.
// Relative to the application, sorted.
std::vector<std::string> iconFilesFor(const std::string& appPath, const std::vector<std::string>& names);

// The width and height a PNG's header gives, read from its IHDR chunk
// (also behind the extra chunk that packaging tools put before it).
// Nothing when the bytes are no PNG.
std::optional<std::pair<uint32_t, uint32_t>> pngSize(const std::string& bytes);

// Whether the image library reads the file as an image.
bool isReadableImage(const std::string& path);

// The image at path scaled to width x height (filling it, the middle kept
// when the sides differ in proportion), as PNG bytes.
platform::Result<std::string> scaledPng(const std::string& path, uint32_t width, uint32_t height);

}  // namespace engine

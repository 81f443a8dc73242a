#include "engine/QFSigningList.h"

#include "platform/files.h"
#include "platform/paths.h"

namespace engine {

bool isBelow(const std::string& path, const std::string& ancestor) {
    return path.size() > ancestor.size() + 1 && path.compare(0, ancestor.size(), ancestor) == 0 &&
           path[ancestor.size()] == '/';
}

// Frameworks and libraries, and the nested code bundles that carry their own
// executable: extensions (PlugIns/*.appex) and nested applications (a watch
// app). An extension left out would keep its old signature, whose seal no
// longer matches once its own frameworks are re-signed, and the device would
// refuse the whole application.
bool isSignedItem(const std::string& relativePath) {
    std::string extension = platform::path::toLower(platform::path::pathExtension(relativePath));
    return extension == "framework" || extension == "dylib" || extension == "appex" || extension == "app";
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

std::vector<std::string> signingList(const std::string& appPath) {
    std::vector<std::string> items;
    for (auto& relative : platform::fs::subpathsOfDirectory(appPath)) {
        // A link (the top of a versioned framework is made of them) is no
        // item of its own: what it leads to is signed where it lives.
        if (isSignedItem(relative) &&
            !platform::fs::isSymlink(platform::path::appendingPathComponent(appPath, relative)))
            items.push_back(std::move(relative));
    }
    std::vector<std::string> list;
    for (const auto& relative : insideOut(items)) list.push_back(platform::path::appendingPathComponent(appPath, relative));
    list.push_back(appPath);
    return list;
}

}  // namespace engine

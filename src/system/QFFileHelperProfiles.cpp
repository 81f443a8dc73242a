// Installed provisioning profiles: every file directly inside the profile
// folder with one of the provision extensions, decoded afresh on each call.
#include <algorithm>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "profile/QFProvisioningProfile.h"
#include "system/QFFileHelper.h"

namespace {
// Under the home folder; the relative path keeps its space.
constexpr const char* kProfilesFolder = "Library/MobileDevice/Provisioning Profiles";
}  // namespace

std::vector<std::shared_ptr<QFProvisioningProfile>> QFFileHelper::getProvisioningProfiles() {
    std::string home = platform::folders::homeDirectory();
    std::string folder = home + "/" + kProfilesFolder;
    std::vector<std::shared_ptr<QFProvisioningProfile>> profiles;
    // A missing or unreadable folder lists nothing.
    for (const std::string& name : platform::fs::contentsOfDirectory(folder)) {
        // Extensions compare case-sensitively: "MOBILEPROVISION" is not one.
        std::string extension = platform::path::pathExtension(name);
        if (std::find(_provisionExtensions.begin(), _provisionExtensions.end(), extension) == _provisionExtensions.end())
            continue;
        std::string path = home + "/" + kProfilesFolder + "/" + name;
        // Anything that exists counts, a folder too: its record has only a path.
        if (!platform::fs::fileExists(path)) continue;
        profiles.push_back(std::make_shared<QFProvisioningProfile>(path));
    }
    // Plain byte order of the names; records without a name come first, and
    // equal names keep their listing order.
    std::stable_sort(profiles.begin(), profiles.end(), [](const auto& a, const auto& b) {
        return a->name().value_or(std::string()) < b->name().value_or(std::string());
    });
    return profiles;
}

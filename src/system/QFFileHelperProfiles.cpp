// Installed provisioning profiles: every file directly inside the profile
// folder with one of the provision extensions, decoded afresh on each call.
#include <sys/stat.h>

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

std::string QFFileHelper::provisioningProfilesFolder() {
    return platform::folders::homeDirectory() + "/" + kProfilesFolder;
}

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

platform::Result<std::string> QFFileHelper::installProvisioningProfile(const std::string& file) {
    using platform::Error;
    using platform::ErrorKind;
    const std::string shown = platform::path::lastPathComponent(file);
    QFProvisioningProfile profile(file);
    // The UUID names the file: a profile without one cannot be told from others.
    const auto& uuid = profile.UUID();
    bool plainName = uuid && !uuid->empty() && uuid->find('/') == std::string::npos && *uuid != "." && *uuid != "..";
    if (!profile.profileDictionary() || !plainName)
        return Error(ErrorKind::Malformed, "The file " + shown +
                                               " is not a provisioning profile (or has no UUID): download the "
                                               ".mobileprovision file again and install that.");
    const std::string folder = provisioningProfilesFolder();
    if (!platform::fs::isDirectory(folder)) {
        platform::fs::createDirectory(folder);
        ::chmod(folder.c_str(), 0700);
    }
    const std::string target = folder + "/" + *uuid + ".mobileprovision";
    auto bytes = platform::fs::readFile(file);
    if (!bytes || !platform::fs::isDirectory(folder) || !platform::fs::writeFileAtomically(target, *bytes))
        return Error(ErrorKind::Io, "The profile " + shown + " could not be copied into " + folder +
                                        ": check that this folder can be written to.");
    return target;
}

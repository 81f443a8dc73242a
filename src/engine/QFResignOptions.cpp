#include "engine/QFResignOptions.h"

#include <algorithm>

#include "engine/QFAppIcons.h"
#include "engine/QFInjectedLibraries.h"
#include "engine/QFSigningList.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace fs = platform::fs;
namespace path = platform::path;
namespace plist = platform::plist;

namespace engine {

namespace {

constexpr const char* kWatchFolder = "Watch";

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

bool isBundle(const std::string& relative) {
    const std::string extension = path::toLower(path::pathExtension(relative));
    return extension == "app" || extension == "appex";
}

bool isBelowAny(const std::string& relative, const std::vector<std::string>& folders) {
    return std::any_of(folders.begin(), folders.end(),
                       [&](const std::string& f) { return relative == f || isBelow(relative, f); });
}

std::string infoPath(const std::string& bundle) { return path::appendingPathComponent(bundle, "Info.plist"); }

std::optional<plist::Value> readInfo(const std::string& bundle) {
    auto bytes = fs::readFile(infoPath(bundle));
    auto info = bytes ? plist::parse(*bytes) : std::nullopt;
    if (!info || !info->asDict()) return std::nullopt;
    return info;
}

// " and in A, B" for the nested bundles that also got a value.
std::string alsoIn(const std::vector<std::string>& bundles) {
    std::string out;
    for (const auto& bundle : bundles) out += (out.empty() ? " and in " : ", ") + bundle;
    return out;
}

std::optional<std::string> resolveRemovals(const ResignOptions& options, const std::string& app, OptionsPlan& plan,
                                           std::vector<std::string>& notices) {
    const std::vector<std::string> nested = nestedBundles(app);
    std::vector<std::string> removed;
    if (options.removeExtensions) {
        for (const auto& bundle : nested) {
            const std::string folder = path::deletingLastPathComponent(bundle);
            if ((folder == "PlugIns" || folder == "Extensions") && path::toLower(path::pathExtension(bundle)) == "appex")
                removed.push_back(bundle);
        }
    }
    if (options.removeWatchApp && fs::isDirectory(path::appendingPathComponent(app, kWatchFolder)) &&
        !fs::isSymlink(path::appendingPathComponent(app, kWatchFolder)))
        removed.push_back(kWatchFolder);
    for (const auto& name : options.removeBundles) {
        std::vector<std::string> matches;
        for (const auto& bundle : nested)
            if (bundle == name || path::lastPathComponent(bundle) == name ||
                path::deletingPathExtension(path::lastPathComponent(bundle)) == name)
                matches.push_back(bundle);
        if (matches.empty())
            return "The application has no nested bundle named " + quoted(name) +
                   ": name one of its extensions or nested applications (such as PlugIns/Share.appex).";
        if (matches.size() > 1) {
            std::string list;
            for (const auto& m : matches) list += (list.empty() ? "" : ", ") + m;
            return "More than one nested bundle is named " + quoted(name) + " (" + list +
                   "): name the one to remove by its path below the application.";
        }
        removed.push_back(matches.front());
    }
    // Each once, and nothing below a folder that goes as a whole.
    std::sort(removed.begin(), removed.end());
    removed.erase(std::unique(removed.begin(), removed.end()), removed.end());
    for (const auto& bundle : removed) {
        bool inside = std::any_of(removed.begin(), removed.end(),
                                  [&](const std::string& other) { return isBelow(bundle, other); });
        if (!inside) plan.removedBundles.push_back(bundle);
    }
    if (options.removeExtensions &&
        std::none_of(plan.removedBundles.begin(), plan.removedBundles.end(),
                     [](const std::string& b) { return path::toLower(path::pathExtension(b)) == "appex"; }))
        notices.push_back("The application has no extensions in PlugIns or Extensions: none removed");
    if (options.removeWatchApp && std::find(removed.begin(), removed.end(), kWatchFolder) == removed.end())
        notices.push_back("The application has no Watch folder: no watch application removed");
    return std::nullopt;
}

std::optional<std::string> planIcons(const ResignOptions& options, const std::string& app, OptionsPlan& plan) {
    const std::string& icon = *options.iconPath;
    if (!fs::fileExists(icon) || fs::isDirectory(icon) || !isReadableImage(icon))
        return "The icon " + quoted(icon) + " cannot be read as an image: give a PNG file.";
    auto info = readInfo(app);
    const std::vector<std::string> files = info ? iconFilesFor(app, iconNames(*info->asDict())) : std::vector<std::string>{};
    if (files.empty())
        return std::string("The application's Info.plist names no icon files that the package holds "
                           "(CFBundleIcons, CFBundleIconFiles), so there is no icon file to replace") +
               (fs::fileExists(path::appendingPathComponent(app, "Assets.car"))
                    ? "; an icon compiled into Assets.car cannot be changed."
                    : ".");
    for (const auto& file : files) {
        auto bytes = fs::readFile(path::appendingPathComponent(app, file));
        auto size = bytes ? pngSize(*bytes) : std::nullopt;
        if (!size)
            return "The icon file " + quoted(file) + " of the application is not a PNG image whose size can be read, "
                   "so it cannot be replaced.";
        plan.icons.push_back({file, size->first, size->second});
    }
    plan.assetCatalog = fs::fileExists(path::appendingPathComponent(app, "Assets.car"));
    return std::nullopt;
}

bool hasControlCharacters(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

}  // namespace

size_t ResignOptions::count() const {
    return size_t{shortVersion.has_value()} + bundleVersion.has_value() + minimumOSVersion.has_value() +
           removeSupportedDevices + deviceFamily.has_value() + fileSharing + removeExtensions + removeWatchApp +
           removeBundles.size() + iconPath.has_value() + injectLibraries.size() + removeLibraries.size();
}

bool isVersionText(const std::string& text) {
    constexpr size_t kMostParts = 3, kLongestNumber = 5;
    size_t parts = 1, digits = 0;
    for (char c : text) {
        if (c == '.') {
            if (digits == 0 || ++parts > kMostParts) return false;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            if (++digits > kLongestNumber) return false;
        } else {
            return false;
        }
    }
    return digits > 0;
}

std::optional<DeviceFamily> deviceFamilyNamed(const std::string& name) {
    if (name == "iphone") return DeviceFamily::iphone;
    if (name == "ipad") return DeviceFamily::ipad;
    if (name == "both") return DeviceFamily::both;
    return std::nullopt;
}

const char* deviceFamilyName(DeviceFamily family) {
    switch (family) {
        case DeviceFamily::iphone: return "iphone";
        case DeviceFamily::ipad: return "ipad";
        case DeviceFamily::both: return "both";
    }
    return "both";
}

std::vector<std::string> nestedBundles(const std::string& app) {
    std::vector<std::string> bundles;
    for (auto& relative : fs::subpathsOfDirectory(app))
        if (isBundle(relative) && fs::isDirectory(path::appendingPathComponent(app, relative)) &&
            !fs::isSymlink(path::appendingPathComponent(app, relative)))
            bundles.push_back(std::move(relative));
    std::sort(bundles.begin(), bundles.end());
    return bundles;
}

OptionsCheck checkOptions(const ResignOptions& options, const std::string& app) {
    OptionsCheck check;
    if (options.empty() || app.empty() || !fs::isDirectory(app)) return check;
    auto refuse = [&](std::string line) {
        check.refusal = std::move(line);
        return check;
    };
    for (const auto& [value, key] : {std::pair{&options.shortVersion, "CFBundleShortVersionString"},
                                     std::pair{&options.bundleVersion, "CFBundleVersion"}})
        if (*value && (value->value().empty() || hasControlCharacters(value->value())))
            return refuse(std::string("The version for ") + key + " is empty or holds control characters: "
                          "give it as text, such as 2.0.1.");
    if (options.minimumOSVersion && !isVersionText(*options.minimumOSVersion))
        return refuse("The minimum system version " + quoted(*options.minimumOSVersion) +
                      " is not a version: give numbers separated by periods, such as 14.0.");

    std::vector<std::string> notices;
    if (auto refusal = resolveRemovals(options, app, check.plan, notices)) return refuse(*refusal);
    std::vector<std::string> applications;  // nested: what they hold runs on their own system
    for (const auto& bundle : nestedBundles(app)) {
        if (isBelowAny(bundle, check.plan.removedBundles)) continue;
        check.plan.versionBundles.push_back(bundle);
        if (path::toLower(path::pathExtension(bundle)) == "app") applications.push_back(bundle);
        else if (!isBelowAny(bundle, applications)) check.plan.systemBundles.push_back(bundle);
    }
    if (options.iconPath)
        if (auto refusal = planIcons(options, app, check.plan)) return refuse(*refusal);
    if (auto refusal = planLibraries(options, app, check.plan)) return refuse(*refusal);
    check.plan.notices = std::move(notices);
    return check;
}

OptionsOutcome editInfoPlists(const ResignOptions& options, const OptionsPlan& plan, const std::string& app,
                              plist::Dict& appInfo) {
    OptionsOutcome outcome;
    std::vector<std::pair<std::string, plist::Value>> nested;  // relative path, its Info.plist
    auto nestedInfo = [&](const std::string& bundle) -> plist::Dict* {
        for (auto& [relative, info] : nested)
            if (relative == bundle) return info.asDict();
        auto info = readInfo(path::appendingPathComponent(app, bundle));
        if (!info) return nullptr;
        nested.emplace_back(bundle, std::move(*info));
        return nested.back().second.asDict();
    };
    // One key in the application and the nested bundles given; the bundles
    // without a readable Info.plist are not signed code to keep in step.
    auto setEverywhere = [&](const char* key, const std::string& value, const std::vector<std::string>& bundles) {
        appInfo[key] = value;
        std::vector<std::string> touched;
        for (const auto& bundle : bundles)
            if (plist::Dict* info = nestedInfo(bundle)) {
                (*info)[key] = value;
                touched.push_back(bundle);
            }
        outcome.lines.push_back({std::string(key) + " set to " + value + " in the application" + alsoIn(touched)});
    };
    if (options.shortVersion) setEverywhere("CFBundleShortVersionString", *options.shortVersion, plan.versionBundles);
    if (options.bundleVersion) setEverywhere("CFBundleVersion", *options.bundleVersion, plan.versionBundles);
    if (options.minimumOSVersion) setEverywhere("MinimumOSVersion", *options.minimumOSVersion, plan.systemBundles);
    if (options.removeSupportedDevices) {
        if (appInfo.erase("UISupportedDevices"))
            outcome.lines.push_back({"UISupportedDevices removed: the application installs on any device of its family"});
        else
            outcome.lines.push_back({"The application's Info.plist has no UISupportedDevices: none removed", false});
    }
    if (options.deviceFamily) {
        plist::Array family;
        const char* shown = "iPhone and iPad (1, 2)";
        switch (*options.deviceFamily) {
            case DeviceFamily::iphone: family = {1}; shown = "iPhone (1)"; break;
            case DeviceFamily::ipad: family = {2}; shown = "iPad (2)"; break;
            case DeviceFamily::both: family = {1, 2}; break;
        }
        appInfo["UIDeviceFamily"] = family;
        outcome.lines.push_back({std::string("UIDeviceFamily set to ") + shown});
    }
    if (options.fileSharing) {
        appInfo["UIFileSharingEnabled"] = true;
        appInfo["LSSupportsOpeningDocumentsInPlace"] = true;
        outcome.lines.push_back({"File sharing turned on: UIFileSharingEnabled and LSSupportsOpeningDocumentsInPlace set to true"});
    }
    for (const auto& [relative, info] : nested) {
        if (!fs::writeFileAtomically(infoPath(path::appendingPathComponent(app, relative)), plist::toXml(info))) {
            outcome.error = "The Info.plist of the nested bundle " + quoted(relative) +
                            " could not be rewritten. Please try again.";
            outcome.lines.clear();
            return outcome;
        }
    }
    return outcome;
}

OptionsOutcome changeFiles(const ResignOptions& options, const OptionsPlan& plan, const std::string& app) {
    OptionsOutcome outcome;
    auto fail = [&](std::string line) {
        outcome.error = std::move(line);
        return outcome;
    };
    // NOTE: keep in step with the checks, which skip these bundles (QFProvisioningChecks.cpp).
    for (const auto& bundle : plan.removedBundles) {
        const std::string full = path::appendingPathComponent(app, bundle);
        fs::removeItem(full);
        if (fs::fileExists(full) || fs::isSymlink(full))
            return fail("The nested bundle " + quoted(bundle) + " could not be removed. Please try again.");
        const std::string folder = path::deletingLastPathComponent(bundle);
        const std::string kind = bundle == kWatchFolder ? "the watch application folder "
                                 : path::toLower(path::pathExtension(bundle)) == "appex" ? "the extension "
                                                                                         : "the nested application ";
        outcome.lines.push_back({"Removed " + kind + bundle + ": it is not signed and needs no profile"});
        // A folder of extensions left empty goes with them.
        if (!folder.empty() && fs::contentsOfDirectory(path::appendingPathComponent(app, folder)).empty())
            fs::removeItem(path::appendingPathComponent(app, folder));
    }
    for (const auto& notice : plan.notices) outcome.lines.push_back({notice, false});

    if (options.iconPath && !plan.icons.empty()) {
        std::string list;
        for (const auto& icon : plan.icons) {
            auto png = scaledPng(*options.iconPath, icon.width, icon.height);
            if (!png || !fs::writeFileAtomically(path::appendingPathComponent(app, icon.relativePath), *png))
                return fail("The icon file " + quoted(icon.relativePath) + " could not be replaced" +
                            (png ? std::string() : ": " + png.text()) + ". Please try again.");
            list += (list.empty() ? "" : ", ") + icon.relativePath + " (" + std::to_string(icon.width) + "x" +
                    std::to_string(icon.height) + ")";
        }
        outcome.lines.push_back({"Icon replaced by " + path::lastPathComponent(*options.iconPath) +
                                 ", scaled to each file's size: " + list});
        if (plan.assetCatalog)
            outcome.lines.push_back({"Assets.car is left as it is: an icon compiled into it stays the old one", false});
    }

    OptionsOutcome libraries = changeLibraries(plan, app);
    outcome.lines.insert(outcome.lines.end(), libraries.lines.begin(), libraries.lines.end());
    outcome.error = libraries.error;
    return outcome;
}

}  // namespace engine

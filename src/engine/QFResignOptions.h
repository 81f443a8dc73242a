#pragma once
// The changes a user may ask of a re-sign besides the new identity: the
// versions, the minimum system, the devices, file sharing, which nested
// bundles go, a new icon, and the libraries the executables load. Every one
// is off by default, and a run with all of them off writes exactly what it
// wrote before they existed.
//
// Everything is worked out and checked before the run changes anything
// (checkOptions): what cannot be done is refused then, with a line that says
// why. The run carries the plan out in two places: the property lists in the
// Info.plist stage (editInfoPlists), the files right after it (changeFiles).
// Each change made is one line, logged and listed in the order made.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist.h"

namespace engine {

enum class DeviceFamily { iphone, ipad, both };

struct ResignOptions {
    std::optional<std::string> shortVersion;      // CFBundleShortVersionString, application and extensions
    std::optional<std::string> bundleVersion;     // CFBundleVersion, application and extensions
    std::optional<std::string> minimumOSVersion;  // MinimumOSVersion, application and its own extensions
    bool removeSupportedDevices = false;          // UISupportedDevices goes
    std::optional<DeviceFamily> deviceFamily;     // UIDeviceFamily
    bool fileSharing = false;                     // UIFileSharingEnabled, LSSupportsOpeningDocumentsInPlace
    bool removeExtensions = false;                // every bundle in PlugIns and Extensions
    bool removeWatchApp = false;                  // the Watch folder
    std::vector<std::string> removeBundles;       // nested bundles, by name or path below the application
    std::optional<std::string> iconPath;          // a PNG (or any image the image library reads)
    std::vector<std::string> injectLibraries;     // dynamic library files, copied into Frameworks
    bool injectWeak = false;                      // LC_LOAD_WEAK_DYLIB rather than LC_LOAD_DYLIB
    bool injectIntoExtensions = false;            // the application's extensions load them too
    std::vector<std::string> removeLibraries;     // by file name or by the path a load command names

    // How many of the options are on (each removal and library counts).
    size_t count() const;
    bool empty() const { return count() == 0; }
};

// "14", "14.0", "15.4.1": one to three numbers separated by periods.
bool isVersionText(const std::string& text);
// "iphone", "ipad", "both"; nothing for any other text.
std::optional<DeviceFamily> deviceFamilyNamed(const std::string& name);
const char* deviceFamilyName(DeviceFamily family);

// The nested applications and extensions of an application, by their paths
// below it, parents before what they hold: what may be removed.
std::vector<std::string> nestedBundles(const std::string& appPath);

// One icon file that the new icon replaces, and its size in pixels.
struct IconFile {
    std::string relativePath;
    uint32_t width = 0;
    uint32_t height = 0;
};

// One library to copy into the application's Frameworks folder.
struct InjectedLibrary {
    std::string source;  // the file given
    std::string name;    // its file name, kept in Frameworks
};

// What one executable's load commands get.
struct ExecutableEdit {
    std::string relativePath;  // below the application
    struct Load {
        std::string path;  // as the command names it: @rpath/NAME or @executable_path/.../NAME
        uint32_t command = 0;
        uint32_t currentVersion = 0;
        uint32_t compatibilityVersion = 0;
        std::string library;  // the injected library's name
    };
    std::vector<Load> add;
    std::vector<std::string> alreadyLoaded;  // injected libraries it loads from an earlier run
    std::vector<std::string> remove;         // paths as its load commands name them
};

struct OptionsPlan {
    std::vector<std::string> removedBundles;  // below the application; nothing below them is checked or signed
    std::vector<std::string> versionBundles;  // nested bundles whose versions follow the application's
    std::vector<std::string> systemBundles;   // nested bundles whose minimum system follows the application's
    std::vector<IconFile> icons;
    bool assetCatalog = false;  // the application has an Assets.car
    std::vector<InjectedLibrary> libraries;
    std::vector<std::string> libraryFiles;  // in Frameworks, no longer loaded once the commands go
    std::vector<ExecutableEdit> executables;
    std::vector<std::string> notices;  // what was asked but found nothing to change
};

struct OptionsCheck {
    std::optional<std::string> refusal;  // the line to show; nothing when the options can be carried out
    OptionsPlan plan;
};

// Checks the options against the application as it is now and plans them.
// Reads only; writes nothing.
OptionsCheck checkOptions(const ResignOptions& options, const std::string& appPath);

struct OptionsOutcome {
    struct Line {
        std::string text;
        bool change = true;  // false for a notice: something left as it was, and why
    };
    std::optional<std::string> error;  // the line to show when a change could not be made
    std::vector<Line> lines;           // in order; up to the failure when there is one
};

// In the Info.plist stage: sets the application's keys in appInfo (which
// the stage writes) and rewrites the Info.plist of the nested bundles that
// follow it.
OptionsOutcome editInfoPlists(const ResignOptions& options, const OptionsPlan& plan, const std::string& appPath,
                              platform::plist::Dict& appInfo);

// Right after the Info.plist stage: removes the nested bundles, replaces the
// icon files, then removes and injects the libraries.
OptionsOutcome changeFiles(const ResignOptions& options, const OptionsPlan& plan, const std::string& appPath);

}  // namespace engine

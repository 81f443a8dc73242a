#pragma once
// The window's Options section: the changes a re-sign makes besides the new
// identity, as the user sets them. The section only holds what was typed,
// ticked and picked; the controller turns it into the engine's options
// (ViewController::resignOptions) and owns the file pickers.
#include <string>
#include <vector>

namespace ui {

// What the section holds. An empty text leaves that value as the package
// has it.
struct OptionsValues {
    std::string shortVersion;      // CFBundleShortVersionString
    std::string bundleVersion;     // CFBundleVersion (the build)
    std::string minimumOSVersion;  // MinimumOSVersion
    std::string deviceFamily;      // "", "iphone", "ipad" or "both"
    bool removeSupportedDevices = false;
    bool fileSharing = false;
    bool removeExtensions = false;
    bool removeWatchApp = false;
    std::vector<std::string> removeBundles;  // ticked nested bundles, by their paths below the application
    std::string iconPath;
    std::vector<std::string> injectLibraries;
    bool injectWeak = false;
    bool injectIntoExtensions = false;
    std::string removeLibraries;  // library names, separated by commas

    bool operator==(const OptionsValues&) const = default;
};

class OptionsSection {
public:
    virtual ~OptionsSection() = default;
    virtual OptionsValues values() const = 0;
    virtual void setValues(const OptionsValues& values) = 0;
    // The package's nested bundles, offered to tick for removal; a tick on a
    // bundle no longer listed goes with it.
    virtual void setNestedBundles(const std::vector<std::string>& bundles) = 0;
    virtual void setEnabled(bool enabled) = 0;
};

}  // namespace ui

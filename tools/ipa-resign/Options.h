#pragma once
// The command line of ipa-resign: what it names, and whether it is complete.
// Every option is one row of the table in Options.cpp (names, where its value
// goes, its lines of the usage text); a new option is a field here and a row there.
#include <optional>
#include <string>
#include <vector>

#include "engine/QFResignOptions.h"

namespace ipa_resign {

struct Options {
    std::vector<std::string> packages;  // --ipa, repeatable, and every plain argument, in the order given
    std::vector<std::string> profiles;  // --profile, repeatable; the first is the application's
    std::optional<std::string> identity, p12, p12PasswordEnv, p12PasswordFile, name, bundleId, output;
    std::optional<std::string> entitlements;  // a property list to sign the application with
    bool profileBundleId = false;
    bool overwrite = false;
    bool keepWork = false;
    bool printUsage = false;
    bool json = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    // The changes besides the new identity; see engine/QFResignOptions.h.
    std::optional<std::string> shortVersion, bundleVersion, minOS, deviceFamily, icon;
    std::vector<std::string> removeBundles, inject, removeLibraries;
    bool removeSupportedDevices = false, fileSharing = false, removeExtensions = false, removeWatchApp = false,
         injectWeak = false, injectIntoExtensions = false;
    bool listDevices = false;                // --list-devices
    bool install = false;                    // --install [UDID]
    std::optional<std::string> installUdid;  // its UDID; none: the only device connected
};

// The text of --help.
std::string usage();

// An error text, or nothing when the command line is well formed.
std::optional<std::string> parse(int argc, const char* const* argv, Options& options);
// An error text, or nothing when the options name everything a run needs.
std::optional<std::string> checkComplete(const Options& options);
// The package changes asked for, for the engine; an error text when a value
// is not one the option takes.
std::optional<std::string> packageChanges(const Options& options, engine::ResignOptions& changes);

}  // namespace ipa_resign

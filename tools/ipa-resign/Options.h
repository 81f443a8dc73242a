#pragma once
// The command line of ipa-resign: what it names, and whether it is complete.
#include <optional>
#include <string>
#include <vector>

namespace ipa_resign {

struct Options {
    std::vector<std::string> packages;  // --ipa, repeatable, and every plain argument
    std::vector<std::string> profiles;  // --profile, repeatable; the first is the application's
    std::optional<std::string> identity, p12, p12PasswordEnv, p12PasswordFile, name, bundleId, output;
    bool profileBundleId = false;
    bool keepWork = false;
    bool printUsage = false;
    bool json = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool listDevices = false;                // --list-devices
    bool install = false;                    // --install [UDID]
    std::optional<std::string> installUdid;  // its UDID; none: the only device connected
};

extern const char* const kUsage;

// An error text, or nothing when the command line is well formed.
std::optional<std::string> parse(int argc, char** argv, Options& options);
// An error text, or nothing when the options name everything a run needs.
std::optional<std::string> checkComplete(const Options& options);

}  // namespace ipa_resign

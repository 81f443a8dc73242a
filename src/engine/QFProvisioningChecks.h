#pragma once
// What a device checks before it installs a re-signed package, checked
// before the run changes anything: the profile against the signing
// certificate and the clock, the bundle identifier against the profile, the
// executables for App Store encryption, and a profile for every nested
// application and extension. Reads only property lists and the headers and
// load commands of Mach-O files; writes nothing.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QFProvisioningProfile;

namespace engine {

using ProfileList = std::vector<std::shared_ptr<QFProvisioningProfile>>;

// One nested application or extension and what the run gives it.
struct NestedBundle {
    std::string path;          // absolute
    std::string relativePath;  // below the application, for messages
    std::string oldIdentifier;
    std::string newIdentifier;
    std::shared_ptr<QFProvisioningProfile> profile;
    std::string source;  // how the profile was found, for the log
};

struct ProvisioningPlan {
    std::string oldIdentifier;  // the application's, before the run ("" when unknown)
    std::optional<std::string> newIdentifier;
    std::vector<NestedBundle> nested;  // in signing order
};

// The device the package is to be installed on, as it told of itself.
struct TargetDevice {
    std::string udid;
    std::string name;
    std::string iosVersion;    // "17.1.2"; empty when not told
    std::string architecture;  // "arm64e" runs arm64 and arm64e code, anything else arm64 only
};

struct CheckInput {
    std::shared_ptr<QFProvisioningProfile> profile;  // the application's
    std::string identity;                            // the identity's name, for messages
    std::string certificatePem;                      // its certificate, as the security command prints it
    std::optional<std::string> bundleIdentifier;     // to be written
    std::string appPath;
    ProfileList givenProfiles;                    // further profiles the user gave, for nested bundles
    std::function<ProfileList()> installedProfiles;  // asked only when a nested bundle needs one
    std::optional<std::string> chosenEntitlements;   // a file to sign the application with, checked against the profile
    // Nested bundles the run removes (below the application): nothing in
    // them is checked, and they need no profile.
    std::vector<std::string> removedBundles;
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
    // When set, also what that device checks: its UDID in every profile, its
    // iOS version against every bundle's MinimumOSVersion, and code it can run.
    std::optional<TargetDevice> device;
};

struct CheckResult {
    std::optional<std::string> refusal;  // the one line to show; nothing when the run may go on
    ProvisioningPlan plan;
};

CheckResult checkProvisioning(const CheckInput& input);

// Whether a profile can be used with a signing certificate (PEM, as the
// security command prints it) at a moment, in the order the checks above
// judge it: the first fault, or usable.
enum class ProfileUse { usable, unreadable, certificateNotListed, otherTeam, expired, notYetValid, noApplicationIdentifier };
ProfileUse profileUse(const QFProvisioningProfile& profile, const std::string& certificatePem,
                      std::chrono::system_clock::time_point now);
// The profile's application-identifier entitlement, when it has one.
std::optional<std::string> profileApplicationIdentifier(const QFProvisioningProfile& profile);
// The team a profile was made for ("" when it names none).
std::string profileTeam(const QFProvisioningProfile& profile);

// The parts, for the bench and for direct use.
enum class IdentifierFit { None, Wildcard, Exact };
// How identifier fits an application-identifier "PREFIX.pattern", where a
// pattern ending in "*" matches any identifier that starts with the rest.
IdentifierFit fitsApplicationIdentifier(const std::string& applicationIdentifier, const std::string& identifier);
// A nested bundle's identifier (or one that names its application) after the
// application's identifier changes from oldIdentifier to newIdentifier: the
// old one itself, or the old one and a dot and a suffix, follow it; anything
// else stays.
std::string nestedIdentifier(const std::string& value, const std::string& oldIdentifier,
                             const std::string& newIdentifier);
// Letters, digits, hyphens and periods, no empty part.
bool isValidBundleIdentifier(const std::string& identifier);
// The executable of a bundle (its Info.plist's CFBundleExecutable, else the
// bundle's name), or the file itself for a library.
std::string executableOf(const std::string& item);
// Whether a Mach-O file (thin or fat) carries an encryption command with a
// cryptid other than 0. Reads the headers and load commands only; a file
// that is not Mach-O, or whose headers do not hold together, answers false.
bool isEncryptedMachO(const std::string& path);
// The (cputype, cpusubtype) of every slice of a Mach-O file, thin or fat;
// empty for a file that is not Mach-O or whose headers do not hold together.
std::vector<std::pair<uint32_t, uint32_t>> machOSlices(const std::string& path);
// Whether a profile lets the device install: its UDID in ProvisionedDevices
// (case aside), or ProvisionsAllDevices. App Store profiles let none.
bool profileAllowsDevice(const QFProvisioningProfile& profile, const std::string& udid);
// Dotted version numbers compared part by part ("9.3" < "10.0" == "10").
int compareVersions(const std::string& a, const std::string& b);

}  // namespace engine

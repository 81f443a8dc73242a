#include "engine/QFProvisioningChecks.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>
#include <filesystem>

#include "crypto/Certificate.h"
#include "engine/QFEntitlements.h"
#include "engine/QFSigningList.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/plist.h"
#include "profile/QFProvisioningProfile.h"
#include "engine/QFMachOMagic.h"

namespace fs = platform::fs;
namespace path = platform::path;
namespace plist = platform::plist;

namespace engine {

namespace {

using namespace engine::macho;

// ---- The signing certificate ----------------------------------------------

struct SigningCertificate {
    std::string der;
    std::string team;  // subject OU
};

std::optional<SigningCertificate> certificateFromPem(const std::string& pem) {
    auto ders = crypto::certificatesInPem(pem);
    if (ders.empty()) return std::nullopt;
    auto certificate = crypto::certificateFromDer(ders.front());
    if (!certificate) return std::nullopt;
    SigningCertificate out;
    out.der = std::move(ders.front());
    out.team = crypto::nameEntryText(X509_get_subject_name(certificate->get()), NID_organizationalUnitName);
    return out;
}

// ---- Profiles ---------------------------------------------------------------

std::string label(const QFProvisioningProfile& profile) {
    if (profile.name() && !profile.name()->empty()) return *profile.name();
    return profile.path().value_or("(no file)");
}

std::string inQuotes(const std::string& text) { return "\"" + text + "\""; }

std::string utcText(std::chrono::system_clock::time_point when) {
    std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    if (!gmtime_r(&t, &parts)) return "an unknown date";
    char text[32];
    return std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) ? text : "an unknown date";
}

const plist::Value* entitlementsOf(const QFProvisioningProfile& profile) {
    const auto& dictionary = profile.profileDictionary();
    const plist::Value* entitlements = dictionary ? dictionary->get("Entitlements") : nullptr;
    return entitlements && entitlements->asDict() ? entitlements : nullptr;
}

std::optional<std::string> applicationIdentifierOf(const QFProvisioningProfile& profile) {
    const plist::Value* entitlements = entitlementsOf(profile);
    const plist::Value* value = entitlements ? entitlements->get("application-identifier") : nullptr;
    if (!value || !value->asString() || value->asString()->empty()) return std::nullopt;
    return *value->asString();
}

// The team the profile was made for: its entitlements' team identifier, else
// the first of its "TeamIdentifier" list, else the application-identifier's prefix.
std::string teamOf(const QFProvisioningProfile& profile) {
    const auto& dictionary = profile.profileDictionary();
    return dictionary ? profileTeam(*dictionary) : "";
}

// A file the user chose to sign the application with: readable, and
// nothing in it that the profile does not permit.
std::optional<std::string> chosenFileFault(const std::string& file, const QFProvisioningProfile& profile,
                                           const std::string& identifier) {
    auto bytes = fs::readFile(file);
    auto chosen = bytes ? plist::parse(*bytes) : std::nullopt;
    if (!chosen || !chosen->asDict())
        return "The entitlements file " + inQuotes(file) +
               " cannot be read as a property list dictionary: choose an entitlements file (.plist or .entitlements).";
    EntitlementsInput input;
    input.profile = *entitlementsOf(profile)->asDict();
    input.profileName = label(profile);
    input.team = teamOf(profile);
    input.identifier = identifier;
    return engine::chosenEntitlementsFault(*chosen->asDict(), input, path::lastPathComponent(file));
}

bool listsCertificate(const QFProvisioningProfile& profile, const std::string& der) {
    if (!profile.certificates()) return false;
    for (const auto& value : *profile.certificates())
        if (const plist::Data* data = value.asData(); data && data->bytes == der) return true;
    return false;
}

// Everything a device checks of one profile against the signing certificate
// and the clock; the first fault as the line to show.
// NOTE: keep in step with profileUse below, which answers the same in kinds.
std::optional<std::string> profileFault(const QFProvisioningProfile& profile, const SigningCertificate& certificate,
                                        const std::string& identity, std::chrono::system_clock::time_point now) {
    const std::string name = inQuotes(label(profile));
    if (!profile.profileDictionary())
        return "The profile " + name + " cannot be read as a provisioning profile: choose a valid profile file.";
    if (!listsCertificate(profile, certificate.der))
        return "The profile " + name + " does not list the certificate of " + inQuotes(identity) +
               ": choose a profile made for this certificate.";
    const std::string team = teamOf(profile);
    if (team != certificate.team)
        return "The profile " + name + " is for team " + (team.empty() ? "(none)" : team) + ", but the certificate of " +
               inQuotes(identity) + " is of team " + (certificate.team.empty() ? "(none)" : certificate.team) +
               ": choose a profile of the certificate's team.";
    if (!profile.expirationDate() || *profile.expirationDate() < now)
        return "The profile " + name + " has expired" +
               (profile.expirationDate() ? " (on " + utcText(*profile.expirationDate()) + ")" : std::string()) +
               ": renew it and choose the new one.";
    if (profile.creationDate() && *profile.creationDate() > now)
        return "The profile " + name + " is not valid yet (from " + utcText(*profile.creationDate()) +
               "): check the computer's clock or choose another profile.";
    if (!entitlementsOf(profile))
        return "The profile " + name + " has no entitlements: choose a profile that carries its entitlements.";
    if (!applicationIdentifierOf(profile))
        return "The profile " + name +
               " has no application-identifier in its entitlements: choose a profile made for an application.";
    return std::nullopt;
}

// ---- The device --------------------------------------------------------------

std::string deviceLabel(const TargetDevice& device) {
    if (device.name.empty() || device.name == device.udid) return "the device with UDID " + device.udid;
    return "the device " + inQuotes(device.name) + " (UDID " + device.udid + ")";
}

// Whether the profile lets the device install, as the line to show when not.
std::optional<std::string> deviceFault(const QFProvisioningProfile& profile, const TargetDevice& device) {
    if (profileAllowsDevice(profile, device.udid)) return std::nullopt;
    const auto& dictionary = profile.profileDictionary();
    const std::string who = deviceLabel(device);
    if (dictionary && !dictionary->get("ProvisionedDevices"))
        return "The profile " + inQuotes(label(profile)) + " is an App Store profile, which lets no device install "
               "directly, so " + who + " would refuse the application: choose a development or ad hoc profile that "
               "lists the device.";
    std::string line = who + " is not in the profile " + inQuotes(label(profile)) +
                       ": add the device with UDID " + device.udid +
                       " to your developer account and download the profile again.";
    line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
    return line;
}

// ---- Bundles ----------------------------------------------------------------

std::optional<plist::Value> readPlist(const std::string& file) {
    auto bytes = fs::readFile(file);
    if (!bytes) return std::nullopt;
    return plist::parse(*bytes);
}

std::optional<plist::Value> bundleInfo(const std::string& bundle) {
    for (const char* place : {"Info.plist", "Resources/Info.plist"}) {
        const std::string file = path::appendingPathComponent(bundle, place);
        if (fs::fileExists(file)) return readPlist(file);
    }
    return std::nullopt;
}

std::optional<std::string> stringIn(const std::optional<plist::Value>& info, const char* key) {
    const plist::Value* value = info ? info->get(key) : nullptr;
    if (!value || !value->asString()) return std::nullopt;
    return *value->asString();
}

// The items the signing stage will sign, the application last.
std::vector<std::string> codeItems(const std::string& app) { return signingList(app); }

bool isNestedBundle(const std::string& relativePath) {
    std::string extension = path::toLower(path::pathExtension(relativePath));
    return extension == "app" || extension == "appex";
}

// ---- Mach-O headers ---------------------------------------------------------
// NOTE: keep in step with src/codesign/MachO.h, which owns the signer's view
// of the same format; only what finding the encryption command needs is here.
constexpr uint32_t LC_ENCRYPTION_INFO = 0x21;
constexpr uint32_t LC_ENCRYPTION_INFO_64 = 0x2c;
constexpr uint32_t kMachHeaderSize = 28;
constexpr uint32_t kMachHeader64Size = 32;
constexpr uint32_t kFatHeaderSize = 8;
constexpr uint32_t kFatArchSize = 20;
constexpr uint32_t kFatArch64Size = 32;
constexpr uint32_t kLoadCommandSize = 8;
constexpr uint32_t kCryptIdOffset = 16;              // in encryption_info_command(_64)
constexpr uint32_t kMaxLoadCommandsBytes = 16u << 20;  // far beyond any real file

class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::string& file) : fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~ReadOnlyFile() {
        if (fd >= 0) ::close(fd);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    bool isOpen() const { return fd >= 0; }
    uint64_t size() const {
        off_t end = ::lseek(fd, 0, SEEK_END);
        return end < 0 ? 0 : static_cast<uint64_t>(end);
    }
    bool read(uint64_t offset, void* into, size_t length) const {
        auto* bytes = static_cast<char*>(into);
        while (length > 0) {
            ssize_t got = ::pread(fd, bytes, length, static_cast<off_t>(offset));
            if (got <= 0) return false;
            bytes += got;
            offset += static_cast<uint64_t>(got);
            length -= static_cast<size_t>(got);
        }
        return true;
    }

private:
    int fd;
};

uint32_t word(const unsigned char* p, bool bigEndian) {
    return bigEndian ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                     : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}
uint64_t bigEndian64(const unsigned char* p) { return uint64_t{word(p, true)} << 32 | word(p + 4, true); }

// One thin image at offset within the file, at most size bytes long.
bool sliceEncrypted(const ReadOnlyFile& file, uint64_t offset, uint64_t size) {
    unsigned char header[kMachHeader64Size];
    if (size < kMachHeaderSize || !file.read(offset, header, kMachHeaderSize)) return false;
    const uint32_t magic = word(header, false);
    bool is64 = magic == MH_MAGIC_64 || magic == MH_CIGAM_64;
    bool big = magic == MH_CIGAM || magic == MH_CIGAM_64;
    if (!is64 && magic != MH_MAGIC && magic != MH_CIGAM) return false;
    const uint32_t headerSize = is64 ? kMachHeader64Size : kMachHeaderSize;
    const uint32_t ncmds = word(header + 16, big);
    const uint32_t sizeofcmds = word(header + 20, big);
    if (sizeofcmds > kMaxLoadCommandsBytes || uint64_t{headerSize} + sizeofcmds > size) return false;
    std::string commands(sizeofcmds, '\0');
    if (sizeofcmds && !file.read(offset + headerSize, commands.data(), sizeofcmds)) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(commands.data());
    uint64_t at = 0;
    for (uint32_t i = 0; i < ncmds && at + kLoadCommandSize <= sizeofcmds; ++i) {
        const uint32_t cmd = word(p + at, big);
        const uint32_t cmdsize = word(p + at + 4, big);
        if (cmdsize < kLoadCommandSize || cmdsize > sizeofcmds - at) return false;
        if ((cmd == LC_ENCRYPTION_INFO || cmd == LC_ENCRYPTION_INFO_64) && cmdsize >= kCryptIdOffset + 4 &&
            word(p + at + kCryptIdOffset, big) != 0)
            return true;
        at += cmdsize;
    }
    return false;
}

}  // namespace

std::string executableOf(const std::string& item) {
    if (!fs::isDirectory(item)) return item;
    std::string name = path::deletingPathExtension(path::lastPathComponent(item));
    if (auto named = stringIn(bundleInfo(item), "CFBundleExecutable"); named && !named->empty() &&
                                                                         named->find('/') == std::string::npos &&
                                                                         *named != "." && *named != "..")
        name = *named;
    return path::appendingPathComponent(item, name);
}

namespace {

// What the device checks of the profiles, the bundles' lowest iOS versions
// and the code's processors; the first fault as the line to show.
std::optional<std::string> deviceVerdict(const TargetDevice& device,
                                         const std::shared_ptr<QFProvisioningProfile>& profile,
                                         const ProvisioningPlan& plan, const std::string& app,
                                         const std::optional<plist::Value>& appInfo,
                                         const std::vector<std::string>& items) {
    const std::string who = deviceLabel(device);
    if (auto fault = deviceFault(*profile, device)) return fault;
    for (const auto& bundle : plan.nested)
        if (bundle.profile && bundle.profile != profile)
            if (auto fault = deviceFault(*bundle.profile, device)) return fault;

    if (!device.iosVersion.empty()) {
        auto tooNew = [&](const std::optional<plist::Value>& info, const std::string& shown) -> std::optional<std::string> {
            auto minimum = stringIn(info, "MinimumOSVersion");
            if (!minimum || minimum->empty() || compareVersions(device.iosVersion, *minimum) >= 0) return std::nullopt;
            std::string line = who + " runs iOS " + device.iosVersion + ", but " + inQuotes(shown) + " needs iOS " +
                               *minimum + " or later (its MinimumOSVersion): update the device to iOS " + *minimum +
                               " or later, or install on another device.";
            line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
            return line;
        };
        if (auto fault = tooNew(appInfo, path::lastPathComponent(app))) return fault;
        for (const auto& bundle : plan.nested)
            if (auto fault = tooNew(bundleInfo(bundle.path), bundle.relativePath)) return fault;
    }

    const bool arm64e = device.architecture == "arm64e";
    for (const auto& item : items) {
        const std::string executable = executableOf(item);
        const auto slices = machOSlices(executable);
        if (slices.empty()) continue;
        bool runs = false;
        for (const auto& [type, subtype] : slices)
            if (type == CPU_TYPE_ARM64 && (arm64e || (subtype & CPU_SUBTYPE_MASK) != CPU_SUBTYPE_ARM64E)) runs = true;
        if (runs) continue;
        std::string shown = executable.size() > app.size() ? executable.substr(app.size() + 1) : executable;
        std::string line = who + " cannot run " + inQuotes(shown) + ": it holds no " +
                           (arm64e ? "arm64 or arm64e" : "arm64") +
                           " code for the device's processor. Rebuild the application with an arm64 slice.";
        line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
        return line;
    }
    return std::nullopt;
}

}  // namespace

bool isEncryptedMachO(const std::string& file) {
    ReadOnlyFile in(file);
    if (!in.isOpen()) return false;
    const uint64_t size = in.size();
    unsigned char fat[kFatHeaderSize];
    if (size < kFatHeaderSize || !in.read(0, fat, kFatHeaderSize)) return false;
    const uint32_t magic = word(fat, true);
    if (magic != FAT_MAGIC && magic != FAT_MAGIC_64) return sliceEncrypted(in, 0, size);
    const uint32_t count = word(fat + 4, true);
    if (count > kMaxFatArchs) return false;  // also how a Java class file begins
    const uint32_t entrySize = magic == FAT_MAGIC_64 ? kFatArch64Size : kFatArchSize;
    std::string table(size_t{count} * entrySize, '\0');
    if (count && !in.read(kFatHeaderSize, table.data(), table.size())) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const auto* arch = reinterpret_cast<const unsigned char*>(table.data()) + size_t{i} * entrySize;
        uint64_t offset = magic == FAT_MAGIC_64 ? bigEndian64(arch + 8) : word(arch + 8, true);
        uint64_t length = magic == FAT_MAGIC_64 ? bigEndian64(arch + 16) : word(arch + 12, true);
        if (offset > size || length > size - offset) continue;
        if (sliceEncrypted(in, offset, length)) return true;
    }
    return false;
}

std::vector<std::pair<uint32_t, uint32_t>> machOSlices(const std::string& file) {
    std::vector<std::pair<uint32_t, uint32_t>> slices;
    ReadOnlyFile in(file);
    if (!in.isOpen()) return slices;
    const uint64_t size = in.size();
    unsigned char head[kMachHeaderSize];
    if (size < kFatHeaderSize || !in.read(0, head, std::min<uint64_t>(size, kMachHeaderSize))) return slices;
    const uint32_t magic = word(head, true);
    if (magic == FAT_MAGIC || magic == FAT_MAGIC_64) {
        const uint32_t count = word(head + 4, true);
        if (count > kMaxFatArchs) return slices;
        const uint32_t entrySize = magic == FAT_MAGIC_64 ? kFatArch64Size : kFatArchSize;
        std::string table(size_t{count} * entrySize, '\0');
        if (count && !in.read(kFatHeaderSize, table.data(), table.size())) return slices;
        for (uint32_t i = 0; i < count; ++i) {
            const auto* arch = reinterpret_cast<const unsigned char*>(table.data()) + size_t{i} * entrySize;
            slices.emplace_back(word(arch, true), word(arch + 4, true));
        }
        return slices;
    }
    if (size < kMachHeaderSize) return slices;
    const uint32_t thin = word(head, false);
    if (thin != MH_MAGIC && thin != MH_MAGIC_64 && thin != MH_CIGAM && thin != MH_CIGAM_64) return slices;
    const bool big = thin == MH_CIGAM || thin == MH_CIGAM_64;
    slices.emplace_back(word(head + 4, big), word(head + 8, big));
    return slices;
}

bool profileAllowsDevice(const QFProvisioningProfile& profile, const std::string& udid) {
    const auto& dictionary = profile.profileDictionary();
    if (!dictionary) return false;
    if (const plist::Value* all = dictionary->get("ProvisionsAllDevices"); all && all->asBool() && *all->asBool())
        return true;
    const plist::Value* devices = dictionary->get("ProvisionedDevices");
    if (!devices || !devices->asArray()) return false;
    for (const auto& entry : *devices->asArray())
        if (const std::string* listed = entry.asString(); listed && path::toLower(*listed) == path::toLower(udid))
            return true;
    return false;
}

int compareVersions(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        uint64_t x = 0, y = 0;
        for (; i < a.size() && a[i] != '.'; ++i)
            if (a[i] >= '0' && a[i] <= '9' && x < (1ull << 40)) x = x * 10 + static_cast<uint64_t>(a[i] - '0');
        for (; j < b.size() && b[j] != '.'; ++j)
            if (b[j] >= '0' && b[j] <= '9' && y < (1ull << 40)) y = y * 10 + static_cast<uint64_t>(b[j] - '0');
        if (x != y) return x < y ? -1 : 1;
        if (i < a.size()) ++i;
        if (j < b.size()) ++j;
    }
    return 0;
}

IdentifierFit fitsApplicationIdentifier(const std::string& applicationIdentifier, const std::string& identifier) {
    auto dot = applicationIdentifier.find('.');
    if (dot == std::string::npos || identifier.empty()) return IdentifierFit::None;
    const std::string pattern = applicationIdentifier.substr(dot + 1);
    if (pattern == identifier) return IdentifierFit::Exact;
    if (!pattern.empty() && pattern.back() == '*' &&
        identifier.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0 &&
        identifier.size() >= pattern.size() - 1)
        return IdentifierFit::Wildcard;
    return IdentifierFit::None;
}

bool isValidBundleIdentifier(const std::string& identifier) {
    if (identifier.empty() || identifier.front() == '.' || identifier.back() == '.') return false;
    char previous = 0;
    for (char c : identifier) {
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!allowed || (c == '.' && previous == '.')) return false;
        previous = c;
    }
    return true;
}

std::string nestedIdentifier(const std::string& value, const std::string& oldIdentifier,
                             const std::string& newIdentifier) {
    if (oldIdentifier.empty() || newIdentifier.empty()) return value;
    if (value == oldIdentifier) return newIdentifier;
    if (value.size() > oldIdentifier.size() && value.compare(0, oldIdentifier.size(), oldIdentifier) == 0 &&
        value[oldIdentifier.size()] == '.')
        return newIdentifier + value.substr(oldIdentifier.size());
    return value;
}

CheckResult checkProvisioning(const CheckInput& input) {
    CheckResult result;
    auto refuse = [&](std::string line) {
        result.refusal = std::move(line);
        return result;
    };
    if (!input.profile) return refuse("No provisioning profile was given: choose one.");
    const QFProvisioningProfile& profile = *input.profile;
    const std::string name = inQuotes(label(profile));

    auto certificate = certificateFromPem(input.certificatePem);
    if (!certificate)
        return refuse("The certificate of the signing identity " + inQuotes(input.identity) +
                      " was not found in the keychain: import the identity, or choose another.");
    if (auto fault = profileFault(profile, *certificate, input.identity, input.now)) return refuse(*fault);
    const std::string applicationIdentifier = *applicationIdentifierOf(profile);

    // The identifier to be written. An absent one is reported by the
    // Info.plist stage with its own message.
    if (input.bundleIdentifier) {
        const std::string& identifier = *input.bundleIdentifier;
        if (identifier.find('*') != std::string::npos)
            return refuse("The profile " + name + " is a wildcard profile (" + applicationIdentifier +
                          "): it names no bundle identifier to write. Type the bundle identifier to use instead.");
        if (!isValidBundleIdentifier(identifier))
            return refuse("The bundle identifier " + inQuotes(identifier) +
                          " is not valid: use only letters, digits, hyphens and periods, as in com.example.app.");
        if (fitsApplicationIdentifier(applicationIdentifier, identifier) == IdentifierFit::None)
            return refuse("The bundle identifier " + inQuotes(identifier) + " does not fit the profile " + name +
                          ", which is for " + applicationIdentifier +
                          ": choose a profile for this identifier, or type one that the profile allows.");
    }

    const std::string& app = input.appPath;
    if (app.empty() || !fs::isDirectory(app)) return result;  // the signing stage reports a missing application
    const std::optional<plist::Value> appInfo = bundleInfo(app);
    result.plan.oldIdentifier = stringIn(appInfo, "CFBundleIdentifier").value_or("");
    result.plan.newIdentifier = input.bundleIdentifier;

    // Every executable that is to be signed.
    std::vector<std::string> items = codeItems(app);
    // NOTE: keep in step with the removal of nested bundles (QFResignOptions.cpp).
    std::erase_if(items, [&](const std::string& item) {
        for (const auto& removed : input.removedBundles) {
            const std::string gone = path::appendingPathComponent(app, removed);
            if (item == gone || isBelow(item, gone)) return true;
        }
        return false;
    });
    for (const auto& item : items) {
        const std::string executable = executableOf(item);
        if (!isEncryptedMachO(executable)) continue;
        std::string shown = executable.size() > app.size() ? executable.substr(app.size() + 1) : executable;
        return refuse("The executable " + inQuotes(shown) +
                      " is encrypted: App Store encrypted code cannot run re-signed. Use a package exported "
                      "without App Store encryption (a development or ad hoc export).");
    }

    // Nested applications and extensions, each with its own profile.
    const std::string newApp = input.bundleIdentifier.value_or(result.plan.oldIdentifier);
    std::vector<bool> givenUsed(input.givenProfiles.size(), false);
    std::optional<ProfileList> installed;
    for (const auto& item : items) {
        if (item == app) continue;
        std::string relative = item.substr(app.size() + 1);
        if (!isNestedBundle(relative)) continue;
        NestedBundle bundle;
        bundle.path = item;
        bundle.relativePath = relative;
        auto identifier = stringIn(bundleInfo(item), "CFBundleIdentifier");
        if (!identifier || identifier->empty())
            return refuse("The nested bundle " + inQuotes(relative) +
                          " has no CFBundleIdentifier in its Info.plist: the package is damaged; rebuild it.");
        bundle.oldIdentifier = *identifier;
        bundle.newIdentifier = nestedIdentifier(*identifier, result.plan.oldIdentifier, newApp);
        if (!isValidBundleIdentifier(bundle.newIdentifier))
            return refuse("The nested bundle " + inQuotes(relative) + " would get the bundle identifier " +
                          inQuotes(bundle.newIdentifier) + ", which is not valid: use only letters, digits, hyphens "
                          "and periods in the application's identifier.");

        // 1. A profile given for it: an exact fit before a wildcard one.
        std::optional<size_t> pick;
        for (IdentifierFit wanted : {IdentifierFit::Exact, IdentifierFit::Wildcard}) {
            for (size_t i = 0; i < input.givenProfiles.size() && !pick; ++i) {
                const auto& given = input.givenProfiles[i];
                auto id = given ? applicationIdentifierOf(*given) : std::nullopt;
                if (id && fitsApplicationIdentifier(*id, bundle.newIdentifier) == wanted) pick = i;
            }
            if (pick) break;
        }
        if (pick) {
            givenUsed[*pick] = true;
            bundle.profile = input.givenProfiles[*pick];
            if (auto fault = profileFault(*bundle.profile, *certificate, input.identity, input.now))
                return refuse(*fault);
            bundle.source = "given for it";
        }
        // 2. An installed one made exactly for it.
        if (!bundle.profile && input.installedProfiles) {
            if (!installed) installed = input.installedProfiles();
            const std::string wanted = certificate->team + "." + bundle.newIdentifier;
            for (const auto& candidate : *installed) {
                if (!candidate || applicationIdentifierOf(*candidate) != wanted) continue;
                if (profileFault(*candidate, *certificate, input.identity, input.now)) continue;
                bundle.profile = candidate;
                bundle.source = "installed";
                break;
            }
        }
        // 3. The chosen one, when it is a wildcard that fits.
        if (!bundle.profile &&
            fitsApplicationIdentifier(applicationIdentifier, bundle.newIdentifier) == IdentifierFit::Wildcard) {
            bundle.profile = input.profile;
            bundle.source = "the chosen wildcard profile";
        }
        if (!bundle.profile)
            return refuse("The nested bundle " + inQuotes(relative) + " needs a provisioning profile for " +
                          certificate->team + "." + bundle.newIdentifier +
                          ", and none was given or is installed: install a profile for it, "
                          "or choose a wildcard profile that covers it.");
        result.plan.nested.push_back(std::move(bundle));
    }
    if (input.chosenEntitlements)
        if (auto fault = chosenFileFault(*input.chosenEntitlements, profile, newApp)) return refuse(*fault);
    for (size_t i = 0; i < givenUsed.size(); ++i) {
        if (givenUsed[i] || !input.givenProfiles[i]) continue;
        const auto& unused = *input.givenProfiles[i];
        return refuse("The profile " + inQuotes(label(unused)) + " (for " +
                      applicationIdentifierOf(unused).value_or("no application-identifier") +
                      ") fits none of the application's nested bundles: leave it out, or give the profile the "
                      "nested bundle needs.");
    }
    if (input.device)
        if (auto fault = deviceVerdict(*input.device, input.profile, result.plan, app, appInfo, items)) return refuse(*fault);
    return result;
}

ProfileUse profileUse(const QFProvisioningProfile& profile, const std::string& certificatePem,
                      std::chrono::system_clock::time_point now) {
    // NOTE: keep in step with profileFault, the same checks in the same order.
    if (!profile.profileDictionary()) return ProfileUse::unreadable;
    auto certificate = certificateFromPem(certificatePem);
    if (!certificate || !listsCertificate(profile, certificate->der)) return ProfileUse::certificateNotListed;
    if (teamOf(profile) != certificate->team) return ProfileUse::otherTeam;
    if (!profile.expirationDate() || *profile.expirationDate() < now) return ProfileUse::expired;
    if (profile.creationDate() && *profile.creationDate() > now) return ProfileUse::notYetValid;
    if (!applicationIdentifierOf(profile)) return ProfileUse::noApplicationIdentifier;
    return ProfileUse::usable;
}

std::optional<std::string> profileApplicationIdentifier(const QFProvisioningProfile& profile) {
    return applicationIdentifierOf(profile);
}

std::string profileTeam(const QFProvisioningProfile& profile) { return teamOf(profile); }

}  // namespace engine

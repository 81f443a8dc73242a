#pragma once
// What the double stands for: one or more devices behind one mux socket, each
// with its lockdownd, its media folder (AFC) and its installed applications.
// One lock guards everything that connections share.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "PairRecord.h"
#include "Wire.h"
#include "platform/plist.h"

namespace devdouble {

enum class Refusal { None, NotPaired, NotInProfile, InvalidSignature };

struct Options {
    std::string socketPath;
    std::vector<std::string> udids;  // one device each
    std::vector<std::string> names;  // by position; the last one for the rest
    std::string iosVersion = "17.5";
    Refusal refusal = Refusal::None;
    std::string keepDir;
};

struct Device {
    uint32_t muxId = 0;  // the mux daemon's DeviceID
    std::string udid, name, productVersion, buildVersion, wifiAddress;
    uint64_t chipId = 0;

    // Under Double::lock.
    std::map<std::string, std::string> files;  // media-relative path -> bytes
    std::set<std::string> folders;             // media-relative paths; "" is the media folder
    std::map<std::string, platform::plist::Dict> apps;  // bundle identifier -> Info.plist and attributes
    std::vector<std::string> notifications;    // posted so far, in order
};

struct Double {
    Options options;
    PairRecord pairing;
    std::vector<Device> devices;

    // Whether the devices are on the cable: SIGUSR1 unplugs them all, SIGUSR2
    // plugs them in again; listeners hear Detached and Attached.
    static inline std::atomic<bool> attached{true};

    std::mutex lock;
    std::map<uint16_t, std::pair<size_t, std::string>> servicePorts;  // port -> (device index, service)
    uint16_t nextPort = 49152;
    std::map<std::string, platform::plist::Dict> savedRecords;  // udid -> record a host saved

    Device* deviceByMuxId(uint64_t id);
    // Every connection on the mux socket starts here; it returns when the
    // client goes.
    void serveMuxClient(int fd);

private:
    void serveLockdown(Channel& channel, Device& device);
    void serveAfc(Channel& channel, Device& device);
    void serveInstallationProxy(Channel& channel, Device& device);
    void serveNotificationProxy(Channel& channel, Device& device);
    platform::plist::Dict lockdownValues(const Device& device) const;
    void install(Channel& channel, Device& device, const std::string& command, const platform::plist::Dict& request);
};

inline constexpr uint16_t kLockdownPort = 62078;
inline constexpr const char* kAfcService = "com.apple.afc";
inline constexpr const char* kInstallationProxyService = "com.apple.mobile.installation_proxy";
inline constexpr const char* kNotificationProxyService = "com.apple.mobile.notification_proxy";

// Helpers shared by the services.
const std::string* stringAt(const platform::plist::Dict& dict, const std::string& key);
const platform::plist::Dict* dictAt(const platform::plist::Dict& dict, const std::string& key);
// "a//b/./c/" -> "a/b/c"; empty optional when the path climbs above the root.
std::optional<std::string> normalizedPath(const std::string& path);

}  // namespace devdouble

#include "device/Devices.h"

#include <libimobiledevice/afc.h>
#include <libimobiledevice/installation_proxy.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/paths.h"
#include "platform/queues.h"

using platform::Error;
using platform::ErrorKind;
using platform::Result;

namespace device {

namespace {

constexpr const char* kLabel = "ipa-resigner";
// Bytes per write over the file service; the service itself splits larger ones.
constexpr size_t kUploadChunk = 1 << 20;
// An installation that has not reported for this long is given up.
constexpr auto kInstallSilence = std::chrono::minutes(5);

// ---- Owners of the library's handles ---------------------------------------

struct DeviceFree {
    void operator()(idevice_private* d) const { idevice_free(d); }
};
struct LockdownFree {
    void operator()(lockdownd_client_private* c) const { lockdownd_client_free(c); }
};
struct ServiceFree {
    void operator()(lockdownd_service_descriptor* s) const { lockdownd_service_descriptor_free(s); }
};
struct AfcFree {
    void operator()(afc_client_private* c) const { afc_client_free(c); }
};
struct InstproxyFree {
    void operator()(instproxy_client_private* c) const { instproxy_client_free(c); }
};
struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using DevicePtr = std::unique_ptr<idevice_private, DeviceFree>;
using LockdownPtr = std::unique_ptr<lockdownd_client_private, LockdownFree>;
using ServicePtr = std::unique_ptr<lockdownd_service_descriptor, ServiceFree>;
using AfcPtr = std::unique_ptr<afc_client_private, AfcFree>;
using InstproxyPtr = std::unique_ptr<instproxy_client_private, InstproxyFree>;
using PlistPtr = std::unique_ptr<void, PlistFree>;

// A string the library allocated with malloc, taken over.
std::string takeString(char* text) {
    std::string out = text ? text : "";
    std::free(text);
    return out;
}

std::string lockdownError(lockdownd_error_t error) {
    const char* name = lockdownd_strerror(error);
    return std::string(name && *name ? name : "Unknown error") + ", " + std::to_string(static_cast<int>(error));
}

std::string hexCode(uint64_t code) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(code));
    return text;
}

// The errors of lockdown that mean the device does not (yet) trust us.
bool isTrustError(lockdownd_error_t error) {
    switch (error) {
        case LOCKDOWN_E_PASSWORD_PROTECTED:
        case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
        case LOCKDOWN_E_USER_DENIED_PAIRING:
        case LOCKDOWN_E_PAIRING_FAILED:
        case LOCKDOWN_E_INVALID_HOST_ID:
        case LOCKDOWN_E_MISSING_PAIR_RECORD:
        case LOCKDOWN_E_INVALID_PAIR_RECORD:
        case LOCKDOWN_E_SSL_ERROR:
        case LOCKDOWN_E_INVALID_CONF:
            return true;
        default:
            return false;
    }
}

DevicePtr openDevice(const std::string& udid) {
    idevice_t handle = nullptr;
    if (idevice_new_with_options(&handle, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) return nullptr;
    return DevicePtr(handle);
}

std::string stringValue(lockdownd_client_t client, const char* key) {
    plist_t node = nullptr;
    if (lockdownd_get_value(client, nullptr, key, &node) != LOCKDOWN_E_SUCCESS || !node) return "";
    PlistPtr owner(node);
    if (plist_get_node_type(node) != PLIST_STRING) return "";
    char* text = nullptr;
    plist_get_string_val(node, &text);
    return takeString(text);
}

// What the device tells of itself; paired when a trusted session started.
// The lockdown client is handed back for further services when asked for.
DeviceInfo queryDevice(idevice_t handle, const std::string& udid, LockdownPtr* keep = nullptr,
                       lockdownd_error_t* handshake = nullptr) {
    DeviceInfo info;
    info.udid = udid;
    lockdownd_client_t raw = nullptr;
    lockdownd_error_t error = lockdownd_client_new_with_handshake(handle, &raw, kLabel);
    if (handshake) *handshake = error;
    LockdownPtr client(raw);
    if (error == LOCKDOWN_E_SUCCESS) {
        info.paired = true;
    } else {
        info.pairingError = lockdownError(error);
        // Without trust a device still tells its name and version.
        client.reset();
        raw = nullptr;
        if (lockdownd_client_new(handle, &raw, kLabel) == LOCKDOWN_E_SUCCESS) client.reset(raw);
    }
    if (client) {
        info.name = stringValue(client.get(), "DeviceName");
        info.model = stringValue(client.get(), "ProductType");
        info.iosVersion = stringValue(client.get(), "ProductVersion");
        info.architecture = stringValue(client.get(), "CPUArchitecture");
    }
    if (info.name.empty()) info.name = udid;
    if (keep && info.paired) *keep = std::move(client);
    return info;
}

Error noDaemon() {
    return Error(ErrorKind::NotFound,
                 "No device can be reached: the usbmuxd service is not running. Install the usbmuxd package and "
                 "plug the device in (the service starts with it).");
}

}  // namespace

std::string describe(const DeviceInfo& device) {
    if (device.name.empty() || device.name == device.udid) return "the device with UDID " + device.udid;
    return device.name + " (UDID " + device.udid + ")";
}

std::string listingLine(const DeviceInfo& device) {
    std::string line = device.name + "  " + (device.model.empty() ? "unknown model" : device.model) + "  iOS " +
                       (device.iosVersion.empty() ? "unknown" : device.iosVersion) + "  " + device.udid + "  ";
    line += device.paired ? "trusted" : "not trusted (" + device.pairingError + "): unlock the device and tap Trust";
    return line;
}

Result<std::vector<DeviceInfo>> listDevices() {
    idevice_info_t* list = nullptr;
    int count = 0;
    if (idevice_get_device_list_extended(&list, &count) != IDEVICE_E_SUCCESS) return noDaemon();
    std::vector<std::string> udids;
    for (int i = 0; list && i < count; ++i) {
        if (!list[i] || !list[i]->udid || list[i]->conn_type != CONNECTION_USBMUXD) continue;
        if (std::find(udids.begin(), udids.end(), list[i]->udid) == udids.end()) udids.emplace_back(list[i]->udid);
    }
    if (list) idevice_device_list_extended_free(list);
    std::vector<DeviceInfo> devices;
    for (const auto& udid : udids) {
        DevicePtr handle = openDevice(udid);
        if (!handle) continue;  // gone between the list and now
        devices.push_back(queryDevice(handle.get(), udid));
    }
    return devices;
}

Result<DeviceInfo> deviceInfo(const std::string& udid) {
    DevicePtr handle = openDevice(udid);
    if (!handle) return Error(ErrorKind::NotFound, "The device with UDID " + udid + " is not connected: plug it in and unlock it.");
    return queryDevice(handle.get(), udid);
}

Result<DeviceInfo> chooseDevice(const std::optional<std::string>& udid) {
    auto devices = listDevices();
    if (!devices) return devices.error();
    if (udid) {
        for (const auto& d : *devices)
            if (d.udid == *udid) return d;
        return Error(ErrorKind::NotFound, "The device with UDID " + *udid +
                                              " is not connected: plug it in and unlock it, or name one of the "
                                              "connected devices (--list-devices shows them).");
    }
    if (devices->empty())
        return Error(ErrorKind::NotFound, "No device is connected: plug an iPhone or iPad in with its cable, unlock it "
                                          "and tap Trust.");
    if (devices->size() > 1) {
        std::string names;
        for (const auto& d : *devices) names += (names.empty() ? "" : ", ") + describe(d);
        return Error(ErrorKind::Failed,
                     "Several devices are connected (" + names + "): name the one to install on by its UDID.");
    }
    return devices->front();
}

// ---- Installing -------------------------------------------------------------

std::string installFailureText(const DeviceInfo& device, const std::string& name, uint64_t code,
                               const std::string& description) {
    // The reason's own code, as the device writes it into the description
    // ("... : 0xe8008015 (A valid provisioning profile ... was not found.)").
    std::string lower = description;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string reason;
    if (auto at = lower.find("0xe8"); at != std::string::npos) {
        size_t end = at + 2;
        while (end < lower.size() && std::isxdigit(static_cast<unsigned char>(lower[end]))) ++end;
        reason = lower.substr(at, end - at);
    }
    if (reason.empty() && code >= 0xe8000000ull && code <= 0xe8ffffffull) reason = hexCode(code);
    const std::string who = describe(device);
    std::string words;
    if (reason == "0xe8008015")
        words = who + " is not in the provisioning profile: add the device with UDID " + device.udid +
                " to your developer account and download the profile again, then re-sign with it.";
    else if (reason == "0xe8008016")
        words = "The device refused the application's entitlements: they ask for more than the profile allows. "
                "Re-sign with a profile that has the capabilities the application uses.";
    else if (reason == "0xe8008018")
        words = "The device no longer accepts the signing certificate (revoked or expired): make a new "
                "certificate, download a profile for it and re-sign.";
    else if (reason == "0xe8008017" || reason == "0xe8008019" || reason == "0xe800801c" ||
             reason == "0xe8008029" || name == "ApplicationSignatureInvalid")
        words = "The device found the application's signature invalid: re-sign the package again; if that "
                "does not help, check the signature with codesign -v --deep.";
    else if (reason == "0xe8008021" || lower.find("maximum number of") != std::string::npos)
        words = "The device already holds as many applications as a free developer account may install: delete "
                "one of them from the device, then install again.";
    else if (reason == "0xe8008012" || lower.find("not trusted") != std::string::npos)
        words = "The device does not trust the developer of this profile: on the device: Settings > General > "
                "VPN & Device Management, trust the developer, then install again.";
    else if (name == "DeviceOSVersionTooLow")
        words = who + " runs an iOS older than the application needs: update the device, or install on another one.";
    else if (name == "IncorrectArchitecture")
        words = who + " cannot run the application's code (no slice for its processor): rebuild the application "
                "for arm64.";
    else if (name == "ApplicationVerificationFailed")  // any other reason the signature did not verify
        words = "The device could not verify the application's signature: re-sign the package again; if that "
                "does not help, check the signature with codesign -v --deep.";
    else
        words = "The device refused the installation: " + (description.empty() ? name : description) + ".";
    std::string detail = name.empty() ? "unknown" : name;
    if (!reason.empty()) detail += ", " + reason;
    else if (code) detail += ", " + std::to_string(code);
    return words + " (device error: " + detail + ")";
}

namespace {

// What the installation service reports, handed from its status thread to
// the waiting caller.
struct InstallWait {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    bool failed = false;
    std::string errorName, errorDescription;
    uint64_t errorCode = 0;
    std::chrono::steady_clock::time_point lastHeard = std::chrono::steady_clock::now();
    const std::function<void(const InstallStatus&)>* status = nullptr;
};

void onInstallStatus(plist_t /*command*/, plist_t status, void* context) {
    auto* wait = static_cast<InstallWait*>(context);
    char* name = nullptr;
    char* description = nullptr;
    uint64_t code = 0;
    const bool failed = instproxy_status_get_error(status, &name, &description, &code) != INSTPROXY_E_SUCCESS;
    std::string errorName = takeString(name), errorDescription = takeString(description);
    char* stageText = nullptr;
    instproxy_status_get_name(status, &stageText);
    std::string stage = takeString(stageText);
    int percent = -1;
    instproxy_status_get_percent_complete(status, &percent);

    if (!failed && stage != "Complete" && !stage.empty() && wait->status && *wait->status)
        (*wait->status)(InstallStatus{stage, percent});
    std::lock_guard<std::mutex> g(wait->lock);
    wait->lastHeard = std::chrono::steady_clock::now();
    if (failed) {
        wait->failed = true;
        wait->errorName = errorName;
        wait->errorDescription = errorDescription;
        wait->errorCode = code;
        wait->done = true;
    } else if (stage == "Complete") {
        wait->done = true;
    }
    wait->changed.notify_all();
}

Error serviceError(const DeviceInfo& device, const std::string& what, const std::string& detail) {
    return Error("Could not start the " + what + " of " + describe(device) +
                 ": unplug the device, plug it in again and unlock it, then try again (device error: " + detail + ").");
}

}  // namespace

Result<Installed> install(const InstallRequest& request, const std::function<void(const InstallStatus&)>& status) {
    DevicePtr handle = openDevice(request.udid);
    if (!handle)
        return Error(ErrorKind::NotFound,
                     "The device with UDID " + request.udid + " is not connected: plug it in and unlock it.");
    LockdownPtr client;
    lockdownd_error_t handshake = LOCKDOWN_E_SUCCESS;
    DeviceInfo device = queryDevice(handle.get(), request.udid, &client, &handshake);
    if (!client) {
        if (isTrustError(handshake))
            return Error(describe(device) + " does not trust this computer: Unlock the device and tap Trust, then try "
                         "again (device error: " + device.pairingError + ").");
        return serviceError(device, "connection", device.pairingError);
    }

    // 1. The package into the staging folder, through the file service.
    std::FILE* in = std::fopen(request.packagePath.c_str(), "rb");
    if (!in) return Error(ErrorKind::Io, "Could not read the package " + request.packagePath + " to install it.");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(in, &std::fclose);
    std::fseek(in, 0, SEEK_END);
    const long total = std::ftell(in);
    std::fseek(in, 0, SEEK_SET);

    lockdownd_service_descriptor_t rawService = nullptr;
    lockdownd_error_t started = lockdownd_start_service(client.get(), AFC_SERVICE_NAME, &rawService);
    ServicePtr afcService(rawService);
    if (started != LOCKDOWN_E_SUCCESS) return serviceError(device, "file service", lockdownError(started));
    afc_client_t rawAfc = nullptr;
    afc_error_t afcError = afc_client_new(handle.get(), afcService.get(), &rawAfc);
    AfcPtr afc(rawAfc);
    if (afcError != AFC_E_SUCCESS) return serviceError(device, "file service", "AFC " + std::to_string(afcError));
    afc_make_directory(afc.get(), "PublicStaging");  // there already is fine
    const std::string remote = "PublicStaging/" + platform::path::lastPathComponent(request.packagePath);
    uint64_t remoteFile = 0;
    afcError = afc_file_open(afc.get(), remote.c_str(), AFC_FOPEN_WRONLY, &remoteFile);
    if (afcError != AFC_E_SUCCESS)
        return Error("Could not copy the package to " + describe(device) + ": the device refused to create " + remote +
                     ". Make room on the device, then try again (device error: AFC " + std::to_string(afcError) + ").");
    std::string buffer(kUploadChunk, '\0');
    long sent = 0;
    int reported = -1;
    if (status) status(InstallStatus{"Uploading", 0});
    for (;;) {
        size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        if (got == 0) break;
        size_t at = 0;
        while (at < got) {
            uint32_t written = 0;
            afcError = afc_file_write(afc.get(), remoteFile, buffer.data() + at, static_cast<uint32_t>(got - at), &written);
            if (afcError != AFC_E_SUCCESS || written == 0) {
                afc_file_close(afc.get(), remoteFile);
                return Error("Copying the package to " + describe(device) +
                             " stopped: keep the device plugged in and unlocked, then try again (device error: AFC " +
                             std::to_string(afcError) + ").");
            }
            at += written;
        }
        sent += static_cast<long>(got);
        int percent = total > 0 ? static_cast<int>(sent * 100 / total) : 100;
        if (status && percent / 10 != reported / 10 && percent < 100) status(InstallStatus{"Uploading", percent});
        reported = percent;
    }
    const bool readFailed = std::ferror(in);
    afc_file_close(afc.get(), remoteFile);
    if (readFailed) return Error(ErrorKind::Io, "Could not read the package " + request.packagePath + " to install it.");
    if (status) status(InstallStatus{"Uploading", 100});
    afc.reset();

    // 2. The installation service: an upgrade when the application is there.
    rawService = nullptr;
    started = lockdownd_start_service(client.get(), INSTPROXY_SERVICE_NAME, &rawService);
    ServicePtr proxyService(rawService);
    if (started != LOCKDOWN_E_SUCCESS) return serviceError(device, "installation service", lockdownError(started));
    instproxy_client_t rawProxy = nullptr;
    instproxy_error_t proxyError = instproxy_client_new(handle.get(), proxyService.get(), &rawProxy);
    InstproxyPtr proxy(rawProxy);
    if (proxyError != INSTPROXY_E_SUCCESS)
        return serviceError(device, "installation service", "installation proxy " + std::to_string(proxyError));

    Installed outcome;
    if (!request.bundleIdentifier.empty()) {
        const char* ids[] = {request.bundleIdentifier.c_str(), nullptr};
        plist_t found = nullptr;
        if (instproxy_lookup(proxy.get(), ids, nullptr, &found) == INSTPROXY_E_SUCCESS && found) {
            PlistPtr owner(found);
            outcome.upgraded = plist_get_node_type(found) == PLIST_DICT &&
                               plist_dict_get_item(found, request.bundleIdentifier.c_str()) != nullptr;
        }
    }

    PlistPtr options(instproxy_client_options_new());
    if (!request.bundleIdentifier.empty())
        instproxy_client_options_add(static_cast<plist_t>(options.get()), "CFBundleIdentifier",
                                     request.bundleIdentifier.c_str(), nullptr);
    InstallWait wait;
    wait.status = &status;
    proxyError = outcome.upgraded
                     ? instproxy_upgrade(proxy.get(), remote.c_str(), static_cast<plist_t>(options.get()), onInstallStatus, &wait)
                     : instproxy_install(proxy.get(), remote.c_str(), static_cast<plist_t>(options.get()), onInstallStatus, &wait);
    if (proxyError != INSTPROXY_E_SUCCESS)
        return serviceError(device, "installation", "installation proxy " + std::to_string(proxyError));
    {
        std::unique_lock<std::mutex> g(wait.lock);
        while (!wait.done) {
            wait.changed.wait_for(g, std::chrono::seconds(1));
            if (!wait.done && std::chrono::steady_clock::now() - wait.lastHeard > kInstallSilence) {
                wait.failed = true;
                wait.errorName = "Timeout";
                wait.errorDescription = "the device stopped reporting";
                break;
            }
        }
    }
    // Freeing the client ends the status thread; its callback must not outlive wait.
    proxy.reset();
    if (wait.failed)
        return Error(installFailureText(device, wait.errorName, wait.errorCode, wait.errorDescription));
    return outcome;
}

// ---- Watching -----------------------------------------------------------------

struct DeviceWatcher::State {
    std::function<void()> changed;
};

namespace {

std::mutex watcherLock;
std::weak_ptr<DeviceWatcher::State> currentWatcher;

void onDeviceEvent(const idevice_event_t* /*event*/, void* /*context*/) {
    std::weak_ptr<DeviceWatcher::State> weak;
    {
        std::lock_guard<std::mutex> g(watcherLock);
        weak = currentWatcher;
    }
    platform::MainQueue::async([weak] {
        if (auto state = weak.lock())
            if (state->changed) state->changed();
    });
}

}  // namespace

std::unique_ptr<DeviceWatcher> DeviceWatcher::start(std::function<void()> changed) {
    auto state = std::make_shared<State>();
    state->changed = std::move(changed);
    {
        std::lock_guard<std::mutex> g(watcherLock);
        if (currentWatcher.lock()) return nullptr;  // one subscription per process
        currentWatcher = state;
    }
    if (idevice_event_subscribe(onDeviceEvent, nullptr) != IDEVICE_E_SUCCESS) {
        std::lock_guard<std::mutex> g(watcherLock);
        currentWatcher.reset();
        return nullptr;
    }
    return std::unique_ptr<DeviceWatcher>(new DeviceWatcher(std::move(state)));
}

DeviceWatcher::DeviceWatcher(std::shared_ptr<State> state) : state(std::move(state)) {}

DeviceWatcher::~DeviceWatcher() {
    idevice_event_unsubscribe();
    std::lock_guard<std::mutex> g(watcherLock);
    currentWatcher.reset();
}

}  // namespace device

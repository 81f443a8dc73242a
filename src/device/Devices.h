#pragma once
// iPhones and iPads on the USB cable, reached through the usbmuxd daemon with
// libimobiledevice: which are connected, what each one is, whether it trusts
// this computer, and installing a package on one. Every call but the watcher
// blocks on the device and may take seconds: callers run it off the main
// thread. No call throws; failures are Results whose text is a sentence of
// ours that keeps the device's own error name and code.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace device {

struct DeviceInfo {
    std::string udid;
    std::string name;          // "DeviceName"; the UDID when the device does not tell
    std::string model;         // "ProductType", such as "iPhone14,2"
    std::string iosVersion;    // "ProductVersion", such as "17.1.2"
    std::string architecture;  // "CPUArchitecture": "arm64" or "arm64e"; empty when not told
    bool paired = false;       // the device trusts this computer
    // When not paired: the device's answer, name and code ("PasswordProtected, -17").
    std::string pairingError;
};

// "Jane's iPhone (UDID 00008030-...)": how our lines name a device.
std::string describe(const DeviceInfo& device);
// One line of the device list: name, model, iOS version, UDID, trust.
std::string listingLine(const DeviceInfo& device);

// The connected devices, in the daemon's order. Fails with NotFound when the
// usbmuxd daemon cannot be reached; no device at all is an empty list.
platform::Result<std::vector<DeviceInfo>> listDevices();
// One device by its UDID; NotFound when it is not connected.
platform::Result<DeviceInfo> deviceInfo(const std::string& udid);

// The device to work with: the one given by UDID, or the only one connected.
// Fails in our words when none is connected, the UDID is not, or several are
// and none was named (the message lists them).
platform::Result<DeviceInfo> chooseDevice(const std::optional<std::string>& udid);

// One report of an installation: the stage ("Uploading", or the installation
// service's own status name such as "VerifyingApplication") and its percent
// (-1 when the status carries none).
struct InstallStatus {
    std::string stage;
    int percent = -1;
};

struct InstallRequest {
    std::string udid;
    std::string packagePath;       // the .ipa to copy to the device
    std::string bundleIdentifier;  // of the application inside it
};

struct Installed {
    bool upgraded = false;  // the application was there before
};

// Copies the package into the device's "PublicStaging" folder and installs it
// (an upgrade when the application is installed already). status is called
// from the calling thread or the library's status thread, never at once from
// both. A refusal of the device becomes one sentence of ours with a next
// step, followed by the device's error name, code and description.
platform::Result<Installed> install(const InstallRequest& request, const std::function<void(const InstallStatus&)>& status);

// The sentence for an installation error of the device, from its name
// ("ApplicationVerificationFailed"), its code and its description, which
// usually holds the reason's own code ("0xe8008015"). For tests and callers
// that meet a device's error elsewhere.
std::string installFailureText(const DeviceInfo& device, const std::string& name, uint64_t code,
                               const std::string& description);

// Told when a device comes or goes (or is paired), through the daemon's
// events; changed runs on the main queue. One watcher at a time per process
// (the library keeps a single subscription). Nothing is watched when the
// daemon cannot be reached; start answers null then.
class DeviceWatcher {
public:
    static std::unique_ptr<DeviceWatcher> start(std::function<void()> changed);
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    struct State;

private:
    explicit DeviceWatcher(std::shared_ptr<State> state);
    std::shared_ptr<State> state;
};

}  // namespace device

#pragma once
// The device double (build/bin/device-double) run for one test: a usbmuxd
// socket of its own with one or more pretend iPhones behind it, which the
// real libimobiledevice reaches through USBMUXD_SOCKET_ADDRESS (set for this
// process, and so for every program it starts, while the double runs).
//
//   testkit::DeviceDouble phone({.refuse = "not-in-profile"});
//   ... device::listDevices() ...   // lists phone.udid()
#include <sys/types.h>

#include <string>
#include <vector>

namespace testkit {

struct DeviceDoubleOptions {
    std::vector<std::string> udids = {"00008030-001A2B3C4D5E6F70"};  // the test profiles' device
    std::string name = "Test iPhone";
    std::string ios = "17.5";
    std::string refuse;  // "", "not-paired", "not-in-profile" or "invalid-signature"
    bool keep = true;    // store each installed package in keepDir()
};

class DeviceDouble {
public:
    explicit DeviceDouble(const DeviceDoubleOptions& options = {});
    ~DeviceDouble();  // stops the double and points the environment nowhere
    DeviceDouble(const DeviceDouble&) = delete;
    DeviceDouble& operator=(const DeviceDouble&) = delete;

    const std::string& udid() const { return udids.front(); }
    const std::string& socketPath() const { return socket; }
    // Where the double keeps what was installed: <bundle identifier>.ipa.
    const std::string& keepDir() const { return keep; }

    // Whether the double was built (tools/device-double).
    static bool available();
    // A socket path that nothing listens on: "no daemon" for this process.
    static void pointAtNoDaemon();

private:
    std::vector<std::string> udids;
    std::string socket, keep;
    pid_t pid = -1;
};

}  // namespace testkit

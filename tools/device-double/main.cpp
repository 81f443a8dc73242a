// device-double: stands where a connected iPhone stands for libimobiledevice.
// It answers on one Unix socket as the mux daemon does (point the clients at
// it with USBMUXD_SOCKET_ADDRESS=UNIX:PATH) and, behind it, as the device's
// lockdownd, AFC and installation proxy. It runs until it is sent SIGTERM or
// SIGINT, and then removes its socket. SIGUSR1 and SIGUSR2 unplug and plug in
// its devices.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "Device.h"

namespace {

using devdouble::Refusal;

constexpr const char* kUsage =
    "usage: device-double --socket PATH [--udid UDID]... [--name NAME]... [--ios VERSION]\n"
    "                     [--refuse not-paired|not-in-profile|invalid-signature] [--keep DIR]\n"
    "Answers on the Unix socket PATH as the mux daemon and a connected device do, until killed.\n"
    "Point libimobiledevice at it with USBMUXD_SOCKET_ADDRESS=UNIX:PATH.\n"
    "  --udid UDID   a device with this UDID; give it again for more devices\n"
    "  --name NAME   the device's name (by position when there are several)\n"
    "  --ios VERSION the iOS version the devices report (default 17.5)\n"
    "  --refuse ...  not-paired: the devices do not trust this computer;\n"
    "                not-in-profile, invalid-signature: every install fails so\n"
    "  --keep DIR    store each installed package as DIR/<bundle identifier>.ipa\n"
    "SIGUSR1 unplugs the devices, SIGUSR2 plugs them in again; SIGTERM ends the double.\n";

char socketPathForSignal[sizeof(sockaddr_un::sun_path)];

void onUnplug(int) { devdouble::Double::attached = false; }
void onPlug(int) { devdouble::Double::attached = true; }

void onStop(int) {
    ::unlink(socketPathForSignal);
    ::_exit(0);
}

int usageError(const std::string& text) {
    std::fprintf(stderr, "device-double: %s\n%s", text.c_str(), kUsage);
    return 2;
}

bool validVersion(const std::string& v) {
    if (v.empty() || v.front() == '.' || v.back() == '.') return false;
    for (char c : v)
        if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
    return v.find("..") == std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
    devdouble::Double world;
    devdouble::Options& o = world.options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) return usageError("missing value after " + arg);
        std::string value = argv[++i];
        if (arg == "--socket") o.socketPath = value;
        else if (arg == "--udid") o.udids.push_back(value);
        else if (arg == "--name") o.names.push_back(value);
        else if (arg == "--ios") o.iosVersion = value;
        else if (arg == "--keep") o.keepDir = value;
        else if (arg == "--refuse") {
            if (value == "not-paired") o.refusal = Refusal::NotPaired;
            else if (value == "not-in-profile") o.refusal = Refusal::NotInProfile;
            else if (value == "invalid-signature") o.refusal = Refusal::InvalidSignature;
            else return usageError("unknown refusal: " + value);
        } else {
            return usageError("unknown option: " + arg);
        }
    }
    if (o.socketPath.empty()) return usageError("--socket PATH is required");
    if (o.socketPath.size() + 8 >= sizeof(sockaddr_un::sun_path)) return usageError("the socket path is too long");
    if (!validVersion(o.iosVersion)) return usageError("the iOS version must read like 17.5: " + o.iosVersion);
    if (o.udids.empty()) o.udids.push_back("00008120-001C3D5E7F901234");
    for (const auto& u : o.udids)
        if (u.empty() || u.size() > 40) return usageError("a UDID has 1 to 40 characters: " + u);

    if (std::string why = devdouble::makePairRecord(world.pairing); !why.empty()) {
        std::fprintf(stderr, "device-double: %s\n", why.c_str());
        return 1;
    }
    int major = std::atoi(o.iosVersion.c_str());
    for (size_t i = 0; i < o.udids.size(); ++i) {
        devdouble::Device d;
        d.muxId = static_cast<uint32_t>(i + 1);
        d.udid = o.udids[i];
        d.name = o.names.empty() ? "Double iPhone" : o.names[std::min(i, o.names.size() - 1)];
        if (o.names.size() < o.udids.size() && o.udids.size() > 1 && i >= o.names.size())
            d.name += " " + std::to_string(i + 1);
        d.productVersion = o.iosVersion;
        d.buildVersion = std::to_string(major + 4) + "A" + std::to_string(100 + i);
        char wifi[18];
        std::snprintf(wifi, sizeof wifi, "a4:83:e7:d0:0b:%02x", static_cast<unsigned>(i + 1) & 0xff);
        d.wifiAddress = wifi;
        d.chipId = 0x1A2B3C4D5E00 + i;
        d.folders.insert("");
        world.devices.push_back(std::move(d));
    }

    // Bound under a temporary name and renamed into place once listening:
    // the socket appears ready or not at all.
    std::string staging = o.socketPath + "." + std::to_string(::getpid());
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, staging.c_str(), sizeof address.sun_path - 1);
    ::unlink(staging.c_str());
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0) {
        std::fprintf(stderr, "device-double: cannot listen on %s: %s\n", staging.c_str(), std::strerror(errno));
        return 1;
    }
    struct stat existing;
    if (::lstat(o.socketPath.c_str(), &existing) == 0 && !S_ISSOCK(existing.st_mode)) {
        ::unlink(staging.c_str());
        std::fprintf(stderr, "device-double: %s exists and is not a socket; choose another path\n",
                     o.socketPath.c_str());
        return 1;
    }
    std::strncpy(socketPathForSignal, o.socketPath.c_str(), sizeof socketPathForSignal - 1);
    struct sigaction stop{};
    stop.sa_handler = onStop;
    stop.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &stop, nullptr);
    ::sigaction(SIGINT, &stop, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction unplug{}, plug{};
    unplug.sa_handler = onUnplug;
    plug.sa_handler = onPlug;
    unplug.sa_flags = plug.sa_flags = SA_RESTART;  // no read in a connection is cut short
    ::sigaction(SIGUSR1, &unplug, nullptr);
    ::sigaction(SIGUSR2, &plug, nullptr);
    if (::rename(staging.c_str(), o.socketPath.c_str()) != 0) {
        ::unlink(staging.c_str());
        std::fprintf(stderr, "device-double: cannot place the socket at %s: %s\n", o.socketPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "device-double: listening on %s (%zu device%s)\n", o.socketPath.c_str(),
                 world.devices.size(), world.devices.size() == 1 ? "" : "s");

    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {  // out of descriptors: wait for connections to end
                ::usleep(50000);
                continue;
            }
            std::fprintf(stderr, "device-double: accept failed: %s\n", std::strerror(errno));
            onStop(0);
        }
        std::thread([&world, fd] { world.serveMuxClient(fd); }).detach();
    }
}

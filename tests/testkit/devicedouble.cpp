#include "testkit/devicedouble.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "testkit/testkit.h"

namespace testkit {

DeviceDouble::DeviceDouble(const DeviceDoubleOptions& options) : udids(options.udids) {
    // Socket paths are short; the scratch folders are not always.
    static int count = 0;
    socket = "/tmp/ipa-double-" + std::to_string(::getpid()) + "-" + std::to_string(++count) + ".sock";
    keep = makeScratchDir("device-kept");
    std::vector<std::string> args = {binDir() + "/device-double", "--socket", socket, "--name", options.name,
                                     "--ios", options.ios};
    for (const auto& u : udids) args.insert(args.end(), {"--udid", u});
    if (!options.refuse.empty()) args.insert(args.end(), {"--refuse", options.refuse});
    if (options.keep) args.insert(args.end(), {"--keep", keep});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(socket)) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            throw std::runtime_error("device-double ended at start-up");
        }
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("device-double did not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket).c_str(), 1);
}

DeviceDouble::~DeviceDouble() {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    std::filesystem::remove(socket);
    pointAtNoDaemon();
}

// NOTE: keep in step with the signals tools/device-double/main.cpp takes.
void DeviceDouble::unplug() { ::kill(pid, SIGUSR1); }
void DeviceDouble::plug() { ::kill(pid, SIGUSR2); }

bool DeviceDouble::available() {
#if defined(__SANITIZE_THREAD__)
    // Under the thread checker the double stalls at its broken-frames step
    // (see tests/device/CMakeLists.txt), so what needs it is left out there.
    return false;
#else
    return ::access((binDir() + "/device-double").c_str(), X_OK) == 0;
#endif
}

void DeviceDouble::pointAtNoDaemon() {
    ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + processRoot() + "/no-daemon.sock").c_str(), 1);
}

}  // namespace testkit

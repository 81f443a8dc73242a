#include "engine/QFRunWorkspace.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/queues.h"

namespace {

constexpr auto kDrainTimeout = std::chrono::seconds(10);

std::atomic<int> interruptedBy{0};
// The folder the watchdog removes when the run does not end by itself.
std::mutex folderLock;
std::string liveFolder;

sigset_t interruptions() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void watchSignals() {
    sigset_t set = interruptions();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    interruptedBy = signal;
    platform::stopAllTasks(SIGTERM);
    platform::MainQueue::async([] {});  // wakes the main loop
    std::this_thread::sleep_for(kDrainTimeout);
    // The run did not come to its end: clean up here and leave.
    {
        std::lock_guard<std::mutex> g(folderLock);
        if (!liveFolder.empty()) platform::fs::removeItem(liveFolder);
    }
    ::_exit(128 + signal);
}

}  // namespace

std::shared_ptr<QFRunWorkspace> QFRunWorkspace::create() {
    auto temporary = platform::folders::temporaryDirectory();
    if (!temporary) return nullptr;
    std::string folder = platform::path::appendingPathComponent(*temporary, "ipa-resign-XXXXXX");
    if (!::mkdtemp(folder.data())) return nullptr;
    std::lock_guard<std::mutex> g(folderLock);
    liveFolder = folder;
    return std::shared_ptr<QFRunWorkspace>(new QFRunWorkspace(folder));
}

QFRunWorkspace::~QFRunWorkspace() {
    if (!_keep) remove();
}

std::string QFRunWorkspace::workPath() const { return platform::path::appendingPathComponent(_folder, "work"); }

void QFRunWorkspace::remove() {
    std::lock_guard<std::mutex> g(folderLock);
    platform::fs::removeItem(_folder);
    if (liveFolder == _folder) liveFolder.clear();
}

void QFRunWorkspace::interceptInterruptions() {
    sigset_t set = interruptions();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(watchSignals).detach();
}

int QFRunWorkspace::interruption() { return interruptedBy.load(); }

void QFRunWorkspace::endIfInterrupted() {
    int signal = interruptedBy.load();
    if (signal == 0) return;
    ::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);  // should the signal not end us
}

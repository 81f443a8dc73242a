#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string_view>

extern char** environ;

namespace platform {

namespace {
// The children still running, so that an interrupted program can end them,
// and whether launching has been stopped. Never destroyed: a worker thread
// may still reap a child while the program's statics are torn down.
std::mutex& runningLock = *new std::mutex;
std::set<pid_t>& running = *new std::set<pid_t>;
bool launchingStopped = false;

void forgetChild(pid_t child) {
    std::lock_guard<std::mutex> g(runningLock);
    running.erase(child);
}
}  // namespace

void stopAllTasks(int signal) {
    std::lock_guard<std::mutex> g(runningLock);
    launchingStopped = true;
    for (pid_t child : running) ::kill(child, signal);
}

void signalRunningTasks(int signal) {
    std::lock_guard<std::mutex> g(runningLock);
    for (pid_t child : running) ::kill(child, signal);
}

void Task::addEnvironment(std::string name, std::string value) {
    _environment.push_back(std::move(name) + "=" + std::move(value));
}

Task::Task(std::string launchPath, std::vector<std::string> arguments)
    : _launchPath(std::move(launchPath)), _arguments(std::move(arguments)) {}

Task::~Task() {
    if (outputFd >= 0) ::close(outputFd);
    std::lock_guard<std::mutex> g(lock);
    if (pid > 0 && !ended) reapLocked(false);
}

bool Task::launch() {
    std::lock_guard<std::mutex> g(lock);
    if (pid > 0 || _launchPath.empty()) return false;

    int fds[2] = {-1, -1};
    if (_capturesOutput && ::pipe2(fds, O_CLOEXEC) != 0) return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (_capturesOutput) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    }
    if (_currentDirectoryPath) posix_spawn_file_actions_addchdir_np(&actions, _currentDirectoryPath->c_str());

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(_launchPath.c_str()));
    for (auto& a : _arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // This program's environment, the added variables replacing any of the
    // same name.
    std::vector<char*> envp;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        bool replaced = false;
        for (const auto& added : _environment)
            if (entry.substr(0, entry.find('=') + 1) == std::string_view(added).substr(0, added.find('=') + 1))
                replaced = true;
        if (!replaced) envp.push_back(*e);
    }
    for (auto& added : _environment) envp.push_back(added.data());
    envp.push_back(nullptr);

    // The child starts with no signal blocked, whatever this thread blocks.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);

    pid_t child = -1;
    int rc = EINTR;
    {
        std::lock_guard<std::mutex> r(runningLock);
        if (!launchingStopped) rc = ::posix_spawn(&child, _launchPath.c_str(), &actions, &attributes, argv.data(), envp.data());
        if (rc == 0) running.insert(child);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (_capturesOutput) ::close(fds[1]);
    if (rc != 0) {
        if (_capturesOutput) ::close(fds[0]);
        return false;
    }
    pid = child;
    if (_capturesOutput) outputFd = fds[0];
    return true;
}

bool Task::reapLocked(bool block) {
    if (pid <= 0) return false;
    if (ended) return true;
    int st = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &st, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid) {
        ended = true;
        forgetChild(pid);
        if (WIFEXITED(st)) status = WEXITSTATUS(st);
        else if (WIFSIGNALED(st)) status = 128 + WTERMSIG(st);
        else status = 255;
        return true;
    }
    if (r < 0) {  // not our child any more (reaped elsewhere): treat as ended
        ended = true;
        forgetChild(pid);
        status = 255;
        return true;
    }
    return false;
}

bool Task::isRunning() {
    std::lock_guard<std::mutex> g(lock);
    if (pid <= 0) return false;
    return !reapLocked(false);
}

void Task::waitUntilExit() {
    std::lock_guard<std::mutex> g(lock);
    reapLocked(true);
}

int Task::terminationStatus() {
    std::lock_guard<std::mutex> g(lock);
    reapLocked(false);
    return ended ? status : -1;
}

int Task::takeOutputDescriptor() {
    std::lock_guard<std::mutex> g(lock);
    int fd = outputFd;
    outputFd = -1;
    return fd;
}

std::string readToEnd(int fd) {
    std::string out;
    if (fd < 0) return out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

}  // namespace platform

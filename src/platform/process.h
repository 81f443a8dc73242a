#pragma once
// A child process started with posix_spawn, never through a shell. Standard
// input is /dev/null, so that no tool ever waits for an answer. Where the
// caller reads the output, one pipe takes both standard output and standard
// error; the parent keeps only its reading end.
#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Task {
public:
    Task(std::string launchPath, std::vector<std::string> arguments);
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    const std::string& launchPath() const { return _launchPath; }
    const std::vector<std::string>& arguments() const { return _arguments; }
    void setCurrentDirectoryPath(std::string path) { _currentDirectoryPath = std::move(path); }
    // Before launch: collect standard output and standard error in one pipe.
    void setCapturesOutput(bool captures) { _capturesOutput = captures; }
    // Before launch: one more variable in the child's environment (on top of
    // this program's own). For secrets that must not show on the command
    // line, which every user of the machine can read.
    void addEnvironment(std::string name, std::string value);

    // False when the program cannot be started at all: no such file, not
    // executable, or a working directory that does not exist.
    bool launch();
    bool isRunning();             // safe from any thread
    void waitUntilExit();         // blocks until the child has ended
    // The exit code, 128 + signal number when a signal ended the child,
    // -1 before the child has ended or when it never started.
    int terminationStatus();
    pid_t processIdentifier() const { return pid; }
    // The reading end of the output pipe; the caller owns it from now on.
    int takeOutputDescriptor();

private:
    bool reapLocked(bool block);

    std::string _launchPath;
    std::vector<std::string> _arguments;
    std::optional<std::string> _currentDirectoryPath;
    bool _capturesOutput = false;
    std::vector<std::string> _environment;  // "NAME=value"
    std::mutex lock;
    pid_t pid = -1;
    bool ended = false;
    int status = -1;
    int outputFd = -1;
};

// Reads a descriptor to its end and closes it.
std::string readToEnd(int fd);

// For a program that is being interrupted: from now on no Task launches, and
// every Task still running is sent signal. Safe from any thread.
void stopAllTasks(int signal);
// Sends signal to every Task still running; later Tasks launch as usual (the
// window's Cancel, which ends one piece of work, not the program).
void signalRunningTasks(int signal);

}  // namespace platform

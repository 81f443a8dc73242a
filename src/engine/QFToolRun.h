#pragma once
// Running one platform tool whose output the engine reads. The tool's output
// (standard output and standard error in one pipe) is read to its end by a
// reader on the global queue; a waiter blocks on the child. The completion runs on
// the main queue only once BOTH have happened: the child has ended and the
// reader has handed over the whole output. A verdict therefore never sees a
// text left by an earlier run.
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class Task;
}

namespace engine {

struct ToolRequest {
    std::string launchPath;
    std::vector<std::string> arguments;
    std::string currentDirectory;  // empty: inherited
};

// reader(fd) runs on a global-queue thread, owns fd and must read it to its
// end. complete(status) then runs on the main queue with the exit status.
// Answers false, calling neither, when the tool cannot be started.
bool runTool(const ToolRequest& request, std::function<void(int fd)> reader,
             std::function<void(int status)> complete);

// The whole output of a descriptor as UTF-8; invalid bytes are replaced, never
// dropped, so output that was not empty never reads as empty.
std::string readOutput(int fd);
}  // namespace engine

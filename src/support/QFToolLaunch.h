#pragma once
// Running one platform tool: the one place that launches a tool, waits for it
// and reports its end. The tool is started on the calling thread; a waiter on
// the global queue blocks on the child and, where the output is captured
// (standard output and standard error in one pipe), a reader on another
// global-queue thread reads it to its end. The completion runs once, on the
// main queue, only after BOTH have happened: the child has ended and the
// reader has handed over the whole output. A completion therefore never sees
// a text left by an earlier run, nor a run that is still writing.
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct QFToolLaunchRequest {
    std::string launchPath;
    std::vector<std::string> arguments;
    std::string currentDirectory;  // empty: inherited
    bool capturesOutput = false;   // false: the tool writes where this program does
    // Variables added to the tool's environment ("NAME", "value"): how a
    // secret reaches a tool without standing on its command line.
    std::vector<std::pair<std::string, std::string>> environment = {};
};

struct QFToolLaunchResult {
    // The exit code, 128 + the signal's number when a signal ended the tool.
    int status = -1;
    // The captured bytes as the tool wrote them, not decoded; empty when the
    // output was not captured.
    std::string output;
};

// Answers false, calling nothing, when the tool cannot be started at all (no
// such file, not executable, a working directory that does not exist); the
// caller reports that in its own words. Otherwise complete(result) runs later
// on the main queue, once.
bool QFLaunchTool(const QFToolLaunchRequest& request, std::function<void(QFToolLaunchResult)> complete);

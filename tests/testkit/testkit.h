#pragma once
// Helpers shared by the tests.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testkit {

// The private folder this test process was given (HOME points inside it).
const std::string& processRoot();
// A fresh empty folder inside the process root.
std::string makeScratchDir(const std::string& hint = "scratch");

void writeFile(const std::string& path, const std::string& bytes, bool executable = false);
std::string readFile(const std::string& path);

// Pumps the main queue until done() or the timeout; answers done().
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Runs a program (no shell) and answers its exit code; output goes to *output when given.
int run(const std::vector<std::string>& argv, std::string* output = nullptr, const std::string& cwd = "");

// Where the project's programs were built.
std::string binDir();

}  // namespace testkit

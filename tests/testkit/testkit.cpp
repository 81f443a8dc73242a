#include "testkit/testkit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/process.h"
#include "platform/queues.h"

namespace testkit {

namespace {
std::string& rootStorage() {
    static std::string root;
    return root;
}
}  // namespace

const std::string& processRoot() { return rootStorage(); }

std::string makeScratchDir(const std::string& hint) {
    static std::atomic<int> counter{0};
    std::string dir = processRoot() + "/" + hint + "-" + std::to_string(++counter);
    std::filesystem::create_directories(dir);
    return dir;
}

void writeFile(const std::string& path, const std::string& bytes, bool executable) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (executable) ::chmod(path.c_str(), 0755);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return platform::MainQueue::runUntil(done, timeout);
}

int run(const std::vector<std::string>& argv, std::string* output, const std::string& cwd) {
    if (argv.empty()) return -1;
    platform::Task task(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()));
    task.setCapturesOutput(true);
    if (!cwd.empty()) task.setCurrentDirectoryPath(cwd);
    if (!task.launch()) return -1;
    std::string out = platform::readToEnd(task.takeOutputDescriptor());
    task.waitUntilExit();
    if (output) *output = out;
    return task.terminationStatus();
}

std::string binDir() { return IPA_BIN_DIR; }

void setUpProcessRoot() {
    std::string base = std::filesystem::temp_directory_path().string();
    std::string tmpl = base + "/ipa-test-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    rootStorage() = tmpl;
    std::filesystem::create_directories(tmpl + "/home");
    std::filesystem::create_directories(tmpl + "/tmp");
    ::setenv("HOME", (tmpl + "/home").c_str(), 1);
    ::setenv("TMPDIR", (tmpl + "/tmp").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (tmpl + "/home/.local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (tmpl + "/home/.config").c_str(), 1);
    ::unsetenv("XDG_DESKTOP_DIR");
    ::setenv("LC_ALL", "C.UTF-8", 0);
}

void tearDownProcessRoot() {
    std::error_code ec;
    if (!getenv("IPA_KEEP_TEST_FILES")) std::filesystem::remove_all(rootStorage(), ec);
}

}  // namespace testkit

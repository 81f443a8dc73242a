#include "engine/QFToolRun.h"

#include <atomic>
#include <filesystem>

#include "platform/paths.h"
#include "platform/process.h"
#include "platform/queues.h"
#include "platform/text.h"
#include "support/QFRunLoop.h"

namespace engine {

bool runTool(const ToolRequest& request, std::function<void(int fd)> reader,
             std::function<void(int status)> complete) {
    auto task = std::make_shared<platform::Task>(request.launchPath, request.arguments);
    if (!request.currentDirectory.empty()) task->setCurrentDirectoryPath(request.currentDirectory);
    task->setCapturesOutput(true);
    if (!task->launch()) return false;

    // Set by the reader after it has stored the output (release); the poller
    // only stops after seeing it (acquire), and the completion is posted from
    // there, so the completion sees everything the reader wrote.
    auto readerDone = std::make_shared<std::atomic<bool>>(false);
    int fd = task->takeOutputDescriptor();
    platform::GlobalQueue::async([reader = std::move(reader), fd, readerDone] {
        reader(fd);
        readerDone->store(true, std::memory_order_release);
    });

    auto loop = QFRunLoop::create();
    loop->run([loop, task, readerDone, complete = std::move(complete)] {
        if (task->isRunning() || !readerDone->load(std::memory_order_acquire)) return;
        loop->stop([task, complete] { complete(task->terminationStatus()); });
    });
    return true;
}

std::string readOutput(int fd) { return platform::text::decodeUtf8Lossy(platform::readToEnd(fd)); }

}  // namespace engine

namespace engine {
std::string absolutePath(const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    if (ec) return platform::path::safeArgumentPath(path);
    return platform::path::appendingPathComponent(cwd.string(), path);
}
}  // namespace engine

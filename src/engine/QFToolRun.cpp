#include "engine/QFToolRun.h"

#include <future>

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

    // The reader's end is signalled through a future: what the reader stored
    // happens before the wait below returns, and the completion is posted
    // only after that, so the completion sees the whole output.
    auto readerEnd = std::make_shared<std::promise<void>>();
    std::shared_future<void> readerDone = readerEnd->get_future().share();
    int fd = task->takeOutputDescriptor();
    platform::GlobalQueue::async([reader = std::move(reader), fd, readerEnd] {
        reader(fd);
        readerEnd->set_value();
    });

    // One poll that blocks on the two events rather than sampling them: no
    // wake-ups while the tool works, and no pause between its end and the
    // completion.
    auto loop = QFRunLoop::create();
    loop->run([loop, task, readerDone, complete = std::move(complete)] {
        readerDone.wait();
        task->waitUntilExit();
        loop->stop([task, complete] { complete(task->terminationStatus()); });
    });
    return true;
}

std::string readOutput(int fd) { return platform::text::decodeUtf8Lossy(platform::readToEnd(fd)); }

}  // namespace engine

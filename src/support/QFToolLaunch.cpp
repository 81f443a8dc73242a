#include "support/QFToolLaunch.h"

#include <future>
#include <memory>

#include "platform/process.h"
#include "platform/queues.h"
#include "support/QFRunLoop.h"

bool QFLaunchTool(const QFToolLaunchRequest& request, std::function<void(QFToolLaunchResult)> complete) {
    auto task = std::make_shared<platform::Task>(request.launchPath, request.arguments);
    if (!request.currentDirectory.empty()) task->setCurrentDirectoryPath(request.currentDirectory);
    task->setCapturesOutput(request.capturesOutput);
    for (const auto& [name, value] : request.environment) task->addEnvironment(name, value);
    if (!task->launch()) return false;

    // The reader's end is signalled through a future: what the reader stored
    // happens before the wait below returns, and the completion is posted
    // only after that, so the completion sees the whole output.
    auto output = std::make_shared<std::string>();
    std::shared_future<void> readerDone;
    if (request.capturesOutput) {
        auto readerEnd = std::make_shared<std::promise<void>>();
        readerDone = readerEnd->get_future().share();
        int fd = task->takeOutputDescriptor();
        platform::GlobalQueue::async([fd, output, readerEnd] {
            *output = platform::readToEnd(fd);
            readerEnd->set_value();
        });
    }

    // One poll that blocks on the two events rather than sampling them: no
    // wake-ups while the tool works, and no pause between its end and the
    // completion.
    auto loop = QFRunLoop::create();
    loop->run([loop, task, readerDone, output, complete = std::move(complete)]() mutable {
        if (readerDone.valid()) readerDone.wait();
        task->waitUntilExit();
        loop->stop([task, output, complete = std::move(complete)] {
            if (complete) complete(QFToolLaunchResult{task->terminationStatus(), std::move(*output)});
        });
    });
    return true;
}

// CPU time the waiter spends while a child process runs.
//
//   build/bin/bench_runloop [seconds]
//
// Starts `sleep N` (default 2), waits for it the way every step of the
// system does (a QFRunLoop polling isRunning, the final block on the main
// queue, the main queue pumped by this program), and reports the process's
// own user+system CPU time over the wait as a share of one core.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/process.h"
#include "platform/queues.h"
#include "support/QFRunLoop.h"

namespace {
double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
    std::string seconds = argc > 1 ? argv[1] : "2";
    platform::MainQueue::bindToCurrentThread();
    auto task = std::make_shared<platform::Task>("/bin/sleep", std::vector<std::string>{seconds});
    double cpu0 = cpuSeconds();
    auto wall0 = std::chrono::steady_clock::now();
    if (!task->launch()) {
        std::fprintf(stderr, "cannot start /bin/sleep\n");
        return 1;
    }
    bool done = false;
    auto loop = QFRunLoop::create();
    loop->run([loop, task, &done] {
        if (task->isRunning()) return;
        loop->stop([&done] { done = true; });
    });
    platform::MainQueue::runUntil([&] { return done; });
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    double cpu = cpuSeconds() - cpu0;
    std::printf("child ran %.3f s; waiter CPU %.2f ms = %.3f%% of one core\n", wall, cpu * 1000, 100 * cpu / wall);
    return 0;
}

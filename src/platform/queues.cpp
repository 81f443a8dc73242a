#include "platform/queues.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// Both states live for the whole process and are never destroyed: worker
// threads may still be parked on them while the process exits.
struct MainState {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<std::function<void()>> work;
    std::function<void()> wakeup;
    std::thread::id mainThread;
    bool bound = false;
};

MainState& mainState() {
    static MainState* s = new MainState;
    return *s;
}

struct GlobalState {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<std::function<void()>> work;
    size_t idle = 0;
};

GlobalState& globalState() {
    static GlobalState* s = new GlobalState;
    return *s;
}

void worker() {
    auto& s = globalState();
    std::unique_lock<std::mutex> g(s.lock);
    for (;;) {
        ++s.idle;
        bool got = s.ready.wait_for(g, std::chrono::seconds(10), [&] { return !s.work.empty(); });
        --s.idle;
        if (!got) return;  // idle too long: let the thread go
        auto job = std::move(s.work.front());
        s.work.pop_front();
        g.unlock();
        job();
        job = nullptr;  // release what the job held before waiting again
        g.lock();
    }
}

void bindIfUnbound(MainState& s) {
    if (!s.bound) {
        s.bound = true;
        s.mainThread = std::this_thread::get_id();
    }
}

}  // namespace

void MainQueue::async(std::function<void()> work) {
    auto& s = mainState();
    std::function<void()> wakeup;
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.work.push_back(std::move(work));
        wakeup = s.wakeup;
    }
    s.ready.notify_all();
    if (wakeup) wakeup();
}

void MainQueue::bindToCurrentThread() {
    auto& s = mainState();
    std::lock_guard<std::mutex> g(s.lock);
    s.bound = true;
    s.mainThread = std::this_thread::get_id();
}

bool MainQueue::isMainThread() {
    auto& s = mainState();
    std::lock_guard<std::mutex> g(s.lock);
    return s.bound && s.mainThread == std::this_thread::get_id();
}

void MainQueue::setWakeup(std::function<void()> wakeup) {
    auto& s = mainState();
    std::lock_guard<std::mutex> g(s.lock);
    s.wakeup = std::move(wakeup);
}

size_t MainQueue::drain() {
    auto& s = mainState();
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> g(s.lock);
        bindIfUnbound(s);
        batch.swap(s.work);
    }
    size_t n = 0;
    for (auto& job : batch) {
        job();
        job = nullptr;
        ++n;
    }
    return n;
}

bool MainQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto& s = mainState();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        drain();
        if (done()) return true;
        std::unique_lock<std::mutex> g(s.lock);
        if (s.work.empty() &&
            !s.ready.wait_until(g, deadline, [&] { return !s.work.empty(); })) {
            g.unlock();
            drain();
            return done();
        }
    }
}

void GlobalQueue::async(std::function<void()> work) {
    auto& s = globalState();
    bool spawn;
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.work.push_back(std::move(work));
        spawn = s.idle < s.work.size();
    }
    if (spawn) std::thread(worker).detach();
    else s.ready.notify_one();
}

}  // namespace platform

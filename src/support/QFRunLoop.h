#pragma once
// Waits for a child process without blocking the main thread: run() calls the
// polling callback again and again on a worker of the global queue until the
// callback calls stop() with a final callback, which is then delivered once on
// the main queue. Polls are spaced by a short, growing pause, so a long wait
// costs next to no CPU while a quick child is still noticed within a
// millisecond or so.
#include <atomic>
#include <functional>
#include <memory>

class QFRunLoop : public std::enable_shared_from_this<QFRunLoop> {
public:
    static std::shared_ptr<QFRunLoop> create();

    void run(std::function<void()> poll);
    void stop(std::function<void()> finalBlock);

    bool isSuspend() const { return _isSuspend.load(); }
    void setIsSuspend(bool value) { _isSuspend.store(value); }

private:
    QFRunLoop() = default;
    std::atomic<bool> _isSuspend{false};
};

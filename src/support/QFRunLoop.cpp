#include "support/QFRunLoop.h"

#include <chrono>
#include <thread>

#include "platform/queues.h"

namespace {
// The pause between polls starts short, so that a child that ends at once is
// noticed at once, and grows to a ceiling that keeps a long wait cheap.
constexpr auto kFirstPause = std::chrono::microseconds(100);
constexpr auto kLongestPause = std::chrono::milliseconds(10);
}  // namespace

std::shared_ptr<QFRunLoop> QFRunLoop::create() { return std::shared_ptr<QFRunLoop>(new QFRunLoop); }

void QFRunLoop::run(std::function<void()> poll) {
    setIsSuspend(false);
    auto self = shared_from_this();
    platform::GlobalQueue::async([self, poll = std::move(poll)] {
        std::chrono::microseconds pause = kFirstPause;
        while (!self->isSuspend()) {
            poll();
            if (self->isSuspend()) break;
            std::this_thread::sleep_for(pause);
            pause = std::min<std::chrono::microseconds>(pause * 2, kLongestPause);
        }
    });
}

void QFRunLoop::stop(std::function<void()> finalBlock) {
    setIsSuspend(true);
    platform::MainQueue::async([finalBlock = std::move(finalBlock)] {
        if (finalBlock) finalBlock();
    });
}

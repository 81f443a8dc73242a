#pragma once
// The two queues the system runs on. The main queue runs every engine
// operation, continuation and user-interface change; it is pumped by a small
// loop (tests, command-line programs) or bound to a toolkit's event loop
// through setWakeup. The global queue runs waiters and output readers: each
// job gets a thread, idle threads are reused, so a job that blocks never
// holds up another.
#include <chrono>
#include <functional>

namespace platform {

class MainQueue {
public:
    static void async(std::function<void()> work);
    // The thread that drains the queue. Set by the first bind or pump.
    static void bindToCurrentThread();
    static bool isMainThread();
    // Called (from any thread) after each async, so that an event loop can
    // schedule a drain. Empty restores plain pumping.
    static void setWakeup(std::function<void()> wakeup);
    // Runs the work queued so far; returns how many ran.
    static size_t drain();
    // Pumps until done() holds or the time is up; answers done().
    static bool runUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::hours(24));
};

class GlobalQueue {
public:
    static void async(std::function<void()> work);
};

}  // namespace platform

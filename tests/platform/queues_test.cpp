#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/queues.h"
#include "testkit/testkit.h"

using platform::GlobalQueue;
using platform::MainQueue;

TEST(Queues, WorkFromOtherThreadsRunsOnTheMainThreadInOrder) {
    std::vector<int> seen;
    std::atomic<bool> allOnMain{true};
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i)
            MainQueue::async([&, i] {
                if (!MainQueue::isMainThread()) allOnMain = false;
                seen.push_back(i);
            });
    });
    producer.join();
    ASSERT_TRUE(testkit::pumpUntil([&] { return seen.size() == 100; }));
    EXPECT_TRUE(allOnMain);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
}

TEST(Queues, GlobalJobsThatBlockNeverHoldUpOthers) {
    // A waiter may block its worker for the whole life of a child process;
    // a reader started after it must still run.
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> finished{0};
    for (int i = 0; i < 8; ++i)
        GlobalQueue::async([released, &finished] {
            released.wait();
            ++finished;
        });
    std::atomic<bool> ran{false};
    GlobalQueue::async([&] { ran = true; });
    ASSERT_TRUE(testkit::pumpUntil([&] { return ran.load(); }, std::chrono::seconds(10)));
    release.set_value();
    ASSERT_TRUE(testkit::pumpUntil([&] { return finished == 8; }, std::chrono::seconds(10)));
}

TEST(Queues, WakeupIsCalledForEveryPost) {
    std::atomic<int> wakeups{0};
    MainQueue::setWakeup([&] { ++wakeups; });
    MainQueue::async([] {});
    MainQueue::async([] {});
    MainQueue::setWakeup(nullptr);
    EXPECT_EQ(wakeups.load(), 2);
    EXPECT_EQ(MainQueue::drain(), 2u);
}

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/queues.h"
#include "support/QFRunLoop.h"
#include "testkit/testkit.h"

TEST(QFRunLoop, StopFromTheFirstPollDeliversTheFinalBlockOnceOnTheMainQueue) {
    auto loop = QFRunLoop::create();
    std::atomic<int> polls{0};
    std::atomic<bool> polledOnMain{false};
    int finals = 0;
    bool finalOnMain = false;
    loop->run([&, loop] {
        polledOnMain = platform::MainQueue::isMainThread();
        ++polls;
        loop->stop([&] {
            ++finals;
            finalOnMain = platform::MainQueue::isMainThread();
        });
    });
    ASSERT_TRUE(testkit::pumpUntil([&] { return finals > 0; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    platform::MainQueue::drain();
    EXPECT_EQ(polls.load(), 1);
    EXPECT_EQ(finals, 1);
    EXPECT_TRUE(finalOnMain);
    EXPECT_FALSE(polledOnMain.load());
    EXPECT_TRUE(loop->isSuspend());
}

TEST(QFRunLoop, PollsUntilTheCallbackDecidesToStop) {
    auto loop = QFRunLoop::create();
    std::atomic<int> polls{0};
    bool done = false;
    loop->run([&, loop] {
        if (++polls == 5) loop->stop([&] { done = true; });
    });
    ASSERT_TRUE(testkit::pumpUntil([&] { return done; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(polls.load(), 5);
}

TEST(QFRunLoop, TwoWaitersDeliverInTheOrderOfTheirStops) {
    auto first = QFRunLoop::create();
    auto second = QFRunLoop::create();
    std::atomic<bool> releaseFirst{false};
    std::vector<int> order;
    first->run([&, first] {
        if (releaseFirst) first->stop([&] { order.push_back(1); });
    });
    second->run([&, second] {
        second->stop([&] { order.push_back(2); });
        releaseFirst = true;
    });
    ASSERT_TRUE(testkit::pumpUntil([&] { return order.size() == 2; }, std::chrono::seconds(10)));
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
}

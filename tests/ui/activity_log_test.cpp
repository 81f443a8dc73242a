// The activity log: line format, colours, order across threads, scrolling.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "FakeView.h"
#include "platform/queues.h"

using fakeview::View;
using ui::LogColor;

TEST(ActivityLog, LineIsAGrayTimeStampThenTheMessageInItsColour) {
    View view;
    view.controller->addLog("Unzip ipa file succeeded", LogColor::black);
    // Nothing is in the view before the main queue runs the line.
    EXPECT_TRUE(view.logField.runs.empty());
    platform::MainQueue::drain();

    ASSERT_EQ(view.logField.runs.size(), 2u);
    EXPECT_EQ(view.logField.runs[0].color, LogColor::gray);
    EXPECT_TRUE(std::regex_match(view.logField.runs[0].text,
                                 std::regex(R"(\[\d\d/\d\d \d\d:\d\d:\d\d \d\d\d\])")))
        << view.logField.runs[0].text;
    EXPECT_EQ(view.logField.runs[1].text, " Unzip ipa file succeeded\n");
    EXPECT_EQ(view.logField.runs[1].color, LogColor::black);
    // Scrolled to the very end of the text.
    ASSERT_EQ(view.logField.scrolledTo.size(), 1u);
    EXPECT_EQ(view.logField.scrolledTo[0], view.logField.length());
}

TEST(ActivityLog, MessagesAreShownAsTheyAre) {
    View view;
    view.controller->addLog("", LogColor::red);
    view.controller->addLog("100% %@ %d %s %n", LogColor::orange);
    view.controller->addLog("two\nlines", LogColor::green);
    platform::MainQueue::drain();
    ASSERT_EQ(view.logField.runs.size(), 6u);
    EXPECT_EQ(view.logField.runs[1].text, " \n");
    EXPECT_EQ(view.logField.runs[3].text, " 100% %@ %d %s %n\n");
    EXPECT_EQ(view.logField.runs[3].color, LogColor::orange);
    EXPECT_EQ(view.logField.runs[5].text, " two\nlines\n");
    // Every line scrolls to the end, even when the user had scrolled away.
    EXPECT_EQ(view.logField.scrolledTo.size(), 3u);
    EXPECT_EQ(view.logField.scrolledTo.back(), view.logField.length());
}

TEST(ActivityLog, LinesFromOtherThreadsKeepEachThreadsOrder) {
    View view;
    constexpr int kThreads = 4, kLines = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                view.controller->addLog("t" + std::to_string(t) + " " + std::to_string(i),
                                        i % 2 ? LogColor::red : LogColor::black);
        });
    }
    for (auto& th : threads) th.join();
    auto lines = view.lines();
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        // "black: t2 17"
        auto colon = line.find(": t");
        int t = line[colon + 3] - '0';
        int i = std::stoi(line.substr(colon + 5));
        EXPECT_EQ(i, next[t]) << line;
        EXPECT_EQ(line.substr(0, colon), i % 2 ? "red" : "black");
        next[t] = i + 1;
    }
}

TEST(ActivityLog, PendingLineKeepsTheControllerAlive) {
    fakeview::TextView log;
    std::weak_ptr<ViewController> weak;
    {
        auto controller = ViewController::create();
        controller->setLogField(&log);
        weak = controller;
        controller->addLog("late", LogColor::black);
    }
    EXPECT_FALSE(weak.expired());
    platform::MainQueue::drain();
    EXPECT_TRUE(weak.expired());
    ASSERT_EQ(log.runs.size(), 2u);
    EXPECT_EQ(log.runs[1].text, " late\n");
}

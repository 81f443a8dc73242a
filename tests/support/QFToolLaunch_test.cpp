#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "platform/queues.h"
#include "support/QFToolLaunch.h"
#include "testkit/testkit.h"

namespace {
// Launches and pumps the main queue until the completion has run.
std::optional<QFToolLaunchResult> launchAndWait(const QFToolLaunchRequest& request, bool* onMain = nullptr) {
    std::optional<QFToolLaunchResult> outcome;
    bool launched = QFLaunchTool(request, [&](QFToolLaunchResult result) {
        if (onMain) *onMain = platform::MainQueue::isMainThread();
        outcome = std::move(result);
    });
    if (!launched) return std::nullopt;
    EXPECT_TRUE(testkit::pumpUntil([&] { return outcome.has_value(); }, std::chrono::seconds(30)));
    return outcome;
}
}  // namespace

TEST(QFToolLaunch, AToolThatCannotStartAnswersFalseAndNeverCompletes) {
    const QFToolLaunchRequest requests[] = {
        {"/nonexistent/tool", {}, "", true},
        {"/bin/sh", {"-c", "true"}, "/nonexistent/folder", false},
    };
    for (const auto& request : requests) {
        bool completed = false;
        EXPECT_FALSE(QFLaunchTool(request, [&](QFToolLaunchResult) { completed = true; })) << request.launchPath;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        platform::MainQueue::drain();
        EXPECT_FALSE(completed) << request.launchPath;
    }
}

TEST(QFToolLaunch, ReportsTheExitStatusAndASignalAs128PlusItsNumber) {
    const struct {
        const char* script;
        int status;
    } cases[] = {{"exit 0", 0}, {"exit 3", 3}, {"kill -9 $$", 128 + 9}};
    for (const auto& c : cases) {
        auto result = launchAndWait({"/bin/sh", {"-c", c.script}, "", false});
        ASSERT_TRUE(result) << c.script;
        EXPECT_EQ(result->status, c.status) << c.script;
        EXPECT_TRUE(result->output.empty()) << c.script;
    }
}

TEST(QFToolLaunch, CapturesBothStreamsWholeAndUndecodedInTheWorkingDirectory) {
    // More than a pipe holds, so the tool can only end once the reader has
    // drained it; a byte that is not UTF-8 must arrive as it was written.
    auto result = launchAndWait(
        {"/bin/sh", {"-c", "pwd; printf 'err\\377\\n' >&2; head -c 200000 /dev/zero | tr '\\0' x; exit 5"}, "/tmp", true});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 5);
    const std::string head = "/tmp\nerr\xff\n";
    ASSERT_EQ(result->output.size(), head.size() + 200000);
    EXPECT_EQ(result->output.substr(0, head.size()), head);
    EXPECT_EQ(result->output.find_first_not_of('x', head.size()), std::string::npos);
}

TEST(QFToolLaunch, CompletesOnceOnTheMainQueueAfterTheToolHasEnded) {
    bool onMain = false;
    int completions = 0;
    std::optional<QFToolLaunchResult> outcome;
    ASSERT_TRUE(QFLaunchTool({"/bin/sh", {"-c", "sleep 0.2; echo late"}, "", true}, [&](QFToolLaunchResult result) {
        onMain = platform::MainQueue::isMainThread();
        ++completions;
        outcome = std::move(result);
    }));
    ASSERT_TRUE(testkit::pumpUntil([&] { return outcome.has_value(); }, std::chrono::seconds(30)));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    platform::MainQueue::drain();
    EXPECT_TRUE(onMain);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(outcome->output, "late\n");
}

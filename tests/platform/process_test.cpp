#include <gtest/gtest.h>

#include "platform/process.h"
#include "testkit/testkit.h"

using platform::Task;

TEST(Task, CapturesStandardOutputAndErrorInOnePipe) {
    Task task("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"});
    task.setCapturesOutput(true);
    ASSERT_TRUE(task.launch());
    std::string out = platform::readToEnd(task.takeOutputDescriptor());
    task.waitUntilExit();
    EXPECT_FALSE(task.isRunning());
    EXPECT_EQ(task.terminationStatus(), 3);
    EXPECT_NE(out.find("out\n"), std::string::npos);
    EXPECT_NE(out.find("err\n"), std::string::npos);
}

TEST(Task, ArgumentsArePassedVerbatimWithoutAShell) {
    Task task("/bin/echo", {"a b", "$HOME", "*", "\"q\""});
    task.setCapturesOutput(true);
    ASSERT_TRUE(task.launch());
    EXPECT_EQ(platform::readToEnd(task.takeOutputDescriptor()), "a b $HOME * \"q\"\n");
}

TEST(Task, WorkingDirectoryAndClosedStandardInput) {
    std::string dir = testkit::makeScratchDir("cwd");
    Task task("/bin/sh", {"-c", "pwd; cat; echo end"});
    task.setCurrentDirectoryPath(dir);
    task.setCapturesOutput(true);
    ASSERT_TRUE(task.launch());
    EXPECT_EQ(platform::readToEnd(task.takeOutputDescriptor()), dir + "\nend\n") << "stdin must read as empty";
}

TEST(Task, ProgramsThatCannotStartAreReportedAtLaunch) {
    std::string dir = testkit::makeScratchDir("bad");
    testkit::writeFile(dir + "/plain", "#!/bin/sh\n");  // not executable
    Task missing(dir + "/missing", {});
    EXPECT_FALSE(missing.launch());
    Task notExecutable(dir + "/plain", {});
    EXPECT_FALSE(notExecutable.launch());
    Task badDirectory("/bin/true", {});
    badDirectory.setCurrentDirectoryPath(dir + "/no-such-folder");
    EXPECT_FALSE(badDirectory.launch());
    EXPECT_FALSE(badDirectory.isRunning());
    EXPECT_EQ(badDirectory.terminationStatus(), -1);
}

TEST(Task, SignalsGiveANonZeroStatus) {
    Task task("/bin/sh", {"-c", "kill -9 $$"});
    ASSERT_TRUE(task.launch());
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 128 + 9);
}

TEST(Task, OutputEndsWhenTheChildEndsEvenWithOtherChildrenRunning) {
    // A second child started while the first one's pipe is open must not
    // inherit its writing end (that would keep the first reader waiting).
    Task slow("/bin/sleep", {"5"});
    Task quick("/bin/echo", {"done"});
    quick.setCapturesOutput(true);
    ASSERT_TRUE(quick.launch());
    ASSERT_TRUE(slow.launch());
    EXPECT_EQ(platform::readToEnd(quick.takeOutputDescriptor()), "done\n");
    kill(slow.processIdentifier(), SIGKILL);
    slow.waitUntilExit();
}

// The notify command's supervisor with real commands: how they ended, the tail of their output,
// and a child that left the command's session still ended at the limit.

#include "platform/supervised_command.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace {

platform::CommandReport RunArgv(const std::vector<std::string>& argv, uint32_t limitMs) {
    int error = 0;
    auto command = platform::SupervisedCommand::Start(argv, {}, limitMs, &error);
    EXPECT_NE(command, nullptr) << error;
    platform::CommandReport report;
    while (command && !command->ReadReport(&report)) {
        pollfd ready{command->ReportFd(), POLLIN, 0};
        poll(&ready, 1, -1);
    }
    return report;
}

platform::CommandReport RunScript(const std::string& script, uint32_t limitMs) {
    return RunArgv({"/bin/sh", "-c", script}, limitMs);
}

TEST(SupervisedCommand, ReportsTheEndAndTheOutputsTail) {
    platform::CommandReport report = RunScript("printf 'first\\nsecond\\n'; exit 3", 10000);
    EXPECT_EQ(report.end, platform::CommandEnd::Exited);
    EXPECT_EQ(report.code, 3);
    EXPECT_EQ(report.outputTail, "first\nsecond\n");

    report = RunScript("head -c 100000 /dev/zero | tr '\\0' x; echo end >&2", 10000);
    EXPECT_EQ(report.outputBytes, 100004u);
    ASSERT_EQ(report.outputTail.size(), platform::SupervisedCommand::kOutputTailBytes);
    EXPECT_EQ(report.outputTail.substr(report.outputTail.size() - 5), "xend\n");

    report = RunArgv({"/nonexistent/hook"}, 10000);
    EXPECT_EQ(report.end, platform::CommandEnd::NotStarted);
    EXPECT_EQ(report.code, ENOENT);
}

// The child runs in a session of its own, outside the command's process group, after the command
// has ended: the supervisor, its subreaper, still ends it at the limit.
TEST(SupervisedCommand, AChildThatLeftTheSessionIsEndedAtTheLimit) {
    TempFolder folder;
    const std::string pidFile = folder / "pid";
    const platform::CommandReport report =
        RunScript("setsid sleep 100 </dev/null >/dev/null 2>&1 & echo $! >" + pidFile, 1000);
    EXPECT_EQ(report.end, platform::CommandEnd::TimedOut);
    const pid_t child = std::stoi(ReadFile(pidFile));
    EXPECT_TRUE(kill(child, 0) != 0 && errno == ESRCH) << "the child still runs";
}

}  // namespace

#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// How a supervised command ended. `code` is the exit status, the signal, or the errno of a
// command that could not be started.
enum class CommandEnd : int32_t { Exited = 0, Signalled = 1, TimedOut = 2, NotStarted = 3 };
struct CommandReport {
    CommandEnd end = CommandEnd::Exited;
    int32_t code = 0;
    uint64_t outputBytes = 0;  // what the command wrote to its standard output and error
    std::string outputTail;    // the last of it, at most kOutputTailBytes
};

// A command run apart from the program, like `timeout`: a supervisor process of its own starts
// it in a new session, with standard input from /dev/null and its output in a pipe that the
// supervisor drains (keeping only its tail), and is the subreaper of every process the command
// starts. After the limit it sends SIGTERM (SIGKILL a grace period later) to the command's process
// group and to each of those processes still there, even when the command itself has ended; then
// it reports how it ended, and the tail, through a pipe. Nothing here waits: the program reads
// the pipe when it is readable, and a supervisor outliving the program still enforces the limit.
class SupervisedCommand {
public:
    static constexpr uint32_t kKillGraceMs = 5000;
    static constexpr size_t kOutputTailBytes = 4096;

    // Starts `argv` (argv[0] looked up on PATH when it has no '/') with our environment plus
    // `environment` (NAME=value, replacing the same names). On failure returns null with *error
    // set to the errno.
    static std::unique_ptr<SupervisedCommand> Start(const std::vector<std::string>& argv,
                                                    const std::vector<std::string>& environment,
                                                    uint32_t limitMs, int* error);
    // Takes over a started supervisor and the read end of its report pipe (Start makes them).
    SupervisedCommand(pid_t supervisor, int reportFd)
        : m_supervisor(supervisor), m_reportFd(reportFd) {}
    ~SupervisedCommand();
    SupervisedCommand(const SupervisedCommand&) = delete;
    SupervisedCommand& operator=(const SupervisedCommand&) = delete;

    // Readable when a report or the end of the supervisor has arrived.
    int ReportFd() const { return m_reportFd; }
    // Reads what has arrived; true once the supervisor has ended (then reaped) and *report holds
    // how the command ended.
    bool ReadReport(CommandReport* report);

private:
    void TakeRecords();

    pid_t m_supervisor;
    int m_reportFd;
    std::string m_received;  // the report pipe's bytes so far
    CommandReport m_report;
};

}  // namespace platform

#include "platform/supervised_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace platform {
namespace {

// The descriptor the report pipe gets in the supervisor and the command.
constexpr int kReportFd = 3;
constexpr int kNotFoundExit = 127;
// A report record that is no end: the command's output tail follows it (its length in `code`,
// then the total of bytes it wrote as 64 bits, then the tail).
constexpr int32_t kOutputRecord = 100;
// More than the supervisor ever writes; a guard for what the program keeps.
constexpr size_t kMaxReportBytes = 4 * SupervisedCommand::kOutputTailBytes;

// Where the program would be run from: the name itself when it has a '/', else the first
// executable file of that name on PATH.
std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string candidate = folders.substr(start, end - start);
        candidate = (candidate.empty() ? "." : candidate) + "/" + name;
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return std::string();
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& added) {
    std::vector<std::string> merged;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text = *entry;
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& own : added) replaced = replaced || own.rfind(name, 0) == 0;
        if (!replaced) merged.push_back(text);
    }
    merged.insert(merged.end(), added.begin(), added.end());
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Only async-signal-safe calls from here on: the program has other threads when it forks.

void Report(CommandEnd end, int32_t code) {
    const int32_t record[2] = {static_cast<int32_t>(end), code};
    (void)!write(kReportFd, record, sizeof record);
}

void KeepOnlyReportAndStandardFds(int reportFd) {
    if (reportFd != kReportFd) {
        dup2(reportFd, kReportFd);
        close(reportFd);
    }
    close_range(kReportFd + 1, ~0u, 0);
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        if (devNull > kReportFd) close(devNull);
    }
}

[[noreturn]] void RunCommand(const char* path, char** argv, char** envp, int outputFd) {
    setsid();
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) sigaction(number, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Its output goes to the supervisor, which keeps only a tail: a command that prints without
    // end must not fill the program's log or the disk under it.
    dup2(outputFd, STDOUT_FILENO);
    dup2(outputFd, STDERR_FILENO);
    fcntl(kReportFd, F_SETFD, FD_CLOEXEC);
    execve(path, argv, envp);
    Report(CommandEnd::NotStarted, errno);
    _exit(kNotFoundExit);
}

int64_t NowMs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// The last bytes of the command's output, and how many it wrote in all.
struct OutputTail {
    char bytes[SupervisedCommand::kOutputTailBytes];
    uint64_t total = 0;

    // Reads what is there; false once every writer has gone.
    bool Read(int fd) {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0) return errno == EINTR || errno == EAGAIN;
            if (got == 0) return false;
            for (ssize_t i = 0; i < got; ++i) bytes[total++ % sizeof bytes] = buffer[i];
        }
    }
    void Send() const {
        const size_t kept = total < sizeof bytes ? size_t(total) : sizeof bytes;
        const int32_t record[2] = {kOutputRecord, static_cast<int32_t>(kept)};
        (void)!write(kReportFd, record, sizeof record);
        (void)!write(kReportFd, &total, sizeof total);
        const size_t start = size_t(total % sizeof bytes);
        if (kept < sizeof bytes) {
            (void)!write(kReportFd, bytes, kept);
        } else {
            (void)!write(kReportFd, bytes + start, sizeof bytes - start);
            (void)!write(kReportFd, bytes, start);
        }
    }
};

// Sends `signal` to the command's process group and to every process of ours that has left it
// (the supervisor is their subreaper, so those that lost their parent are its children).
void SignalAll(pid_t group, int signal) {
    kill(-group, signal);
    char path[64] = "/proc/self/task/";
    size_t length = sizeof "/proc/self/task/" - 1;
    char digits[16];
    size_t count = 0;
    for (pid_t self = getpid(); self > 0; self /= 10) digits[count++] = char('0' + self % 10);
    while (count > 0) path[length++] = digits[--count];
    const char kChildren[] = "/children";
    for (char c : kChildren) path[length++] = c;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char list[4096];
    const ssize_t got = read(fd, list, sizeof list - 1);
    close(fd);
    pid_t child = 0;
    for (ssize_t i = 0; i < got; ++i) {
        if (list[i] >= '0' && list[i] <= '9') {
            child = child * 10 + (list[i] - '0');
        } else if (child > 0) {
            kill(child, signal);
            kill(-child, signal);
            child = 0;
        }
    }
}

// Reaps every process of ours that has ended; true once none is left.
bool ReapAll(pid_t command, int* commandStatus) {
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended < 0) return errno == ECHILD;
        if (ended == 0) return false;
        if (ended == command) *commandStatus = status;
    }
}

// Runs the command and waits until every process it started has ended: a child it left behind
// in the background counts against the limit like the command itself.
[[noreturn]] void Supervise(const char* path, char** argv, char** envp, uint32_t limitMs) {
    setsid();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childEnded, nullptr);
    const int childSignals = signalfd(-1, &childEnded, SFD_CLOEXEC | SFD_NONBLOCK);
    int output[2] = {-1, -1};
    if (pipe2(output, O_CLOEXEC) != 0) {
        Report(CommandEnd::NotStarted, errno);
        _exit(1);
    }
    const pid_t command = fork();
    if (command == 0) RunCommand(path, argv, envp, output[1]);
    close(output[1]);
    fcntl(output[0], F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);  // the program may be gone when the report is written
    if (command < 0) {
        Report(CommandEnd::NotStarted, errno);
        _exit(1);
    }
    OutputTail tail;
    int64_t nextStep = NowMs() + limitMs;
    int signalToSend = SIGTERM;
    bool timedOut = false;
    int status = 0;
    int outputFd = output[0];
    // Without a signal descriptor the end of a process is seen at the next look; with one, the
    // wait stays within what poll takes.
    const int64_t longestWaitMs = childSignals >= 0 ? 60000 : 100;
    // A pipe still open once every process has ended is held elsewhere: not waited for past the
    // limit.
    while (!ReapAll(command, &status) || (outputFd >= 0 && !timedOut)) {
        const int64_t now = NowMs();
        if (now >= nextStep) {
            SignalAll(command, signalToSend);
            timedOut = true;
            signalToSend = SIGKILL;
            nextStep = now + SupervisedCommand::kKillGraceMs;
            continue;
        }
        struct pollfd ready[2] = {{outputFd, POLLIN, 0}, {childSignals, POLLIN, 0}};
        poll(ready, 2, static_cast<int>(std::min(nextStep - now, longestWaitMs)));
        if (outputFd >= 0 && ready[0].revents != 0 && !tail.Read(outputFd)) {
            close(outputFd);
            outputFd = -1;
        }
        struct signalfd_siginfo drained[8];
        while (read(childSignals, drained, sizeof drained) > 0) {
        }
    }
    if (outputFd >= 0) tail.Read(outputFd);
    if (tail.total > 0) tail.Send();
    if (timedOut) {
        Report(CommandEnd::TimedOut, 0);
    } else if (WIFSIGNALED(status)) {
        Report(CommandEnd::Signalled, WTERMSIG(status));
    } else {
        Report(CommandEnd::Exited, WEXITSTATUS(status));
    }
    _exit(0);
}

}  // namespace

std::unique_ptr<SupervisedCommand> SupervisedCommand::Start(
    const std::vector<std::string>& argv, const std::vector<std::string>& environment,
    uint32_t limitMs, int* error) {
    *error = argv.empty() ? ENOENT : 0;
    const std::string path = argv.empty() ? std::string() : FindProgram(argv[0]);
    if (path.empty()) {
        *error = ENOENT;
        return nullptr;
    }
    std::vector<std::string> arguments = argv;
    std::vector<std::string> variables = MergedEnvironment(environment);
    std::vector<char*> argPointers = Pointers(arguments);
    std::vector<char*> envPointers = Pointers(variables);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *error = errno;
        return nullptr;
    }
    const pid_t supervisor = fork();
    if (supervisor == 0) {
        KeepOnlyReportAndStandardFds(report[1]);
        Supervise(path.c_str(), argPointers.data(), envPointers.data(), limitMs);
    }
    const int forkError = errno;
    close(report[1]);
    if (supervisor < 0) {
        close(report[0]);
        *error = forkError;
        return nullptr;
    }
    fcntl(report[0], F_SETFL, O_NONBLOCK);
    return std::make_unique<SupervisedCommand>(supervisor, report[0]);
}

SupervisedCommand::~SupervisedCommand() {
    // A supervisor still running is left to finish its command; it is reaped by whoever
    // inherits it when the program ends.
    close(m_reportFd);
}

bool SupervisedCommand::ReadReport(CommandReport* report) {
    for (;;) {
        char buffer[4096];
        const ssize_t got = read(m_reportFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;  // nothing more yet
        if (got == 0) break;
        const size_t room = kMaxReportBytes - std::min(kMaxReportBytes, m_received.size());
        m_received.append(buffer, std::min(room, size_t(got)));
    }
    TakeRecords();
    int status = 0;
    while (waitpid(m_supervisor, &status, 0) < 0 && errno == EINTR) {
    }
    *report = m_report;
    return true;
}

void SupervisedCommand::TakeRecords() {
    bool notStarted = false;
    for (size_t at = 0; at + 2 * sizeof(int32_t) <= m_received.size();) {
        int32_t record[2];
        std::memcpy(record, m_received.data() + at, sizeof record);
        at += sizeof record;
        if (record[0] == kOutputRecord) {
            uint64_t total = 0;
            if (at + sizeof total > m_received.size()) break;
            std::memcpy(&total, m_received.data() + at, sizeof total);
            at += sizeof total;
            const size_t kept = std::min(size_t(std::max(record[1], 0)), m_received.size() - at);
            m_report.outputBytes = total;
            m_report.outputTail = m_received.substr(at, kept);
            at += kept;
            continue;
        }
        // The command's own "could not start" outranks the exit status that follows it.
        if (!notStarted) {
            m_report.end = static_cast<CommandEnd>(record[0]);
            m_report.code = record[1];
        }
        notStarted = notStarted || m_report.end == CommandEnd::NotStarted;
    }
}

}  // namespace platform

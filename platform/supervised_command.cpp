#include "platform/supervised_command.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace platform {
namespace {

// The descriptor the report pipe gets in the supervisor and the command.
constexpr int kReportFd = 3;
constexpr int kNotFoundExit = 127;

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

[[noreturn]] void RunCommand(const char* path, char** argv, char** envp) {
    setsid();
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) sigaction(number, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The program's standard output may carry its status lines; the command's output belongs
    // with the diagnostics.
    dup2(STDERR_FILENO, STDOUT_FILENO);
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

[[noreturn]] void Supervise(const char* path, char** argv, char** envp, uint32_t limitMs) {
    setsid();
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childEnded, nullptr);
    const pid_t command = fork();
    if (command == 0) RunCommand(path, argv, envp);
    signal(SIGPIPE, SIG_IGN);  // the program may be gone when the report is written
    if (command < 0) {
        Report(CommandEnd::NotStarted, errno);
        _exit(1);
    }
    int64_t nextStep = NowMs() + limitMs;
    int signalToSend = SIGTERM;
    bool timedOut = false;
    int status = 0;
    while (waitpid(command, &status, WNOHANG) == 0) {
        const int64_t now = NowMs();
        if (now >= nextStep) {
            kill(-command, signalToSend);
            kill(command, signalToSend);
            timedOut = true;
            signalToSend = SIGKILL;
            nextStep = now + SupervisedCommand::kKillGraceMs;
            continue;
        }
        const int64_t waitMs = nextStep - now;
        struct timespec wait = {static_cast<time_t>(waitMs / 1000),
                                static_cast<long>(waitMs % 1000) * 1000000};
        sigtimedwait(&childEnded, nullptr, &wait);
    }
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
        int32_t record[2];
        const ssize_t got = read(m_reportFd, record, sizeof record);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;  // nothing more yet
        if (got == 0) break;
        if (got != sizeof record) continue;
        const CommandReport received{static_cast<CommandEnd>(record[0]), record[1]};
        // The command's own "could not start" outranks the exit status that follows it.
        if (!m_notStarted) m_report = received;
        m_notStarted = m_notStarted || received.end == CommandEnd::NotStarted;
    }
    int status = 0;
    while (waitpid(m_supervisor, &status, 0) < 0 && errno == EINTR) {
    }
    *report = m_report;
    return true;
}

}  // namespace platform

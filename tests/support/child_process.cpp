#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/clock.h"

extern char** environ;

ChildProcess::ChildProcess(std::vector<std::string> argv, std::vector<std::string> environment)
    : m_argv(std::move(argv)), m_environment(std::move(environment)) {}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && Running()) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_stdin, m_stdoutFd, m_stderrFd}) {
        if (fd >= 0) close(fd);
    }
}

bool ChildProcess::Start() {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return false;
    m_pid = fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (const std::string& entry : m_environment) putenv(strdup(entry.c_str()));
        std::vector<char*> args;
        for (std::string& arg : m_argv) args.push_back(arg.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    m_stdin = in[1];
    m_stdoutFd = out[0];
    m_stderrFd = err[0];
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void ChildProcess::WriteStdin(const std::string& text) {
    if (m_stdin >= 0) {
        ssize_t written = write(m_stdin, text.data(), text.size());
        (void)written;
    }
}

void ChildProcess::CloseStdin() {
    if (m_stdin >= 0) close(m_stdin);
    m_stdin = -1;
}

bool ChildProcess::ReadSome(int timeoutMs) {
    pollfd fds[2] = {{m_stdoutFd, POLLIN, 0}, {m_stderrFd, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return false;
    bool any = false;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
        ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
        if (count > 0) {
            (i == 0 ? m_stdout : m_stderr).append(buffer, static_cast<size_t>(count));
            any = true;
        } else {
            close(fds[i].fd);
            (i == 0 ? m_stdoutFd : m_stderrFd) = -1;
        }
    }
    return any;
}

bool ChildProcess::WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    long long deadline = MonotonicMs() + timeoutMs;
    while (!done()) {
        long long left = deadline - MonotonicMs();
        if (left <= 0 || (m_stdoutFd < 0 && m_stderrFd < 0)) return false;
        ReadSome(static_cast<int>(left));
    }
    return true;
}

bool ChildProcess::WaitForStdoutLine(const std::string& line, int timeoutMs, size_t from) {
    return WaitForStdoutLineIndex(line, timeoutMs, from) != std::string::npos;
}

size_t ChildProcess::WaitForStdoutLineIndex(const std::string& line, int timeoutMs, size_t from) {
    size_t index = std::string::npos;
    WaitUntil(
        [&] {
            std::vector<std::string> lines = StdoutLines();
            auto at =
                std::find(lines.begin() + long(std::min(from, lines.size())), lines.end(), line);
            if (at == lines.end()) return false;
            index = size_t(at - lines.begin());
            return true;
        },
        timeoutMs);
    return index;
}

std::vector<std::string> ChildProcess::WaitForStdoutLines(size_t count, int timeoutMs) {
    WaitUntil([&] { return StdoutLines().size() >= count; }, timeoutMs);
    return StdoutLines();
}

bool ChildProcess::WaitForStderr(const std::string& text, int timeoutMs) {
    return WaitUntil([&] { return m_stderr.find(text) != std::string::npos; }, timeoutMs);
}

std::vector<std::string> ChildProcess::StdoutLines() const {
    std::vector<std::string> lines;
    std::istringstream in(m_stdout);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (!m_stdout.empty() && m_stdout.back() != '\n') lines.pop_back();  // incomplete last line
    return lines;
}

bool ChildProcess::Running() {
    if (m_pid <= 0 || m_exitStatus >= 0) return false;
    int status = 0;
    rusage usage{};
    pid_t done = wait4(m_pid, &status, WNOHANG, &usage);
    if (done == 0) return true;
    m_cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                   (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

int ChildProcess::WaitForExit(int timeoutMs) {
    long long deadline = MonotonicMs() + timeoutMs;
    while (Running()) {
        if (MonotonicMs() >= deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_exitStatus = -1;
            return -1;
        }
        if (!ReadSome(20)) usleep(1000);
    }
    while (ReadSome(0)) {
    }
    return m_exitStatus;
}

int ChildProcess::Stop(int timeoutMs) {
    if (Running()) kill(m_pid, SIGTERM);
    return WaitForExit(timeoutMs);
}

TempFolder::TempFolder() {
    char pattern[] = "/tmp/vantoro-test-XXXXXX";
    m_path = mkdtemp(pattern) ? pattern : "/tmp";
}

TempFolder::~TempFolder() {
    if (m_path.rfind("/tmp/vantoro-test-", 0) == 0) {
        std::string command = "rm -rf '" + m_path + "'";
        int result = std::system(command.c_str());
        (void)result;
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

std::string BuildFolder() { return VANTORO_BUILD_DIR; }

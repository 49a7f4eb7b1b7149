#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Runs a program for a test: environment additions, standard input, captured output, time-outs.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> argv, std::vector<std::string> environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start();
    void WriteStdin(const std::string& text);
    void CloseStdin();
    // Reads output until a stdout line equal to `line`, from line `from` on (or stderr containing
    // `text`) shows up.
    bool WaitForStdoutLine(const std::string& line, int timeoutMs, size_t from = 0);
    // As WaitForStdoutLine; the index of that line (a `from` for what follows it), or npos.
    size_t WaitForStdoutLineIndex(const std::string& line, int timeoutMs, size_t from = 0);
    // Reads output until there are `count` stdout lines; the lines there are then.
    std::vector<std::string> WaitForStdoutLines(size_t count, int timeoutMs);
    bool WaitForStderr(const std::string& text, int timeoutMs);
    // Reads output until `done` holds; false when it does not in time or the output ends.
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs);
    // Exit status, or -1 when it did not end in time (then it is killed).
    int WaitForExit(int timeoutMs);
    bool Running();
    // Asks it to end (SIGTERM) and waits like WaitForExit.
    int Stop(int timeoutMs);
    // User and system CPU time it used, known once it has ended.
    double CpuSeconds() const { return m_cpuSeconds; }
    pid_t Pid() const { return m_pid; }

    const std::string& Stdout() const { return m_stdout; }
    const std::string& Stderr() const { return m_stderr; }
    std::vector<std::string> StdoutLines() const;

private:
    bool ReadSome(int timeoutMs);

    std::vector<std::string> m_argv;
    std::vector<std::string> m_environment;
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdoutFd = -1;
    int m_stderrFd = -1;
    int m_exitStatus = -1;
    double m_cpuSeconds = 0;
    std::string m_stdout;
    std::string m_stderr;
};

// A fresh temporary folder, removed with its contents at the end of the test.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
// Folder of the test binaries' build tree root (where vantoro and the tools are).
std::string BuildFolder();

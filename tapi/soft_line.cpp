#include "tapi/soft_line.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/ini_reader.h"
#include "platform/runtime_folder.h"
#include "platform/thread_annotations.h"
#include "tapi/line_config.h"

namespace tapi {
namespace {

constexpr int kLinkWaitMs = 5000;
constexpr int kPollMs = 50;
constexpr int kKeeperPollMs = 1000;
// A part that ends is started again after a pause. While it keeps ending soon after it started (a
// SIP port another program holds), the pause doubles up to a minute, so it cannot flood the log.
constexpr int kRestartDelayMs = 2000;
constexpr int kMaxRestartDelayMs = 60000;
constexpr auto kStableRun = std::chrono::seconds(60);
// A bridge that ends this soon after its start this many times in a row cannot start; so can none
// that says its configuration is wrong (sysexits' EX_CONFIG). One that runs this long is up again.
constexpr auto kQuickEnd = std::chrono::seconds(5);
constexpr int kQuickEndsForProblem = 3;
constexpr int kExitConfigError = 78;
// The bridge names its trouble in its own lines, "vantoro-sipline: <reason>".
constexpr char kBridgeLinePrefix[] = "vantoro-sipline: ";
constexpr size_t kMaxReasonBytes = 300;

// The program's folder, where the build puts the soft modem and the bridge too.
std::string ProgramFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    const std::string exe(path, size_t(length));
    return exe.substr(0, exe.rfind('/'));
}

std::string RuntimeFolder() {
    const platform::RuntimeFolder runtime = platform::FindRuntimeFolder();
    if (!runtime.path.empty()) return runtime.path;
    // Someone else made it (or made it a link): a fresh folder instead, so the line still starts.
    std::string fresh = runtime.refused + ".XXXXXX";
    if (!mkdtemp(fresh.data())) return runtime.refused;
    std::fprintf(stderr, "libtapi32: %s is not a private folder of this user; using %s\n",
                 runtime.refused.c_str(), fresh.c_str());
    return fresh;
}

// Starts `argv`; the child gets SIGTERM when the thread that started it ends, which is the
// keeper thread, which lives as long as the process. With `errorFd` set, the child's standard
// error and output go there, else both to our standard error.
pid_t Spawn(const std::vector<std::string>& argv, int errorFd = -1) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    if (errorFd >= 0) dup2(errorFd, STDERR_FILENO);
    // The program's standard output may carry its status lines: a part's output is diagnostics.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    execv(args[0], args.data());
    _exit(127);
}

// Only printable text, bounded: it reaches the program's window and log.
std::string Printable(const std::string& text) {
    std::string clean;
    for (char c : text.substr(0, kMaxReasonBytes)) clean += c >= 0x20 && c < 0x7f ? c : '?';
    return clean;
}

// A child's standard error read through a pipe: passed on to ours as it comes, and its last line
// that starts with `prefix` kept (without the prefix).
class ErrorTap {
public:
    explicit ErrorTap(const char* prefix) : m_prefix(prefix) {}
    ~ErrorTap() { Close(); }
    ErrorTap(const ErrorTap&) = delete;
    ErrorTap& operator=(const ErrorTap&) = delete;

    // The write end for the child (closed here once the child has it), or -1.
    int Open() {
        Close();
        m_line.clear();
        m_last.clear();  // a line of an earlier run says nothing about this one
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return -1;
        m_fd = ends[0];
        m_childEnd = ends[1];
        fcntl(m_fd, F_SETFL, O_NONBLOCK);
        return m_childEnd;
    }
    void ChildStarted() {
        if (m_childEnd >= 0) close(m_childEnd);
        m_childEnd = -1;
    }
    int Fd() const { return m_fd; }
    // Reads what is there; at its end (every writer gone) the pipe is closed.
    void Drain() {
        char buffer[4096];
        ssize_t got;
        while (m_fd >= 0 && (got = read(m_fd, buffer, sizeof buffer)) != 0) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return;
            (void)!write(STDERR_FILENO, buffer, size_t(got));
            TakeLines(buffer, size_t(got));
        }
        Close();
    }
    const std::string& LastLine() const { return m_last; }

private:
    void TakeLines(const char* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            if (data[i] != '\n') {
                if (m_line.size() < kMaxReasonBytes + sizeof kBridgeLinePrefix) m_line += data[i];
                continue;
            }
            if (m_line.rfind(m_prefix, 0) == 0) m_last = Printable(m_line.substr(m_prefix.size()));
            m_line.clear();
        }
    }
    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
        ChildStarted();
    }

    const std::string m_prefix;
    int m_fd = -1;
    int m_childEnd = -1;
    std::string m_line, m_last;
};

struct KeeperState {
    platform::Mutex mutex;
    std::condition_variable_any ready;
    bool up GUARDED_BY(mutex) = false;
    std::string problem GUARDED_BY(mutex);  // why the SIP line cannot start; empty while it can
    // Held while the listener runs, so that whoever replaces it knows the old one is done.
    platform::Mutex listenerMutex;
    std::function<void()> listener GUARDED_BY(listenerMutex);
};

// Never destroyed: the keeper thread and the line service's own end use it after the statics go.
KeeperState& SharedState() {
    static KeeperState* const state = new KeeperState;
    return *state;
}

pid_t StartModem(const std::vector<std::string>& argv, const std::string& link,
                 KeeperState& state) {
    const pid_t pid = Spawn(argv);
    for (int waited = 0; waited < kLinkWaitMs && access(link.c_str(), F_OK) != 0; waited += kPollMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    platform::MutexLock lock(state.mutex);
    state.up = access(link.c_str(), F_OK) == 0;
    state.ready.notify_all();
    return pid;
}

std::string EndText(int status) {
    return WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                               : "exit status " + std::to_string(WEXITSTATUS(status));
}

// One part the keeper runs: started again when it ends, after its pause. It cannot start when it
// says its configuration is wrong, or keeps ending soon after its start; its last own line says
// why.
class KeptPart {
public:
    using Clock = std::chrono::steady_clock;

    KeptPart(const char* name, std::function<pid_t(int errorFd)> start, const char* linePrefix)
        : m_name(name), m_start(std::move(start)), m_errors(linePrefix), m_tapErrors(*linePrefix) {
        Launch();
    }

    // Its standard error's pipe while it has one, for the keeper to wait on; else -1.
    int ErrorFd() const { return m_errors.Fd(); }
    void DrainErrors() { m_errors.Drain(); }
    const std::string& Problem() const { return m_problem; }

    void KeepRunning(Clock::time_point now) {
        int status = 0;
        if (m_pid > 0 && waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_errors.Drain();  // the reason may still be in the pipe
            const bool ranLong = now - m_startedAt >= kStableRun;
            m_delayMs = ranLong ? kRestartDelayMs : std::min(m_delayMs * 2, kMaxRestartDelayMs);
            std::fprintf(stderr, "libtapi32: the %s ended; starting it again in %d s\n", m_name,
                         m_delayMs / 1000);
            JudgeEnd(status, now - m_startedAt < kQuickEnd);
            m_pid = 0;
            m_restartAt = now + std::chrono::milliseconds(m_delayMs);
        }
        if (m_pid == 0 && now >= m_restartAt) Launch();
        if (m_pid > 0 && now - m_startedAt >= kQuickEnd) {
            m_quickEnds = 0;
            m_problem.clear();
        }
    }

private:
    void Launch() {
        m_pid = m_start(m_tapErrors ? m_errors.Open() : -1);
        m_errors.ChildStarted();
        m_startedAt = Clock::now();
    }
    void JudgeEnd(int status, bool quick) {
        m_quickEnds = quick ? m_quickEnds + 1 : 0;
        const bool configError = WIFEXITED(status) && WEXITSTATUS(status) == kExitConfigError;
        if (!configError && m_quickEnds < kQuickEndsForProblem) return;
        // A refused configuration is named by the bridge; otherwise its last line may be any.
        const std::string& said = m_errors.LastLine();
        if (configError && !said.empty()) {
            m_problem = said;
        } else {
            m_problem = "it ends soon after each start (" + EndText(status) + ")" +
                        (said.empty() ? "" : ": " + said);
        }
    }

    const char* m_name;
    std::function<pid_t(int)> m_start;
    ErrorTap m_errors;
    const bool m_tapErrors;
    pid_t m_pid = 0;
    Clock::time_point m_startedAt, m_restartAt;
    int m_delayMs = kRestartDelayMs / 2;  // the first quick end doubles it to kRestartDelayMs
    int m_quickEnds = 0;
    std::string m_problem;
};

// Tells the listener when the SIP line's problem has changed.
void Publish(KeeperState& state, const std::string& problem) {
    {
        platform::MutexLock lock(state.mutex);
        if (state.problem == problem) return;
        state.problem = problem;
    }
    if (!problem.empty())
        std::fprintf(stderr, "libtapi32: the SIP line cannot start: %s\n", problem.c_str());
    platform::MutexLock lock(state.listenerMutex);
    if (state.listener) state.listener();
}

// Keeps both parts running; it never returns, so their parent thread lives as the process does.
// Only our two children are waited for: the program may have children of its own.
void Keep(KeeperState* state, std::string link, std::vector<std::string> modemArgv,
          std::vector<std::string> bridgeArgv) {
    KeptPart modem(
        "soft modem", [&](int) { return StartModem(modemArgv, link, *state); }, "");
    KeptPart bridge(
        "SIP bridge", [&](int errorFd) { return Spawn(bridgeArgv, errorFd); }, kBridgeLinePrefix);
    while (true) {
        pollfd errors{bridge.ErrorFd(), POLLIN, 0};
        if (errors.fd >= 0) {
            poll(&errors, 1, kKeeperPollMs);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kKeeperPollMs));
        }
        bridge.DrainErrors();
        const auto now = KeptPart::Clock::now();
        modem.KeepRunning(now);
        bridge.KeepRunning(now);
        Publish(*state, bridge.Problem());
    }
}

std::string ReadLineIni() {
    std::ifstream file(LineConfigPath());
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

bool HasSipAccount(const std::string& lineIni) {
    for (const platform::IniEntry& entry :
         platform::IniSection(platform::ParseIni(lineIni), "sip")) {
        if (entry.key == "account" && !entry.value.empty()) return true;
    }
    return false;
}

std::string SoftLineModem() {
    static std::once_flag once;
    static std::string link;
    static KeeperState* const state = &SharedState();
    if (!HasSipAccount(ReadLineIni())) return {};
    static bool installed = true;
    std::call_once(once, [] {
        const std::string folder = ProgramFolder(), runtime = RuntimeFolder();
        for (const char* part : {"/vantoro-vmodem", "/vantoro-sipline"}) {
            if (access((folder + part).c_str(), X_OK) != 0) {
                std::fprintf(stderr, "libtapi32: %s%s is missing: no SIP line\n", folder.c_str(),
                             part);
                installed = false;
            }
        }
        if (!installed) return;
        const std::string socket = runtime + "/vantoro-softline.sock";
        link = runtime + "/vantoro-softmodem-tty";
        unlink(link.c_str());
        std::thread(Keep, state, link,
                    std::vector<std::string>{folder + "/vantoro-vmodem", "--link", link, "--socket",
                                             socket},
                    std::vector<std::string>{folder + "/vantoro-sipline", "--socket", socket})
            .detach();
    });
    if (!installed) return {};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLinkWaitMs);
    platform::MutexLock lock(state->mutex);
    while (!state->up &&
           state->ready.wait_until(state->mutex, deadline) != std::cv_status::timeout) {
    }
    return state->up ? link : std::string();
}

std::string SoftLineProblem() {
    KeeperState& state = SharedState();
    platform::MutexLock lock(state.mutex);
    return state.problem;
}

void SetSoftLineListener(std::function<void()> listener) {
    KeeperState& state = SharedState();
    platform::MutexLock lock(state.listenerMutex);
    state.listener = std::move(listener);
}

}  // namespace tapi

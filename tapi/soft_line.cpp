#include "tapi/soft_line.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The program's folder, where the build puts the soft modem and the bridge too.
std::string ProgramFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    const std::string exe(path, size_t(length));
    return exe.substr(0, exe.rfind('/'));
}

std::string RuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/' && access(runtime, W_OK | X_OK) == 0) return runtime;
    const std::string own = "/tmp/vantoro-" + std::to_string(getuid());
    mkdir(own.c_str(), 0700);
    return own;
}

// Starts `argv`; the child gets SIGTERM when the thread that started it ends, which is the
// keeper thread, which lives as long as the process.
pid_t Spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    execv(args[0], args.data());
    _exit(127);
}

struct KeeperState {
    std::mutex mutex;
    std::condition_variable ready;
    bool up = false;
};

pid_t StartModem(const std::vector<std::string>& argv, const std::string& link,
                 KeeperState& state) {
    const pid_t pid = Spawn(argv);
    for (int waited = 0; waited < kLinkWaitMs && access(link.c_str(), F_OK) != 0; waited += kPollMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    std::lock_guard<std::mutex> lock(state.mutex);
    state.up = access(link.c_str(), F_OK) == 0;
    state.ready.notify_all();
    return pid;
}

bool Ended(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

// One part the keeper runs: started again when it ends, after its pause.
class KeptPart {
public:
    using Clock = std::chrono::steady_clock;

    KeptPart(const char* name, std::function<pid_t()> start)
        : m_name(name), m_start(std::move(start)) {
        launch();
    }

    void keep(Clock::time_point now) {
        if (m_pid > 0 && Ended(m_pid)) {
            const bool ranLong = now - m_startedAt >= kStableRun;
            m_delayMs = ranLong ? kRestartDelayMs : std::min(m_delayMs * 2, kMaxRestartDelayMs);
            std::fprintf(stderr, "libtapi32: the %s ended; starting it again in %d s\n", m_name,
                         m_delayMs / 1000);
            m_pid = 0;
            m_restartAt = now + std::chrono::milliseconds(m_delayMs);
        }
        if (m_pid == 0 && now >= m_restartAt) launch();
    }

private:
    void launch() {
        m_pid = m_start();
        m_startedAt = Clock::now();
    }

    const char* m_name;
    std::function<pid_t()> m_start;
    pid_t m_pid = 0;
    Clock::time_point m_startedAt, m_restartAt;
    int m_delayMs = kRestartDelayMs / 2;  // the first quick end doubles it to kRestartDelayMs
};

// Keeps both parts running; it never returns, so their parent thread lives as the process does.
// Only our two children are waited for: the program may have children of its own.
void Keep(std::shared_ptr<KeeperState> state, std::string link, std::vector<std::string> modemArgv,
          std::vector<std::string> bridgeArgv) {
    KeptPart modem("soft modem", [&] { return StartModem(modemArgv, link, *state); });
    KeptPart bridge("SIP bridge", [&] { return Spawn(bridgeArgv); });
    while (true) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kKeeperPollMs));
        const auto now = KeptPart::Clock::now();
        modem.keep(now);
        bridge.keep(now);
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
    std::istringstream lines(lineIni);
    bool inSip = false;
    for (std::string line; std::getline(lines, line);) {
        line = Trim(line);
        if (!line.empty() && line[0] == '[') inSip = line == "[sip]";
        const size_t equals = line.find('=');
        if (inSip && equals != std::string::npos && Trim(line.substr(0, equals)) == "account" &&
            !Trim(line.substr(equals + 1)).empty())
            return true;
    }
    return false;
}

std::string SoftLineModem() {
    static std::once_flag once;
    static std::string link;
    // Shared with the keeper thread, which outlives every static at exit.
    static std::shared_ptr<KeeperState> state = std::make_shared<KeeperState>();
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
    std::unique_lock<std::mutex> lock(state->mutex);
    state->ready.wait_for(lock, std::chrono::milliseconds(kLinkWaitMs), [] { return state->up; });
    return state->up ? link : std::string();
}

}  // namespace tapi

#include "tapi/soft_line.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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
// A part that ends is started again after this long, so a broken one cannot spin.
constexpr int kRestartDelayMs = 2000;

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

// Keeps both parts running; it never returns, so their parent thread lives as the process does.
// Only our two children are waited for: the program may have children of its own.
void Keep(std::shared_ptr<KeeperState> state, std::string link, std::vector<std::string> modemArgv,
          std::vector<std::string> bridgeArgv) {
    pid_t modem = StartModem(modemArgv, link, *state);
    pid_t bridge = Spawn(bridgeArgv);
    while (true) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kRestartDelayMs));
        if (Ended(modem)) {
            std::fprintf(stderr, "libtapi32: the soft modem ended; starting it again\n");
            modem = StartModem(modemArgv, link, *state);
        }
        if (Ended(bridge)) {
            std::fprintf(stderr, "libtapi32: the SIP bridge ended; starting it again\n");
            bridge = Spawn(bridgeArgv);
        }
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

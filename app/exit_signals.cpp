#include "app/exit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace {

constexpr int kExitSignals[] = {SIGTERM, SIGINT, SIGHUP};
int g_pipe[2] = {-1, -1};

void OnSignal(int number) {
    const int savedErrno = errno;
    signal(number, SIG_DFL);  // the second one is not caught
    const char byte = static_cast<char>(number);
    (void)!write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

bool CExitSignals::Install() {
    if (g_pipe[0] >= 0) return true;
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kExitSignals) sigaction(number, &action, nullptr);
    return true;
}

CExitSignals::CExitSignals(std::function<void()> onExit) : m_onExit(std::move(onExit)) {
    if (g_pipe[0] < 0) return;
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { ReadSignals(); });
}

CExitSignals::~CExitSignals() = default;

void CExitSignals::ReadSignals() {
    char numbers[16];
    bool caught = false;
    while (read(g_pipe[0], numbers, sizeof numbers) > 0) caught = true;
    if (caught) m_onExit();
}

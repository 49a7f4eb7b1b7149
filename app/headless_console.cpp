#include "app/headless_console.h"

#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <string_view>

namespace {

// A command is a word; a longer line is noise and is dropped.
constexpr size_t kMaxLineBytes = 4096;
// How often a terminal that belonged to another job is tried again (after `fg`, say).
constexpr int kTerminalRetryMs = 2000;

}  // namespace

CHeadlessConsole::CHeadlessConsole(int fd, CommandHandler handler)
    : m_fd(fd), m_handler(std::move(handler)) {
    // Run in the background of a shell, reading or writing the terminal would stop the program
    // (and its answering); ignored, the read fails with EIO instead and the write goes through.
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { ReadAvailable(); });
}

CHeadlessConsole::~CHeadlessConsole() = default;

void CHeadlessConsole::ReadAvailable() {
    char buffer[512];
    ssize_t count = read(m_fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (count < 0 && errno == EIO) {
        // A terminal we may not read now: no commands until it is ours again.
        m_notifier->setEnabled(false);
        QTimer::singleShot(kTerminalRetryMs, this, [this] { m_notifier->setEnabled(true); });
        return;
    }
    if (count <= 0) {
        m_notifier->setEnabled(false);
        return;
    }
    for (char byte : std::string_view(buffer, static_cast<size_t>(count))) {
        if (byte == '\n') {
            // Taken out before it runs: a command may wait, and input read meanwhile starts anew.
            std::string line;
            line.swap(m_pending);
            if (!m_skippingLine) Dispatch(line);
            m_skippingLine = false;
        } else if (m_skippingLine) {
            continue;
        } else if (m_pending.size() == kMaxLineBytes) {
            std::fprintf(stderr, "input line longer than %zu bytes dropped\n", kMaxLineBytes);
            m_pending.clear();
            m_skippingLine = true;
        } else {
            m_pending += byte;
        }
    }
}

void CHeadlessConsole::Dispatch(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) m_handler(line);
}

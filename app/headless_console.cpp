#include "app/headless_console.h"

#include <unistd.h>

#include <QSocketNotifier>

CHeadlessConsole::CHeadlessConsole(int fd, CommandHandler handler)
    : m_fd(fd), m_handler(std::move(handler)) {
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { ReadAvailable(); });
}

CHeadlessConsole::~CHeadlessConsole() = default;

void CHeadlessConsole::ReadAvailable() {
    char buffer[512];
    ssize_t count = read(m_fd, buffer, sizeof buffer);
    if (count <= 0) {
        m_notifier->setEnabled(false);
        return;
    }
    m_pending.append(buffer, static_cast<size_t>(count));
    for (size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
        std::string line = m_pending.substr(0, end);
        m_pending.erase(0, end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) m_handler(line);
    }
}

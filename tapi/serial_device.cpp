#include "tapi/serial_device.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/serial_port.h"

namespace tapi {
namespace {

constexpr int kWriteTimeoutMs = 2000;
constexpr uint32_t kModemBaud = 115200;

}  // namespace

SerialDevice::~SerialDevice() { Close(); }

bool SerialDevice::Open(const std::string& path) {
    Close();
    int fd = platform::SerialOpenRaw(path.c_str(), kModemBaud);
    if (fd < 0) return false;
    m_fd = fd;
    m_path = path;
    DiscardInput();
    return true;
}

void SerialDevice::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}

bool SerialDevice::Write(std::string_view bytes) {
    if (m_fd < 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    while (!bytes.empty()) {
        ssize_t written = ::write(m_fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd waiter{m_fd, POLLOUT, 0};
        if (::poll(&waiter, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
        if (waiter.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    }
    return true;
}

void SerialDevice::DiscardInput() {
    if (m_fd >= 0) tcflush(m_fd, TCIFLUSH);
}

}  // namespace tapi

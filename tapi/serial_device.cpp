#include "tapi/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace tapi {
namespace {

constexpr int kWriteTimeoutMs = 2000;

bool MakeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CLOCAL | CREAD | CRTSCTS;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    if (tcsetattr(fd, TCSANOW, &settings) == 0) return true;
    // Some USB serial drivers refuse RTS/CTS; run without it there.
    settings.c_cflag &= ~CRTSCTS;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

SerialDevice::~SerialDevice() { Close(); }

bool SerialDevice::Open(const std::string& path) {
    Close();
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (!isatty(fd) || !MakeRaw(fd)) {
        ::close(fd);
        return false;
    }
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

#include "tapi/serial_device.h"

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
    if (m_fd >= 0) platform::SerialClose(m_fd);
    m_fd = -1;
    m_path.clear();
}

bool SerialDevice::Write(std::string_view bytes) {
    if (m_fd < 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    while (!bytes.empty()) {
        size_t written = 0;
        platform::SerialStatus status =
            platform::SerialWrite(m_fd, bytes.data(), bytes.size(), &written);
        bytes.remove_prefix(written);
        if (status == platform::SerialStatus::Ok) continue;
        if (status != platform::SerialStatus::Pending) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        status = platform::SerialWaitWritable(m_fd, static_cast<uint32_t>(left.count()));
        if (status != platform::SerialStatus::Ok && status != platform::SerialStatus::Pending)
            return false;
    }
    return true;
}

void SerialDevice::DiscardInput() {
    if (m_fd >= 0) platform::SerialDiscardInput(m_fd);
}

}  // namespace tapi

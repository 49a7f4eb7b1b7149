#pragma once
// The modem's serial device, opened raw: 8 data bits, no parity, one stop bit, no echo, no line
// editing, hardware flow control where the device has it.

#include <string>
#include <string_view>

namespace tapi {

class SerialDevice {
public:
    SerialDevice() = default;
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }
    const std::string& Path() const { return m_path; }

    // Writes all of `bytes`, waiting for room at most kWriteTimeoutMs in total.
    bool Write(std::string_view bytes);
    // Drops whatever the device sent before now.
    void DiscardInput();

private:
    int m_fd = -1;
    std::string m_path;
};

}  // namespace tapi

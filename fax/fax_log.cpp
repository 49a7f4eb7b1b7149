#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fax/fax_receiver.h"
#include "platform/clock.h"
#include "platform/paths.h"

namespace {

constexpr char kLogFileName[] = "Fax.Log";
constexpr char kFallbackFolder[] = "/tmp/";

// The log has no error channel of its own; a line that cannot be written is dropped.
void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) return;
        data += written;
        size -= static_cast<size_t>(written);
    }
}

}  // namespace

std::string CFaxReceiver::LogFilePath() {
    std::string folder = platform::StateFolder();
    if (folder.empty()) folder = kFallbackFolder;
    return platform::WithTrailingSlash(folder) + kLogFileName;
}

bool CFaxReceiver::OpenLog() {
    CloseLog();
    const std::string path = LogFilePath();
    if (platform::PathExists(path)) platform::RemoveFile(path);
    m_fileLog.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return m_fileLog.valid();
}

bool CFaxReceiver::UseLogDescriptor(int fd) {
    CloseLog();
    m_fileLog.reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    return m_fileLog.valid();
}

void CFaxReceiver::CloseLog() { m_fileLog.reset(); }

void CFaxReceiver::FormatTimestamp() {
    platform::LocalTime now = platform::GetLocalTime();
    std::snprintf(m_szTime, sizeof m_szTime, "%04d-%02d-%02d %02d:%02d:%02d.%03d", now.year,
                  now.month, now.day, now.hour, now.minute, now.second, now.millisecond);
}

void CFaxReceiver::Log(const std::string& text) {
    if (!m_fileLog.valid()) return;
    FormatTimestamp();
    // Four unbuffered writes, as the line's parts stand, so the line is in the file on return.
    WriteAll(m_fileLog.get(), m_szTime, std::strlen(m_szTime));
    WriteAll(m_fileLog.get(), "  ", 2);
    WriteAll(m_fileLog.get(), text.c_str(), std::strlen(text.c_str()));
    WriteAll(m_fileLog.get(), "\r\n", 2);
}

void CFaxReceiver::SetStatus(const std::string& text) {
    if (m_hWnd == nullptr || !platform::IsWindow(m_hWnd)) return;
    m_strStatus = text;
    platform::SendMessage(m_hWnd, platform::WM_FAX_STATUS, 0, 0);
}

#include "fax/comm_port.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/message_box.h"

namespace {
constexpr size_t kMaxReadChunk = 80;
}

CCommPort::CCommPort()
    : m_pRxBuf(new uint8_t[kRxBufSize]()), m_pLineBuf(new uint8_t[kLineBufSize]()) {}

CCommPort::~CCommPort() = default;

void CCommPort::Attach(int fd) {
    if (fd != m_hComm.get()) m_hComm.reset(fd);
    m_bGone = false;
    m_lineErrors = {};
    if (fd != kInvalidHandle) {
        platform::SerialSetNonBlocking(fd);
        platform::SerialTakeLineErrors(fd, m_lineErrors);
    }
}

bool CCommPort::Close() {
    if (!HasHandle()) {
        m_nError = kErrNoHandle;
        return false;
    }
    // Event monitoring has no counterpart on a descriptor; DTR fails harmlessly on a pty.
    platform::SerialRaiseDtr(m_hComm.get());
    Purge();
    bool closed = platform::SerialClose(m_hComm.release());
    if (!closed) m_nError = kErrClose;
    return closed;
}

bool CCommPort::Write(const void* data, size_t count) {
    if (!HasHandle()) {
        m_nError = kErrNoHandle;
        return false;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t total = 0;
    platform::SerialStatus status = platform::SerialWrite(m_hComm.get(), bytes, count, &total);
    if (status == platform::SerialStatus::Ok && total == count) return true;
    if (status != platform::SerialStatus::Ok && status != platform::SerialStatus::Pending) {
        platform::SerialTakeLineErrors(m_hComm.get(), m_lineErrors);
        m_nError = kErrWrite;
        return false;
    }
    // The rest completes as the device drains its output queue.
    uint32_t lastProgress = platform::TickCountMs();
    while (total < count) {
        uint32_t left =
            platform::TicksLeft(lastProgress, kWriteCompletionTimeoutMs, platform::TickCountMs());
        if (left == 0) break;
        status = platform::SerialWaitWritable(m_hComm.get(), left);
        if (status == platform::SerialStatus::Pending) continue;
        size_t put = 0;
        if (status == platform::SerialStatus::Ok)
            status = platform::SerialWrite(m_hComm.get(), bytes + total, count - total, &put);
        if (status == platform::SerialStatus::Ok) {
            total += put;
            if (put > 0) lastProgress = platform::TickCountMs();
            continue;
        }
        if (status == platform::SerialStatus::Pending) continue;
        char text[64];
        std::snprintf(text, sizeof text, "\nError:%ld",
                      static_cast<long>(platform::SerialLastErrno()));
        platform::ShowMessageBox(nullptr, text, platform::ProgramCaption(), platform::MsgIcon::None,
                                 platform::MsgButtons::Ok);
        platform::SerialTakeLineErrors(m_hComm.get(), m_lineErrors);
        m_nError = kErrWrite;
        return false;
    }
    if (total == count) return true;
    m_nError = kErrWrite;
    return false;
}

bool CCommPort::SendCommand(const char* text) {
    char line[kCommandBufSize] = {};
    size_t length = std::min(std::strlen(text), kCommandBufSize - 2);
    std::memcpy(line, text, length);
    line[length] = '\r';
    return Write(line, length + 1);
}

bool CCommPort::FailRead(int code) {
    m_nError = code;
    return false;
}

bool CCommPort::ReadQueued(uint8_t* out, size_t count, size_t* got) {
    *got = 0;
    if (!HasHandle()) return FailRead(kErrNoHandle);
    long queued = platform::SerialQueuedBytes(m_hComm.get());
    size_t n = queued > 0 ? std::min(count, static_cast<size_t>(queued)) : 0;
    if (n == 0) {
        if (queued < 0 || platform::SerialHungUp(m_hComm.get())) {
            m_bGone = true;
            return FailRead(kErrDeviceGone);
        }
        return FailRead(kErrNothingQueued);
    }
    uint32_t issued = platform::TickCountMs();
    for (;;) {
        platform::SerialStatus status = platform::SerialRead(m_hComm.get(), out, n, got);
        switch (status) {
            case platform::SerialStatus::Ok:
                return true;
            case platform::SerialStatus::Pending: {
                uint32_t left =
                    platform::TicksLeft(issued, kReadCompletionTimeoutMs, platform::TickCountMs());
                if (left == 0) return FailRead(kErrReadTimeout);
                platform::SerialWaitReadable(m_hComm.get(), left);
                break;
            }
            case platform::SerialStatus::Gone:
                m_bGone = true;
                return FailRead(kErrDeviceGone);
            case platform::SerialStatus::Failed:
                if (platform::SerialTakeLineErrors(m_hComm.get(), m_lineErrors))
                    return FailRead(kErrLineError);
                *got = 0;
                return true;
        }
    }
}

bool CCommPort::Read(size_t maxCount) {
    uint8_t chunk[kMaxReadChunk];
    size_t got = 0;
    if (!ReadQueued(chunk, std::min(maxCount, kMaxReadChunk), &got)) return false;
    // A byte that does not fit is dropped: a full accumulator is the response parser's overflow.
    size_t room = kRxBufSize - std::min<size_t>(m_nRxLen, kRxBufSize);
    size_t keep = std::min(got, room);
    std::memcpy(m_pRxBuf.get() + m_nRxLen, chunk, keep);
    m_nRxLen += static_cast<uint32_t>(keep);
    return true;
}

bool CCommPort::ReadByte() {
    m_byLast = 0;
    uint8_t byte = 0;
    size_t got = 0;
    if (!ReadQueued(&byte, 1, &got)) return false;
    if (got == 1) m_byLast = byte;
    return true;
}

void CCommPort::ClearRxBuffer() {
    std::memset(m_pRxBuf.get(), 0, kRxBufSize);
    m_nRxLen = 0;
}

bool CCommPort::Purge() {
    if (!HasHandle()) return false;
    return platform::SerialPurge(m_hComm.get());
}

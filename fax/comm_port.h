#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/serial_port.h"
#include "platform/unique_fd.h"

// The byte channel between the fax receiver and the modem, on the modem's data descriptor.
// It never opens the device and never changes its line settings. Input operations only take
// bytes that are already queued; waiting is the callers' business.
class CCommPort {
public:
    static constexpr int kInvalidHandle = -1;
    static constexpr size_t kRxBufSize = 3000;
    static constexpr size_t kLineBufSize = 3000;
    static constexpr size_t kCommandBufSize = 100;
    static constexpr uint32_t kReadCompletionTimeoutMs = 5000;
    // A write that makes no progress for this long is given up (a stalled flow control).
    static constexpr uint32_t kWriteCompletionTimeoutMs = 10000;

    // Failure codes kept in m_nError.
    static constexpr int kErrNoHandle = -1;
    static constexpr int kErrClose = -6;
    static constexpr int kErrWrite = -7;
    static constexpr int kErrReadTimeout = -8;
    static constexpr int kErrLineError = -9;
    static constexpr int kErrNothingQueued = -10;
    // Our own: the device hung up or vanished, so nothing will ever be queued again.
    static constexpr int kErrDeviceGone = -11;

    CCommPort();
    virtual ~CCommPort();
    CCommPort(const CCommPort&) = delete;
    CCommPort& operator=(const CCommPort&) = delete;

    // Takes over the modem's descriptor: the channel closes it in Close, in the next Attach or
    // when it goes.
    void Attach(int fd);
    bool HasHandle() const { return m_hComm.valid(); }
    int Handle() const { return m_hComm.get(); }
    // True once a read found the device gone; cleared by Attach.
    bool DeviceGone() const { return m_bGone; }

    bool Close();
    bool Write(const void* data, size_t count);
    bool SendCommand(const char* text);
    bool Read(size_t maxCount);
    bool ReadByte();
    void ClearRxBuffer();
    bool Purge();

    std::unique_ptr<uint8_t[]> m_pRxBuf;
    uint32_t m_nRxLen = 0;
    std::unique_ptr<uint8_t[]> m_pLineBuf;
    uint8_t m_byLast = 0;
    int m_nError = 0;

private:
    // Takes up to `count` queued bytes into `out`; the shared part of Read and ReadByte.
    bool ReadQueued(uint8_t* out, size_t count, size_t* got);
    bool FailRead(int code);

    UniqueFd m_hComm;
    platform::SerialErrorCounts m_lineErrors;
    bool m_bGone = false;
};

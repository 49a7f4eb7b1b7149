#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fax/fax_receiver.h"
#include "platform/clock.h"
#include "platform/serial_port.h"

int g_nCarrierMode = kCarrierHdlcReceive;

namespace {

constexpr char kCmdHdlcTransmit[] = "AT+FTH=3";
constexpr char kCmdHdlcReceive[] = "AT+FRH=3";
constexpr char kCmdDataTransmit[] = "AT+FTM=%d";
constexpr char kCmdDataReceive[] = "AT+FRM=%d";
constexpr char kCmdSilence80Ms[] = "AT+FTS=8";
// T.30: 75 +/- 20 ms between the end of the caller's signal and our response. AT+FRS counts the
// silence since the carrier ended, and the OK and AT+FTH=3 take the rest. For a modem without
// AT+FRS, AT+FTS: the 10 to 20 ms the modem takes to report the carrier's end add to it.
constexpr char kCmdResponseGapFrs[] = "AT+FRS=6";
constexpr char kCmdResponseGapFts[] = "AT+FTS=6";
constexpr char kCmdProbe[] = "AT";
constexpr char kCmdClass1[] = "AT+FCLASS=1";
constexpr char kResOk[] = "OK";
constexpr char kResError[] = "ERROR";  // also matches the Class 1 result +FCERROR
constexpr char kResNoCarrier[] = "NO CARRIER";
constexpr char kResConnect[] = "CONNECT";

constexpr int kNoLineYet = -100;
// T.31: any character ends the wait for a carrier or the reception; CAN is data to no one.
constexpr uint8_t kAbortCharacter = 0x18;

}  // namespace

void CFaxReceiver::WaitForModem(uint32_t timeoutMs) {
    platform::SerialWaitReadable(m_pComm->Handle(), timeoutMs);
}

int CFaxReceiver::CancelWait(ClearAll clearAll) {
    if (clearAll == ClearAll::Yes) m_pComm->ClearRxBuffer();
    m_pComm->Purge();
    return kResultCancelled;
}

// Looks for one complete result line (opened by CR LF, closed by CR) in the accumulator.
int CFaxReceiver::ScanResponse(const char* first, const char* second, const char* third,
                               ClearAll clearAll) {
    CCommPort& port = *m_pComm;
    uint8_t* acc = port.m_pRxBuf.get();
    char* line = reinterpret_cast<char*>(port.m_pLineBuf.get());
    std::memset(line, 0, CCommPort::kLineBufSize);
    const size_t length = port.m_nRxLen;
    bool open = false;
    size_t lineLength = 0;
    for (size_t i = 0; i + 1 < length; ++i) {
        if (open) line[lineLength++] = static_cast<char>(acc[i]);
        if (!open) {
            if (acc[i] == kCr && acc[i + 1] == kLf) open = true;
            continue;
        }
        if (acc[i + 1] != kCr) continue;
        const size_t consumed = i + 2;  // through the closing CR
        const bool isFirst = std::strstr(line, first) != nullptr;
        const bool isSecond = !isFirst && std::strstr(line, second) != nullptr;
        const bool isThird = !isFirst && !isSecond && third && std::strstr(line, third) != nullptr;
        if (isFirst || isSecond || isThird) {
            if (clearAll == ClearAll::Yes) {
                port.ClearRxBuffer();
            } else {
                std::memset(acc, 0, consumed);
            }
            if (isFirst) return kResultOk;
            port.Purge();
            return isSecond ? kResultAlternative : kResultCarrierError;
        }
        std::memset(acc, 0, consumed);
        break;
    }
    return kNoLineYet;
}

int CFaxReceiver::WaitResponse(const char* first, const char* second, uint32_t timeoutMs,
                               ClearAll clearAll) {
    return WaitResults(first, second, nullptr, timeoutMs, clearAll);
}

int CFaxReceiver::WaitResults(const char* first, const char* second, const char* third,
                              uint32_t timeoutMs, ClearAll clearAll) {
    CCommPort& port = *m_pComm;
    const uint32_t start = platform::TickCountMs();
    platform::PumpOneMessage();
    if (IsCancelled()) return CancelWait(clearAll);
    size_t shorter = std::min(std::strlen(first), std::strlen(second));
    if (third) shorter = std::min(shorter, std::strlen(third));
    for (;;) {
        const bool gotByte = port.Read(1);
        if (port.m_nRxLen > shorter && port.m_nRxLen < CCommPort::kRxBufSize) {
            int result = ScanResponse(first, second, third, clearAll);
            if (result != kNoLineYet) return result;
        }
        if (port.m_nRxLen >= CCommPort::kRxBufSize ||
            platform::TickDeadlinePassed(start, timeoutMs))
            break;
        // A vanished device answers nothing more: end as a time-out instead of waiting it out.
        if (port.DeviceGone()) break;
        platform::PumpOneMessage();
        if (IsCancelled()) return CancelWait(clearAll);
        if (!gotByte) {
            platform::WaitForActivity(
                port.Handle(), platform::TicksLeft(start, timeoutMs, platform::TickCountMs()));
        }
    }
    port.Purge();
    if (port.m_nRxLen < CCommPort::kRxBufSize) return kResultTimeout;
    port.ClearRxBuffer();
    return kResultOverflow;
}

int CFaxReceiver::InitModem() {
    Log("at begin");
    int tries = 0;
    int result = kResultTimeout;
    if (!m_pComm->SendCommand(kCmdProbe)) return kResultWriteFailed;
    // The fast mode waits for the OK itself rather than pausing first: the caller is waiting.
    const bool pause = m_faxMode == FaxMode::kStandard;
    for (;;) {
        if (pause) usleep(m_timeouts.probePauseMs * 1000);
        Log("atat");
        result =
            WaitResponse(kResOk, kResError,
                         m_timeouts.probeMs + (pause ? 0 : m_timeouts.probePauseMs), ClearAll::Yes);
        if (result == kResultCancelled) return result;
        if (result == kResultOk) break;
        if (++tries == kProbeTries) break;
        if (!m_pComm->SendCommand(kCmdProbe)) return kResultWriteFailed;
    }
    Log("at end");
    if (tries == kProbeTries) return result;
    if (!m_pComm->SendCommand(kCmdClass1)) return kResultWriteFailed;
    result = WaitResponse(kResOk, kResError, m_timeouts.classMs, ClearAll::Yes);
    if (result == kResultOk) Log("class");
    return result;
}

// 80 ms of silence before the direction of the HDLC carrier turns; its answer is not needed.
int CFaxReceiver::SendSilence() {
    if (!m_pComm->SendCommand(kCmdSilence80Ms)) return kResultWriteFailed;
    WaitResponse(kResOk, kResError, m_timeouts.silenceMs, ClearAll::Yes);
    return kResultOk;
}

// Before a response: the silence T.30 asks between the caller's signal and ours.
int CFaxReceiver::SendResponseGap() {
    if (m_bModemHasFrs) {
        if (!m_pComm->SendCommand(kCmdResponseGapFrs)) return kResultWriteFailed;
        int result = WaitResponse(kResOk, kResError, kResponseGapTimeoutMs, ClearAll::Yes);
        if (result == kResultOk || result == kResultCancelled) return result;
        // The caller still sends: answer anyway rather than let its wait for us run out.
        if (result != kResultAlternative)
            return AbortReceive() == kResultCancelled ? kResultCancelled : kResultOk;
        m_bModemHasFrs = false;
    }
    if (!m_pComm->SendCommand(kCmdResponseGapFts)) return kResultWriteFailed;
    int result = WaitResponse(kResOk, kResError, kSilenceTimeoutMs, ClearAll::Yes);
    return result == kResultCancelled ? result : kResultOk;
}

int CFaxReceiver::EnterHdlcMode(Direction direction) {
    if (m_bTxReady) {
        m_bTxReady = 0;
        return kResultOk;
    }
    const bool transmit = direction == Direction::Transmit;
    if (transmit &&
        (g_nCarrierMode == kCarrierHdlcReceive || g_nCarrierMode == kCarrierDataReceive)) {
        int result = SendResponseGap();
        if (result != kResultOk) return result;
    } else if (!transmit && g_nCarrierMode == kCarrierHdlcTransmit && SendSilence() != kResultOk) {
        return kResultWriteFailed;
    }
    g_nCarrierMode = transmit ? kCarrierHdlcTransmit : kCarrierHdlcReceive;
    if (!m_pComm->SendCommand(transmit ? kCmdHdlcTransmit : kCmdHdlcReceive))
        return kResultWriteFailed;
    const uint32_t connectMs =
        !transmit && m_session.repeatAwaited ? m_timeouts.commandRepeatMs : m_timeouts.connectMs;
    int result = WaitResponse(kResConnect, kResNoCarrier, connectMs,
                              transmit ? ClearAll::Yes : ClearAll::No);
    if (!transmit && result == kResultTimeout && AbortReceive() == kResultCancelled)
        return kResultCancelled;
    return result;
}

int CFaxReceiver::EnterDataMode(Direction direction, int modulation) {
    const bool transmit = direction == Direction::Transmit;
    if (transmit && g_nCarrierMode == kCarrierHdlcReceive) SendSilence();
    g_nCarrierMode = transmit ? kCarrierDataTransmit : kCarrierDataReceive;
    std::snprintf(m_szCommand, sizeof m_szCommand, transmit ? kCmdDataTransmit : kCmdDataReceive,
                  modulation);
    if (!m_pComm->SendCommand(m_szCommand)) return kResultWriteFailed;
    if (transmit)
        return WaitResponse(kResConnect, kResNoCarrier, m_timeouts.connectMs, ClearAll::Yes);
    int result =
        WaitResults(kResConnect, kResNoCarrier, kResError, m_timeouts.connectMs, ClearAll::No);
    if (result == kResultTimeout && AbortReceive() == kResultCancelled) return kResultCancelled;
    return result;
}

// Sent on its own and answered before the next command: otherwise that command's "A" would be
// taken as the abort and the rest of it as a command of its own.
int CFaxReceiver::AbortReceive() {
    m_pComm->Write(&kAbortCharacter, 1);
    return WaitResponse(kResOk, kResError, m_timeouts.abortMs, ClearAll::Yes);
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fax/fax_receiver.h"
#include "fax/t30_dis_dcs_bits.h"
#include "platform/clock.h"

namespace {

// The DIS information field: three octets, up to bit 24; the fast mode's four, up to bit 32.
constexpr size_t kDisFifSize = t30_bits::OctetsFor(t30_bits::kExtendTo32);
constexpr size_t kFastDisFifSize = t30_bits::OctetsFor(t30_bits::kExtendTo40);

constexpr char kCsiCharacters[] = "0123456789+ ";
constexpr uint8_t kCsiPad = 0x04;  // a space, bit-reversed
// T.30 TCF: zeros for 1.5 s, within 10 %; the modulation number M is the rate in 100 bit/s, so
// one millisecond carries M / 80 bytes.
constexpr int kTcfMs = 1500;
constexpr int kTcfTolerancePercent = 10;
constexpr int kMsPerByteTimesM = 80;
// A burst of errors in the TCF, as a lost 20 ms packet and the demodulator's recovery from it
// leave: errors less than 40 ms apart (the two edges of a repeated packet) belong to one. More
// bursts, longer ones or more errors in all fail the training.
constexpr int kTcfBurstGapMs = 40;
constexpr int kTcfBurstsAllowed = 3;
constexpr int kTcfBurstMaxMs = 150;
constexpr int kTcfErrorPercent = 10;

// T.31 modulation numbers are the rate in 100 bit/s, plus 1 for V.17's long training and 2 for
// its short one; every rate is a multiple of 2400 bit/s.
constexpr int kRateStepHundreds = 24;

// Floor of the TCF's byte count at (100 + deviationPercent) % of its length.
int TcfBytes(int modulation, int deviationPercent) {
    const int rate = modulation - modulation % kRateStepHundreds;
    return kTcfMs * (100 + deviationPercent) / 100 * rate / kMsPerByteTimesM;
}
constexpr int kNoFrameYet = -100;
constexpr uint8_t kCan = 0x18;

constexpr char kResOk[] = "OK";
constexpr char kResError[] = "ERROR";
constexpr char kResConnect[] = "CONNECT";
constexpr char kResNoCarrier[] = "NO CARRIER";

}  // namespace

uint8_t CFaxReceiver::ReverseBits(uint8_t byte) {
    uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit) {
        reversed = static_cast<uint8_t>((reversed << 1) | (byte & 1));
        byte >>= 1;
    }
    return reversed;
}

void CFaxReceiver::ReverseBuffer(uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; ++i) data[i] = ReverseBits(data[i]);
}

int CFaxReceiver::SendFrame(FrameFinal final, uint8_t fcf, size_t fifLength) {
    fifLength = std::min(fifLength, kFrameBufSize - kFrameFifPos - kFrameEndBytes);
    m_frame[kFrameAddressPos] = kFrameAddress;
    m_frame[kFrameControlPos] = final == FrameFinal::Yes ? kControlFinal : kControlNonFinal;
    m_frame[kFrameFcfPos] = m_bAnswerRole ? fcf : static_cast<uint8_t>(fcf | kFcfXBit);
    m_frame[kFrameFifPos + fifLength] = kDle;
    m_frame[kFrameFifPos + fifLength + 1] = kEtx;
    ReverseBuffer(m_frame, kFrameFifPos + fifLength);
    if (!m_bTxReady) {
        int result = EnterHdlcMode(Direction::Transmit);
        if (result != kResultOk) return result;
        m_bTxReady = 1;
    }
    // A failed write shows up as the time-out of the wait that follows.
    m_pComm->Write(m_frame, kFrameFifPos + fifLength + kFrameEndBytes);
    if (final == FrameFinal::Yes) {
        int result = WaitResponse(kResOk, kResError, m_timeouts.finalFrameMs, ClearAll::Yes);
        m_bTxReady = 0;
        return result;
    }
    return WaitResponse(kResConnect, kResNoCarrier, m_timeouts.nextFrameMs, ClearAll::Yes);
}

int CFaxReceiver::SendDIS() {
    using namespace t30_bits;
    uint8_t* fif = m_frame + kFrameFifPos;
    std::memset(fif, 0, kFastDisFifSize);
    size_t length = kDisFifSize;
    // A T.4 receiver with V.27 ter and V.29, 7.7 lines/mm, 215 mm, unlimited length.
    Set(fif, kT4Receiver);
    unsigned rates = kRateV27ter | kRateV29;
    Set(fif, kFineResolution);
    Set(fif, kUnlimitedLength);
    if (m_faxMode == FaxMode::kFast) {
        if (m_bModemHasV17) rates |= kRateV17;
        // 0 ms: the sender pads no line with fill.
        SetField(fif, kScanTimeFirst, kScanTimeBitCount, kScanTime0Ms);
        // Error correction, and the codings that halve a page's line time (T.6 only with it).
        Set(fif, kTwoDimensional);
        Set(fif, kExtendTo32);
        Set(fif, kEcm);
        Set(fif, kT6);
        length = kFastDisFifSize;
    }
    SetField(fif, kRateFirst, kRateBitCount, rates);
    return SendFrame(FrameFinal::Yes, kFcfDis, length);
}

int CFaxReceiver::SendCSI() {
    std::memset(m_frame + kFrameFifPos, kCsiPad, kCsiFifSize);
    const std::string id = m_strLocalId.substr(0, kCsiFifSize);
    size_t position = kFrameFifPos;
    for (auto it = id.rbegin(); it != id.rend(); ++it) {
        if (*it == '\0' || !std::strchr(kCsiCharacters, *it)) continue;
        m_frame[position++] = ReverseBits(static_cast<uint8_t>(*it));
    }
    return SendFrame(FrameFinal::No, kFcfCsi, kCsiFifSize);
}

// Rescans the accumulator from its start: kResultOk for a complete frame, kResultText for a
// result line instead of one, kNoFrameYet otherwise. `stored` counts the frame bytes kept.
int CFaxReceiver::ScanFrame(size_t& stored) {
    CCommPort& port = *m_pComm;
    const uint8_t* acc = port.m_pRxBuf.get();
    const size_t length = port.m_nRxLen;
    std::memset(m_frame, 0, sizeof m_frame);
    stored = 0;
    bool started = false;
    bool textSeen = false;
    for (size_t i = 0; i < length && stored < kFrameBufSize; ++i) {
        const uint8_t byte = acc[i];
        const bool hasNext = i + 1 < length;
        const uint8_t next = hasNext ? acc[i + 1] : 0;
        // Inside a frame CR LF is data (a check sequence may hold 0D 0A); only DLE ETX ends it.
        if (!started && byte == kCr && hasNext && next == kLf) textSeen = true;
        if (textSeen) {
            if (hasNext && next == kCr) {
                port.Purge();
                port.ClearRxBuffer();
                return kResultText;
            }
            continue;
        }
        if (!started) {
            if (byte != kFrameAddress) continue;
            started = true;
        }
        if (byte == kDle) {
            if (!hasNext) break;  // its partner has not arrived yet
            if (next == kDle) {
                m_frame[stored++] = kDle;
                ++i;
                continue;
            }
            if (next == kEtx) {
                m_frame[stored++] = kDle;
                if (stored < kFrameBufSize) m_frame[stored++] = kEtx;
                m_nFrameLen = stored;
                // The verdict's wait scans the accumulator too: a CR LF in the frame must not
                // open a line there.
                std::memset(port.m_pRxBuf.get(), 0, i + 2);
                return kResultOk;
            }
        }
        m_frame[stored++] = byte;
    }
    return kNoFrameYet;
}

int CFaxReceiver::ReceiveFrameBytes() {
    CCommPort& port = *m_pComm;
    const uint32_t start = platform::TickCountMs();
    if (IsCancelled()) {
        port.Purge();
        return kResultCancelled;
    }
    size_t stored = 0;
    for (;;) {
        const bool gotByte = port.Read(1);
        if (port.m_nRxLen > 0) {
            int result = ScanFrame(stored);
            if (result != kNoFrameYet) return result;
        }
        if (stored >= kFrameBufSize) {
            port.Purge();
            return kResultOverflow;
        }
        // A vanished device sends no frame end: give up now rather than at the deadline.
        if (platform::TickDeadlinePassed(start, m_timeouts.frameMs) || port.DeviceGone()) {
            port.Purge();
            return kResultTimeout;
        }
        if (IsCancelled()) {
            port.Purge();
            return kResultCancelled;
        }
        if (!gotByte)
            WaitForModem(platform::TicksLeft(start, m_timeouts.frameMs, platform::TickCountMs()));
    }
}

int CFaxReceiver::ReceiveFrame() {
    int result = EnterHdlcMode(Direction::Receive);
    if (result != kResultOk) return result;
    result = ReceiveFrameBytes();
    if (result == kResultTimeout && AbortReceive() == kResultCancelled) return kResultCancelled;
    if (result != kResultOk) return result;
    result = WaitResponse(kResOk, kResError, m_timeouts.frameVerdictMs, ClearAll::Yes);
    ReverseBuffer(m_frame, m_nFrameLen >= kFrameEndBytes ? m_nFrameLen - kFrameEndBytes : 0);
    // No room for a check sequence: no T.30 frame, so refuse it like a bad one.
    if (result == kResultOk && m_nFrameLen < kMinFrameLen) return kResultAlternative;
    return result;
}

// A TCF passes when its zeros last 1.5 s (within 10 %) and what breaks them is a few short
// bursts, such as a lost packet or a click leaves: the rate carries data, and error correction
// or the row repair mends such a burst in a page. A line too noisy for the rate spreads errors
// all through. Reads on to the carrier's DLE ETX: kResultOk, kResultAlternative for a TCF that
// failed, kResultTimeout when the carrier does not end.
int CFaxReceiver::CheckTraining() {
    CCommPort& port = *m_pComm;
    const uint32_t start = platform::TickCountMs();
    std::vector<uint8_t> tcf;
    bool dlePending = false;
    while (!platform::TickDeadlinePassed(start, m_timeouts.trainingMs)) {
        if (!port.ReadByte()) {
            if (port.DeviceGone()) break;
            WaitForModem(
                platform::TicksLeft(start, m_timeouts.trainingMs, platform::TickCountMs()));
            continue;
        }
        uint8_t byte = port.m_byLast;
        if (dlePending) {
            dlePending = false;
            if (byte == kEtx) return JudgeTraining(tcf) ? kResultOk : kResultAlternative;
            byte = kDle;
        } else if (byte == kDle) {
            dlePending = true;
            continue;
        }
        tcf.push_back(byte);
    }
    // No purge: the carrier's end is still to come, and EndTrainingCarrier waits for it.
    JudgeTraining(tcf);
    return kResultTimeout;
}

bool CFaxReceiver::JudgeTraining(const std::vector<uint8_t>& tcf) {
    const auto first = std::find(tcf.begin(), tcf.end(), 0);
    const auto last = std::find(tcf.rbegin(), tcf.rend(), 0).base();
    // The count runs one ahead of the zeros: the first zero counts twice.
    const int span = first < last ? int(last - first) + 1 : 0;
    const int bytesPerTcf = TcfBytes(m_nModulation, 0);
    const int burstGap = bytesPerTcf * kTcfBurstGapMs / kTcfMs;
    int bursts = 0, longestBurst = 0, errors = 0;
    int burstStart = 0, lastError = -burstGap - 1;
    for (auto it = first; it < last; ++it) {
        if (*it == 0) continue;
        const int at = int(it - first);
        if (at - lastError > burstGap) {
            ++bursts;
            burstStart = at;
        }
        lastError = at;
        longestBurst = std::max(longestBurst, at - burstStart + 1);
        ++errors;
    }
    // A lost packet replaces zeros, where a gateway's fill for a late one adds bytes: the span
    // must be long enough, and the zeros alone not too long.
    const bool passed = span >= TcfBytes(m_nModulation, -kTcfTolerancePercent) &&
                        span - errors <= TcfBytes(m_nModulation, kTcfTolerancePercent) &&
                        bursts <= kTcfBurstsAllowed &&
                        longestBurst <= bytesPerTcf * kTcfBurstMaxMs / kTcfMs &&
                        errors * 100 <= span * kTcfErrorPercent;
    char text[96];
    std::snprintf(text, sizeof text, "TCF：%d字节，%d处错误共%d字节", span, bursts, errors);
    Log(text);
    return passed;
}

// After a failed check the modem is still in +FRM receive, where the first character of the
// next command would abort the receive instead (T.31), so FTT would never go out. Reads on to
// the DLE ETX that closes the carrier and the NO CARRIER after it; a carrier that goes on is
// cut off with CAN, which the modem answers with OK.
int CFaxReceiver::EndTrainingCarrier() {
    CCommPort& port = *m_pComm;
    const uint32_t start = platform::TickCountMs();
    bool dlePending = port.m_byLast == kDle;  // the byte that ended the check
    while (!platform::TickDeadlinePassed(start, m_timeouts.carrierEndMs) && !port.DeviceGone()) {
        if (IsCancelled()) return kResultCancelled;
        if (!port.ReadByte()) {
            WaitForModem(
                platform::TicksLeft(start, m_timeouts.carrierEndMs, platform::TickCountMs()));
            continue;
        }
        if (dlePending && port.m_byLast == kEtx)
            return WaitResponse(kResNoCarrier, kResError, m_timeouts.carrierEndMs, ClearAll::Yes);
        dlePending = !dlePending && port.m_byLast == kDle;
    }
    if (port.DeviceGone()) return kResultTimeout;
    port.Write(&kCan, 1);
    return WaitResponse(kResOk, kResError, m_timeouts.carrierEndMs, ClearAll::Yes);
}

bool CFaxReceiver::FlushPageBlock(size_t count) {
    bool written = m_pageFile.AppendData(m_pPageBuf.get(), count);
    std::memset(m_pPageBuf.get(), 0, kPageBufSize);
    return written;
}

int CFaxReceiver::ReadCarrierData(const std::function<bool(uint8_t)>& onByte) {
    CCommPort& port = *m_pComm;
    bool dlePending = false;
    uint32_t lastByte = platform::TickCountMs();
    for (;;) {
        if (IsCancelled()) {
            port.Purge();
            return kResultCancelled;
        }
        platform::PumpOneMessage();
        if (!port.ReadByte()) {
            if (port.DeviceGone()) {
                Log("MODEM设备已断开");
                return kResultTimeout;
            }
            uint32_t left =
                platform::TicksLeft(lastByte, m_nPageSilenceTimeoutMs, platform::TickCountMs());
            if (left == 0) {
                Log("页面数据超时");
                port.Purge();
                return kResultTimeout;
            }
            platform::WaitForActivity(port.Handle(), left);
            continue;
        }
        lastByte = platform::TickCountMs();
        uint8_t byte = port.m_byLast;
        if (dlePending) {
            dlePending = false;
            if (byte == kEtx) return kResultOk;
            byte = kDle;  // DLE DLE (or DLE and anything else) is one data byte 0x10
        } else if (byte == kDle) {
            dlePending = true;
            continue;
        }
        if (!onByte(byte)) return kResultFileWrite;
    }
}

int CFaxReceiver::ReceivePageData() {
    size_t position = 0;
    int result = ReadCarrierData([this, &position](uint8_t byte) {
        m_pPageBuf[position++] = ReverseBits(byte);
        if (position < kPageBufSize) return true;
        position = 0;
        return FlushPageBlock(kPageBufSize);
    });
    if (result == kResultOk && !FlushPageBlock(position)) return kResultFileWrite;
    return result;
}

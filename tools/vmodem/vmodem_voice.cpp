// Voice streams (AT+VTX, AT+VRX) with DLE shielding, and the events the line reports.
#include <spandsp.h>

#include <cmath>

#include "tools/vmodem/vmodem.h"

namespace {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kSub = 0x1A;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kStopReceive = '!';
constexpr int kVsmMuLaw = 4;
// A real modem needs about one on/off cadence of busy tone before it says so.
constexpr int64_t kBusyDetectMs = 1000;
constexpr double kPi = 3.14159265358979323846;

int16_t decodeSample(uint8_t byte, int format) {
    if (format == kVsmMuLaw) return ulaw_to_linear(byte);
    return int16_t((int(byte) - 128) * 256);
}

uint8_t encodeSample(int16_t sample, int format) {
    if (format == kVsmMuLaw) return linear_to_ulaw(sample);
    return uint8_t((sample >> 8) + 128);
}

}  // namespace

void VirtualModem::transmitByte(uint8_t byte) {
    if (!m_streamDle) {
        if (byte == kDle)
            m_streamDle = true;
        else if (!m_transmitAborted)
            m_transmitBuffer.push_back(byte);
        return;
    }
    m_streamDle = false;
    switch (byte) {
        case kDle:
            if (!m_transmitAborted) m_transmitBuffer.push_back(kDle);
            break;
        case kSub:
            if (!m_transmitAborted) {
                m_transmitBuffer.push_back(kDle);
                m_transmitBuffer.push_back(kDle);
            }
            break;
        case kCan:
            // V.253: DLE CAN discards what is buffered; DLE ETX then ends at once.
            m_transmitAborted = true;
            m_transmitBuffer.clear();
            break;
        case kEtx:
            m_mode = StreamMode::TransmitDraining;
            trace("transmit ends, draining");
            checkTransmitDrained();
            break;
        default:
            break;
    }
}

void VirtualModem::checkTransmitDrained() {
    if (m_mode != StreamMode::TransmitDraining || !m_transmitBuffer.empty()) return;
    m_mode = StreamMode::Command;
    sendResult(ResultCode::Ok);
}

void VirtualModem::receiveByte(uint8_t byte) {
    if (!m_streamDle) {
        m_streamDle = byte == kDle;
        return;
    }
    m_streamDle = false;
    if (byte != kStopReceive) return;
    m_mode = StreamMode::Command;
    send(std::string{char(kDle), char(kEtx)});
    sendResult(ResultCode::Ok);
    trace("receive stopped");
}

void VirtualModem::voiceOutput(int16_t* samples, int count) {
    for (int i = 0; i < count; ++i) {
        bool playing = m_mode == StreamMode::Transmit || m_mode == StreamMode::TransmitDraining;
        if (!playing || m_transmitBuffer.empty()) {
            samples[i] = 0;
            continue;
        }
        samples[i] = decodeSample(m_transmitBuffer.front(), m_vsmFormat);
        m_transmitBuffer.pop_front();
    }
}

void VirtualModem::lineAudio(const int16_t* samples, int count) {
    if (m_terminal) {
        if (m_call == CallState::Connected) terminalAudio(nullptr, samples, count);
        return;
    }
    if (m_t31) {
        if (m_faxJoined && m_call == CallState::Connected) {
            t31_rx(m_t31, const_cast<int16_t*>(samples), count);
            runFaxDeferred();
        }
        return;
    }
    if (m_fclass != 8) return;
    if (m_call == CallState::Connected && m_cngDetector)
        modem_connect_tones_rx(m_cngDetector, samples, count);
    if (m_call == CallState::FarEndGone && !m_busyReported &&
        vmodemNowMs() - m_farEndGoneMs >= kBusyDetectMs) {
        m_busyReported = true;
        reportEvent('b');
    }
    if (m_mode != StreamMode::Receive) return;
    std::string out;
    out.reserve(size_t(count) + 8);
    for (int i = 0; i < count; ++i) {
        uint8_t byte = encodeSample(samples[i], m_vsmFormat);
        out.push_back(char(byte));
        if (byte == kDle) out.push_back(char(kDle));
    }
    send(out);
}

void VirtualModem::reportEvent(char event) {
    trace(std::string("event ") + event);
    send(std::string{char(kDle), event});
}

void VirtualModem::onCallingTone(void* user, int code, int, int) {
    auto* modem = static_cast<VirtualModem*>(user);
    if (code == MODEM_CONNECT_TONES_FAX_CNG && modem->m_fclass == 8 && !modem->m_t31)
        modem->reportEvent('c');
}

void VirtualModem::busyTone(int16_t* samples, int count) {
    // 480 Hz + 620 Hz, 0.5 s on, 0.5 s off, about -20 dBm0 each.
    constexpr uint32_t kCadenceSamples = 4000;
    for (int i = 0; i < count; ++i, ++m_busyPhase) {
        bool on = (m_busyPhase / kCadenceSamples) % 2 == 0;
        double t = double(m_busyPhase) / 8000.0;
        double v = on ? 2300.0 * (std::sin(2 * kPi * 480 * t) + std::sin(2 * kPi * 620 * t)) : 0.0;
        samples[i] = int16_t(std::lround(v));
    }
}

// Voice streams (AT+VTX, AT+VRX) with DLE shielding, the events the line reports, and the tones
// it carries once the caller has hung up.
#include <spandsp.h>

#include <algorithm>
#include <iterator>

#include "vmodem/vmodem.h"

namespace {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kSub = 0x1A;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kStopReceive = '!';
// A real modem needs about one on/off cadence of busy tone before it says so.
constexpr int64_t kBusyDetectMs = 1000;
constexpr int kLineRateHz = 8000;
// Below this mean square a block counts as silence (about -50 dBm0): line noise stays under it.
constexpr double kSilencePower = 100.0 * 100.0;
constexpr int kSamplesPerVsdUnit = kLineRateHz / 10;  // +VSD counts tenths of a second

struct Cadence {
    int hz1, dbm1, hz2, dbm2;  // a second frequency of 0 is none
    int onMs, offMs;           // an off time of 0 is a continuous tone
};

struct ExchangeBusy {
    std::vector<const char*> countries;  // T.35 codes
    Cadence cadence;
};

// The busy tones of the exchanges of the countries a modem can be set for, after ITU-T E.180;
// the last one for every other country.
const ExchangeBusy kExchangeBusy[] = {
    {{"B5", "20", "50", "FE"}, {480, -20, 620, -20, 500, 500}},
    {{"B4"}, {400, -13, 0, 0, 375, 375}},
    {{"04", "0F", "7B", "82", "8B", "A6"}, {425, -13, 0, 0, 480, 480}},
    {{"31", "3C", "A5"}, {425, -13, 0, 0, 250, 250}},
    {{"A0"}, {425, -13, 0, 0, 200, 200}},
    {{"3D"}, {440, -13, 0, 0, 500, 500}},
    {{"26"}, {450, -10, 0, 0, 350, 350}},
    {{"00"}, {400, -13, 0, 0, 500, 500}},
    {{}, {425, -13, 0, 0, 500, 500}},
};

Cadence busyOf(const std::string& country) {
    for (const ExchangeBusy& exchange : kExchangeBusy) {
        for (const char* code : exchange.countries) {
            if (country == code) return exchange.cadence;
        }
    }
    return std::end(kExchangeBusy)[-1].cadence;
}

// The exchanges' tones: the busy tone of the modem's country, China 450 Hz busy, the North
// American reorder (the precise tone plan's fast busy), the CEPT 425 Hz busy, and the North
// American dial tone.
Cadence cadenceOf(HangupTone tone, const std::string& country) {
    switch (tone) {
        case HangupTone::Busy:
            return busyOf(country);
        case HangupTone::CnBusy:
            return {450, -10, 0, 0, 350, 350};
        case HangupTone::UsReorder:
            return {480, -20, 620, -20, 250, 250};
        case HangupTone::EuBusy:
            return {425, -13, 0, 0, 500, 500};
        case HangupTone::DialTone:
            return {350, -13, 440, -13, 1000, 0};
        case HangupTone::Silence:
            return {0, 0, 0, 0, 0, 0};
    }
    return {0, 0, 0, 0, 0, 0};
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
    // A lone byte of a 16-bit sample is no sample: it is dropped with the stream's end.
    if (m_mode != StreamMode::TransmitDraining || !m_playQueue.empty() ||
        m_transmitBuffer.size() >= size_t(bytesPerSample(codec())))
        return;
    m_transmitBuffer.clear();
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
    bool playing = m_mode == StreamMode::Transmit || m_mode == StreamMode::TransmitDraining;
    const VoiceCodec format = codec();
    const size_t width = size_t(bytesPerSample(format));
    while (playing && m_playQueue.size() < size_t(count) && m_transmitBuffer.size() >= width) {
        uint8_t bytes[2] = {};
        for (size_t b = 0; b < width; ++b) {
            bytes[b] = m_transmitBuffer.front();
            m_transmitBuffer.pop_front();
        }
        int16_t sample = decodeSample(bytes, format);
        m_toLine.convert(&sample, 1, m_playQueue);
    }
    int got = playing ? int(std::min(m_playQueue.size(), size_t(count))) : 0;
    std::copy(m_playQueue.begin(), m_playQueue.begin() + got, samples);
    m_playQueue.erase(m_playQueue.begin(), m_playQueue.begin() + got);
    std::fill(samples + got, samples + count, int16_t(0));
}

void VirtualModem::lineAudio(const int16_t* samples, int count) {
    if (m_terminal) {
        if (m_call == CallState::Connected) terminalAudio(nullptr, samples, count);
        return;
    }
    if (m_t31) {
        if (m_faxJoined && m_call == CallState::Connected) {
            if (m_options.traceCarriers) m_callerCarrier.feed(samples, count, vmodemNowNs());
            t31_rx(m_t31, const_cast<int16_t*>(samples), count);
            runFaxDeferred();
        }
        return;
    }
    if (m_fclass != 8) return;
    if (m_call == CallState::Connected && m_cngDetector)
        modem_connect_tones_rx(m_cngDetector, samples, count);
    watchFarEndGone();
    if (m_mode != StreamMode::Receive) return;
    watchSilence(samples, count);
    std::vector<int16_t> modemSide;
    m_toModem.convert(samples, count, modemSide);
    const VoiceCodec format = codec();
    std::string encoded;
    std::string out;
    out.reserve(modemSide.size() * 2 + 8);
    for (int16_t sample : modemSide) {
        encoded.clear();
        encodeSample(sample, format, encoded);
        for (char byte : encoded) {
            out.push_back(byte);
            if (uint8_t(byte) == kDle) out.push_back(char(kDle));
        }
    }
    send(out);
}

void VirtualModem::watchFarEndGone() {
    if (m_call != CallState::FarEndGone || m_busyReported ||
        vmodemNowMs() - m_farEndGoneMs < kBusyDetectMs)
        return;
    m_busyReported = true;
    const std::vector<HangupTone>& heard = personality().busyTones;
    if (std::find(heard.begin(), heard.end(), m_options.hangupTone) != heard.end())
        reportEvent('b');
    else
        trace(std::string("no busy report for ") + toString(m_options.hangupTone));
}

void VirtualModem::watchSilence(const int16_t* samples, int count) {
    if (!personality().silenceEvent || m_vsdTime == 0) return;
    double power = 0;
    for (int i = 0; i < count; ++i) power += double(samples[i]) * samples[i];
    if (count > 0 && power / count >= kSilencePower) {
        m_quietSamples = 0;
        m_silenceReported = false;
        return;
    }
    m_quietSamples += count;
    if (!m_silenceReported && m_quietSamples >= m_vsdTime * kSamplesPerVsdUnit) {
        m_silenceReported = true;
        reportEvent(personality().silenceEvent);
    }
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

void VirtualModem::startHangupTone() {
    if (m_hangupTone) tone_gen_free(m_hangupTone);
    m_hangupTone = nullptr;
    Cadence c = cadenceOf(m_options.hangupTone, m_country);
    if (c.hz1 == 0) return;
    // A continuous tone repeats one on period with no gap. The state copies the descriptor.
    tone_gen_descriptor_t* descriptor = tone_gen_descriptor_init(
        nullptr, c.hz1, c.dbm1, c.hz2, c.dbm2, c.onMs, c.offMs, 0, 0, TRUE);
    if (!descriptor) return;
    m_hangupTone = tone_gen_init(nullptr, descriptor);
    tone_gen_descriptor_free(descriptor);
}

void VirtualModem::hangupTone(int16_t* samples, int count) {
    int got = m_hangupTone ? tone_gen(m_hangupTone, samples, count) : 0;
    std::fill(samples + got, samples + count, int16_t(0));
}

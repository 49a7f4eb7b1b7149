#include "vmodem/voice_samples.h"

#include <spandsp.h>

int bytesPerSample(VoiceCodec codec) { return codec == VoiceCodec::Linear16 ? 2 : 1; }

void encodeSample(int16_t sample, VoiceCodec codec, std::string& out) {
    switch (codec) {
        case VoiceCodec::Unsigned8:
            out.push_back(char((sample >> 8) + 128));
            return;
        case VoiceCodec::Signed8:
            out.push_back(char(sample >> 8));
            return;
        case VoiceCodec::Linear16:
            // Little-endian, as the PC chipsets send it.
            out.push_back(char(sample & 0xFF));
            out.push_back(char((sample >> 8) & 0xFF));
            return;
        case VoiceCodec::MuLaw:
            out.push_back(char(linear_to_ulaw(sample)));
            return;
        case VoiceCodec::ALaw:
            out.push_back(char(linear_to_alaw(sample)));
            return;
    }
}

int16_t decodeSample(const uint8_t* bytes, VoiceCodec codec) {
    switch (codec) {
        case VoiceCodec::Unsigned8:
            return int16_t((int(bytes[0]) - 128) * 256);
        case VoiceCodec::Signed8:
            return int16_t(int(int8_t(bytes[0])) * 256);
        case VoiceCodec::Linear16:
            return int16_t(uint16_t(bytes[0] | (bytes[1] << 8)));
        case VoiceCodec::MuLaw:
            return ulaw_to_linear(bytes[0]);
        case VoiceCodec::ALaw:
            return alaw_to_linear(bytes[0]);
    }
    return 0;
}

RateConverter::RateConverter(int fromHz, int toHz)
    : m_fromHz(fromHz), m_toHz(toHz), m_step(double(fromHz) / double(toHz)) {}

void RateConverter::convert(const int16_t* in, int count, std::vector<int16_t>& out) {
    if (passThrough()) {
        out.insert(out.end(), in, in + count);
        return;
    }
    for (int i = 0; i < count; ++i) {
        // Outputs between the last sample (0) and this one (1).
        while (m_pos <= 1.0) {
            out.push_back(int16_t(m_last + (in[i] - m_last) * m_pos));
            m_pos += m_step;
        }
        m_pos -= 1.0;
        m_last = in[i];
    }
}

#pragma once
// Samples of a voice stream as they cross the serial line, and the rate change at the modem's
// edge for a DSP that does not run at the line's 8000 Hz.

#include <cstdint>
#include <string>
#include <vector>

#include "vmodem/vmodem_personality.h"

int bytesPerSample(VoiceCodec codec);
// Appends the sample's bytes in `codec` to *out.
void encodeSample(int16_t sample, VoiceCodec codec, std::string& out);
// Reads one sample from bytesPerSample(codec) bytes.
int16_t decodeSample(const uint8_t* bytes, VoiceCodec codec);

// Linear interpolation between neighbouring samples: enough for speech and call-progress tones,
// which is all a voice modem's DSP carries.
class RateConverter {
public:
    RateConverter(int fromHz = 8000, int toHz = 8000);
    bool passThrough() const { return m_fromHz == m_toHz; }
    // Appends the output samples that `count` more input samples complete.
    void convert(const int16_t* in, int count, std::vector<int16_t>& out);

private:
    int m_fromHz;
    int m_toHz;
    double m_step;       // input samples per output sample
    double m_pos = 1.0;  // where the next output falls after m_last, in input samples
    int16_t m_last = 0;
};

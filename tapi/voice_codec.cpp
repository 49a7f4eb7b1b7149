#include "tapi/voice_codec.h"

namespace tapi {
namespace {

// ITU-T G.711 companding, segment by segment.
constexpr int kMuLawBias = 0x84;
constexpr int kMuLawClip = 32635;

uint8_t LinearToMuLaw(int16_t sample) {
    int value = sample;
    int sign = value < 0 ? 0x80 : 0;
    if (value < 0) value = -value;
    if (value > kMuLawClip) value = kMuLawClip;
    value += kMuLawBias;
    int exponent = 7;
    for (int mask = 0x4000; exponent > 0 && !(value & mask); mask >>= 1) --exponent;
    int mantissa = (value >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | exponent << 4 | mantissa));
}

int16_t MuLawToLinear(uint8_t byte) {
    int value = ~byte & 0xFF;
    int exponent = (value >> 4) & 0x07;
    int magnitude = (((value & 0x0F) << 3) + kMuLawBias) << exponent;
    return static_cast<int16_t>((value & 0x80) ? kMuLawBias - magnitude : magnitude - kMuLawBias);
}

uint8_t LinearToALaw(int16_t sample) {
    int value = sample >> 3;  // A-law works on 13 bits
    int sign = value >= 0 ? 0x80 : 0;
    if (value < 0) value = -value - 1;
    int exponent = 0;
    for (int limit = 0x1F; exponent < 8 && value > limit; limit = limit << 1 | 1) ++exponent;
    int code;
    if (exponent >= 8) {
        code = 0x7F;
    } else {
        int mantissa = exponent < 2 ? (value >> 1) & 0x0F : (value >> exponent) & 0x0F;
        code = exponent << 4 | mantissa;
    }
    return static_cast<uint8_t>((sign | code) ^ 0x55);
}

int16_t ALawToLinear(uint8_t byte) {
    int value = byte ^ 0x55;
    int exponent = (value >> 4) & 0x07;
    int mantissa = value & 0x0F;
    int magnitude =
        exponent == 0 ? (mantissa << 4) + 8 : ((mantissa << 4) + 0x108) << (exponent - 1);
    return static_cast<int16_t>((value & 0x80) ? magnitude : -magnitude);
}

}  // namespace

uint8_t EncodeSample(VoiceCodec codec, int16_t sample) {
    switch (codec) {
        case VoiceCodec::Unsigned8:
            return static_cast<uint8_t>((sample >> 8) + 128);
        case VoiceCodec::Signed8:
            return static_cast<uint8_t>(sample >> 8);
        case VoiceCodec::MuLaw:
            return LinearToMuLaw(sample);
        case VoiceCodec::ALaw:
            return LinearToALaw(sample);
        case VoiceCodec::None:
            break;
    }
    return 0;
}

int16_t DecodeSample(VoiceCodec codec, uint8_t byte) {
    switch (codec) {
        case VoiceCodec::Unsigned8:
            return static_cast<int16_t>((byte - 128) * 256);
        case VoiceCodec::Signed8:
            return static_cast<int16_t>(static_cast<int8_t>(byte) * 256);
        case VoiceCodec::MuLaw:
            return MuLawToLinear(byte);
        case VoiceCodec::ALaw:
            return ALawToLinear(byte);
        case VoiceCodec::None:
            break;
    }
    return 0;
}

}  // namespace tapi

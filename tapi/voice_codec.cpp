#include "tapi/voice_codec.h"

#include <spandsp.h>

namespace tapi {

uint8_t EncodeSample(VoiceCodec codec, int16_t sample) {
    switch (codec) {
        case VoiceCodec::Unsigned8:
            return static_cast<uint8_t>((sample >> 8) + 128);
        case VoiceCodec::Signed8:
            return static_cast<uint8_t>(sample >> 8);
        case VoiceCodec::MuLaw:
            return linear_to_ulaw(sample);
        case VoiceCodec::ALaw:
            return linear_to_alaw(sample);
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
            return ulaw_to_linear(byte);
        case VoiceCodec::ALaw:
            return alaw_to_linear(byte);
        case VoiceCodec::None:
            break;
    }
    return 0;
}

}  // namespace tapi

#pragma once
// Samples between 16-bit linear PCM and the modem's V.253 sample formats.

#include <cstdint>

namespace tapi {

enum class VoiceCodec { None, Unsigned8, Signed8, MuLaw, ALaw };

uint8_t EncodeSample(VoiceCodec codec, int16_t sample);
int16_t DecodeSample(VoiceCodec codec, uint8_t byte);

}  // namespace tapi

#pragma once
// Samples between 16-bit linear PCM and the modem's V.253 sample formats.

#include <cstdint>

namespace tapi {

enum class VoiceCodec { None, Unsigned8, MuLaw, ALaw };

// The codec of a V.253 compression method id (AT+VSM): 1 and Lucent's 128 are unsigned 8-bit
// linear, 4 and 131 G.711 mu-law, 5 and 130 G.711 A-law.
VoiceCodec CodecForCompression(int compression);

uint8_t EncodeSample(VoiceCodec codec, int16_t sample);
int16_t DecodeSample(VoiceCodec codec, uint8_t byte);

}  // namespace tapi

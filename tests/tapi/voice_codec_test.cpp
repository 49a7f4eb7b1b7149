#include "tapi/voice_codec.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using tapi::VoiceCodec;

TEST(VoiceCodec, G711ReferencePoints) {
    struct Point {
        VoiceCodec codec;
        int16_t linear;
        uint8_t code;
    } points[] = {
        {VoiceCodec::MuLaw, 0, 0xFF},      {VoiceCodec::MuLaw, 32767, 0x80},
        {VoiceCodec::MuLaw, -32768, 0x00}, {VoiceCodec::MuLaw, 1000, 0xCE},
        {VoiceCodec::ALaw, 0, 0xD5},       {VoiceCodec::ALaw, -1, 0x55},
        {VoiceCodec::ALaw, 32767, 0xAA},   {VoiceCodec::Unsigned8, -28672, 0x10},
    };
    for (const Point& p : points) EXPECT_EQ(tapi::EncodeSample(p.codec, p.linear), p.code);
    // Round trips stay within the companding step (about 3% of the value).
    for (VoiceCodec codec : {VoiceCodec::MuLaw, VoiceCodec::ALaw}) {
        for (int v = -32000; v <= 32000; v += 997) {
            int back = tapi::DecodeSample(codec, tapi::EncodeSample(codec, int16_t(v)));
            EXPECT_LE(std::abs(back - v), std::abs(v) / 16 + 40) << v;
        }
    }
}

}  // namespace

#pragma once
// The wave device records shared by the program and the line library, in the classic layouts:
// the 18-byte PCM format record and the block header the devices fill and hand back.

#include <cstdint>

namespace platform {

#pragma pack(push, 1)
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "the format record is 18 bytes");

constexpr uint16_t WAVE_FORMAT_PCM = 1;

}  // namespace platform

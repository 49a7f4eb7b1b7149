#pragma once
#include <cstdint>

#include "platform/wave_abi.h"

// The PCM format of voice audio and the number of sample frames in one device block. Base of
// the WAV file and of both sound threads.
class CSoundFormat {
public:
    CSoundFormat();
    virtual ~CSoundFormat() = default;

    void SetBitsPerSample(uint16_t bits);
    void SetSamplesPerSec(uint32_t rate);
    void SetChannels(uint16_t channels);
    const platform::WAVEFORMATEX* GetFormat() const { return &m_format; }
    // Bytes of one device block: nBlockAlign x framesPerBuffer.
    uint32_t BlockBytes() const { return m_format.nBlockAlign * framesPerBuffer; }

    uint32_t framesPerBuffer = 1000;

protected:
    void Recalculate();

    platform::WAVEFORMATEX m_format{};
};

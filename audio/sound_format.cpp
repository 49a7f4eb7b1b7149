#include "audio/sound_format.h"

namespace {

constexpr uint16_t kDefaultBits = 16;
constexpr uint32_t kDefaultRateHz = 8000;
constexpr uint16_t kDefaultChannels = 1;

}  // namespace

CSoundFormat::CSoundFormat() {
    m_format.wFormatTag = platform::WAVE_FORMAT_PCM;
    m_format.cbSize = 0;
    SetBitsPerSample(kDefaultBits);
    SetSamplesPerSec(kDefaultRateHz);
    SetChannels(kDefaultChannels);
}

void CSoundFormat::SetBitsPerSample(uint16_t bits) {
    m_format.wBitsPerSample = bits;
    Recalculate();
}

void CSoundFormat::SetSamplesPerSec(uint32_t rate) {
    m_format.nSamplesPerSec = rate;
    Recalculate();
}

void CSoundFormat::SetChannels(uint16_t channels) {
    m_format.nChannels = channels;
    Recalculate();
}

void CSoundFormat::Recalculate() {
    uint32_t bytesPerSample = m_format.wBitsPerSample / 8;
    m_format.nAvgBytesPerSec = m_format.nSamplesPerSec * m_format.nChannels * bytesPerSample;
    m_format.nBlockAlign = static_cast<uint16_t>(m_format.nChannels * bytesPerSample);
}

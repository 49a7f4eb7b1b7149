#include "fax/ecm_block.h"

#include <algorithm>
#include <cstring>

namespace {

uint8_t Reversed(uint8_t byte) {
    uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit) {
        reversed = static_cast<uint8_t>((reversed << 1) | (byte & 1));
        byte >>= 1;
    }
    return reversed;
}

}  // namespace

CEcmBlock::CEcmBlock() : m_data(kMaxFrames * kMaxFrameOctets) {}

void CEcmBlock::Start(size_t frameOctets) {
    m_nFrameOctets = std::min(frameOctets, kMaxFrameOctets);
    m_lengths.fill(0);
}

void CEcmBlock::StoreFrame(unsigned number, const uint8_t* data, size_t length) {
    if (number >= kMaxFrames || length == 0 || length > m_nFrameOctets) return;
    if (m_lengths[number] != 0) return;
    std::memcpy(m_data.data() + number * kMaxFrameOctets, data, length);
    m_lengths[number] = static_cast<uint16_t>(length);
}

unsigned CEcmBlock::FramesHeld() const {
    return static_cast<unsigned>(
        std::count_if(m_lengths.begin(), m_lengths.end(), [](uint16_t n) { return n != 0; }));
}

bool CEcmBlock::Complete(unsigned frameCount) const {
    FrameMap map{};
    return MissingMap(frameCount, map) == 0;
}

unsigned CEcmBlock::MissingMap(unsigned frameCount, FrameMap& map) const {
    map.fill(0);
    unsigned missing = 0;
    for (unsigned n = 0; n < std::min(frameCount, kMaxFrames); ++n) {
        if (m_lengths[n] != 0) continue;
        map[n / 8] = static_cast<uint8_t>(map[n / 8] | (1u << (n % 8)));
        ++missing;
    }
    return missing;
}

std::vector<uint8_t> CEcmBlock::PageData(unsigned frameCount) const {
    std::vector<uint8_t> data;
    for (unsigned n = 0; n < std::min(frameCount, kMaxFrames); ++n) {
        const uint8_t* frame = m_data.data() + n * kMaxFrameOctets;
        for (size_t i = 0; i < m_lengths[n]; ++i) data.push_back(Reversed(frame[i]));
    }
    return data;
}

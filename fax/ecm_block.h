#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// One error-correction block of a page (T.30 Annex A): up to 256 numbered FCD frames of 64 or
// 256 octets, gathered over the transmissions of the block until every frame has come intact.
class CEcmBlock {
public:
    static constexpr unsigned kMaxFrames = 256;
    static constexpr size_t kMaxFrameOctets = 256;
    static constexpr size_t kMapOctets = kMaxFrames / 8;
    using FrameMap = std::array<uint8_t, kMapOctets>;

    CEcmBlock();

    // A new block with frames of `frameOctets` (64 or 256).
    void Start(size_t frameOctets);
    // An FCD frame's number and data octets (T.4 data, the first bit on the line in the LSB).
    // A frame already held, or one longer than the frame size, is left alone.
    void StoreFrame(unsigned number, const uint8_t* data, size_t length);

    size_t FrameOctets() const { return m_nFrameOctets; }
    unsigned FramesHeld() const;
    // True when frames 0 to frameCount - 1 are all held.
    bool Complete(unsigned frameCount) const;
    // The PPR map: for frame n, bit n % 8 (the first on the line) of octet n / 8, set when frame
    // n of the first `frameCount` is still missing. Returns how many are.
    unsigned MissingMap(unsigned frameCount, FrameMap& map) const;
    // The held frames among the first `frameCount`, in order, each octet with its first line bit
    // in the MSB (as the raw page file keeps page data).
    std::vector<uint8_t> PageData(unsigned frameCount) const;

private:
    size_t m_nFrameOctets = kMaxFrameOctets;
    std::vector<uint8_t> m_data;
    std::array<uint16_t, kMaxFrames> m_lengths{};  // 0: not held
};

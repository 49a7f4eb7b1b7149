#pragma once
#include <cstdint>
#include <cstring>

// Cursor over the page data of a raw page file, most significant bit first. Pages follow each
// other bit by bit, so a page may start in the middle of a byte.
class CBitReader {
public:
    // Zero bytes the caller keeps after the data so that Peek64 may read past the last byte.
    static constexpr uint64_t kPeekPadding = 16;

    void Reset(const uint8_t* data, uint64_t sizeBytes);
    void Clear() { Reset(nullptr, 0); }

    // Reading goes on from bit `from` up to bit `to` only (from <= to <= the data's bits): one
    // page's share of the data.
    void Restrict(uint64_t from, uint64_t to) {
        m_nBitPos = from;
        m_nBitsTotal = to;
    }
    uint64_t BitPosition() const { return m_nBitPos; }
    const uint8_t* Data() const { return m_pData; }

    uint64_t BitsLeft() const { return m_nBitsTotal - m_nBitPos; }
    // Unconsumed page data in bytes; a partly read byte counts as a whole one.
    uint64_t BytesLeft() const { return (BitsLeft() + 7) / 8; }

    bool ReadBit() {
        const uint8_t byte = m_pData[m_nBitPos >> 3];
        const bool bit = (byte & (0x80u >> (m_nBitPos & 7))) != 0;
        ++m_nBitPos;
        return bit;
    }

    // The next 64 bits, the next one in the most significant position; bits past the end read as
    // 0, or as the next page's data after Restrict, so callers limit themselves to BitsLeft.
    uint64_t Peek64() const {
        const uint8_t* p = m_pData + (m_nBitPos >> 3);
        uint64_t word = 0;
        std::memcpy(&word, p, sizeof word);
        word = __builtin_bswap64(word);  // first byte on the line into the top bits
        const unsigned shift = m_nBitPos & 7;
        if (shift != 0) word = (word << shift) | (p[8] >> (8 - shift));
        return word;
    }
    void Skip(uint64_t bits) { m_nBitPos += bits; }

private:
    const uint8_t* m_pData = nullptr;
    uint64_t m_nBitsTotal = 0;
    uint64_t m_nBitPos = 0;
};

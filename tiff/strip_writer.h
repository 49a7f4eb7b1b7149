#pragma once
#include <cstdint>
#include <vector>

// Builds one page's strip bit by bit, most significant bit first. The partly filled byte
// carries over from page to page; the bytes belong to the current page.
class CStripWriter {
public:
    // Back to an empty accumulator at a byte boundary.
    void ResetBits();
    // Empties the strip and makes room for `capacity` bytes; false when there is no memory.
    bool BeginPage(uint64_t capacity);
    void FreePage();

    void WriteBit(bool bit) { WriteBits(bit ? 1u : 0u, 1); }
    // Writes the low `count` bits of `bits` (count <= 56), the highest of them first.
    void WriteBits(uint64_t bits, unsigned count) {
        m_nAccumulator = (m_nAccumulator << count) | bits;
        m_nPendingBits += count;
        while (m_nPendingBits >= 8) {
            m_nPendingBits -= 8;
            m_bytes.push_back(static_cast<uint8_t>(m_nAccumulator >> m_nPendingBits));
        }
        m_nAccumulator &= (uint64_t{1} << m_nPendingBits) - 1;
    }
    // Zero fill and a 1 so that the EOL just written ends on a byte boundary.
    void WriteEolTail() { WriteBits(1, 8 - m_nPendingBits); }

    bool HasPendingBits() const { return m_nPendingBits != 0; }
    // Stores the partly filled byte, low bits 0, as the strip's next byte.
    void StorePendingByte();
    // Sets the strip length; bytes beyond those written read as 0.
    void SetByteCount(uint64_t count);

    uint64_t ByteCount() const { return m_bytes.size(); }
    const uint8_t* Data() const { return m_bytes.data(); }

private:
    std::vector<uint8_t> m_bytes;
    uint64_t m_nAccumulator = 0;
    unsigned m_nPendingBits = 0;
};

#include "tiff/bit_reader.h"

void CBitReader::Reset(const uint8_t* data, uint64_t sizeBytes) {
    m_pData = data;
    m_nBitsTotal = data ? sizeBytes * 8 : 0;
    m_nBitPos = 0;
}

uint64_t CBitReader::Peek64() const {
    const uint8_t* p = m_pData + (m_nBitPos >> 3);
    uint64_t word = 0;
    for (int i = 0; i < 8; ++i) word = (word << 8) | p[i];
    const unsigned shift = m_nBitPos & 7;
    if (shift != 0) word = (word << shift) | (p[8] >> (8 - shift));
    return word;
}

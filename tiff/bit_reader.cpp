#include "tiff/bit_reader.h"

void CBitReader::Reset(const uint8_t* data, uint64_t sizeBytes) {
    m_pData = data;
    m_nBitsTotal = data ? sizeBytes * 8 : 0;
    m_nBitPos = 0;
}

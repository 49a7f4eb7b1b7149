#include "tiff/strip_writer.h"

#include <new>
#include <stdexcept>

void CStripWriter::ResetBits() {
    m_nAccumulator = 0;
    m_nPendingBits = 0;
}

bool CStripWriter::BeginPage(uint64_t capacity) {
    m_bytes.clear();
    try {
        m_bytes.reserve(capacity);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

void CStripWriter::FreePage() { std::vector<uint8_t>().swap(m_bytes); }

void CStripWriter::StorePendingByte() {
    m_bytes.push_back(static_cast<uint8_t>(m_nAccumulator << (8 - m_nPendingBits)));
}

void CStripWriter::SetByteCount(uint64_t count) { m_bytes.resize(count, 0); }

#include "fax/hdlc_deframer.h"

#include <utility>

namespace {

constexpr unsigned kOnesBeforeStuffedZero = 5;
constexpr unsigned kOnesInFlag = 6;
constexpr unsigned kOnesInAbort = 7;
// A flag leaves its leading zero and five ones in the frame's last, unfinished octet.
constexpr unsigned kFlagBitsInFrame = 6;
constexpr uint16_t kCrcPolynomialReflected = 0x8408;
// What the CRC over a frame and its own check sequence leaves when both arrived intact.
constexpr uint16_t kCrcGoodResidue = 0xF0B8;
constexpr size_t kCheckOctets = 2;
// Address, control and FCF at least.
constexpr size_t kShortestFrameOctets = 3 + kCheckOctets;

}  // namespace

CHdlcDeframer::CHdlcDeframer(size_t maxFrameOctets, FrameHandler handler)
    : m_nMaxOctets(maxFrameOctets), m_handler(std::move(handler)) {
    m_frame.reserve(maxFrameOctets);
}

uint16_t CHdlcDeframer::Crc16(const uint8_t* data, size_t length, uint16_t crc) {
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ kCrcPolynomialReflected)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

void CHdlcDeframer::Put(const uint8_t* octets, size_t count) {
    for (size_t i = 0; i < count; ++i) PutOctet(octets[i]);
}

void CHdlcDeframer::PutOctet(uint8_t octet) {
    for (unsigned bit = 0; bit < 8; ++bit) PutBit((octet >> bit) & 1u);
}

void CHdlcDeframer::PutBit(unsigned bit) {
    if (bit) {
        if (++m_nOnes >= kOnesInAbort) {
            // An abort, or the idle line: nothing counts until the next flag.
            m_bInFrame = false;
            return;
        }
        if (m_nOnes == kOnesInFlag) return;
    } else {
        const unsigned ones = m_nOnes;
        m_nOnes = 0;
        if (ones == kOnesInFlag) {
            EndFrame();
            return;
        }
        if (ones == kOnesBeforeStuffedZero) return;
    }
    if (!m_bInFrame || m_bTooLong) return;
    m_octet |= bit << m_nBits;
    if (++m_nBits < 8) return;
    if (m_frame.size() >= m_nMaxOctets) {
        m_bTooLong = true;
        return;
    }
    m_frame.push_back(static_cast<uint8_t>(m_octet));
    m_octet = 0;
    m_nBits = 0;
}

void CHdlcDeframer::EndFrame() {
    if (m_bInFrame && (m_bTooLong || !m_frame.empty())) {
        const bool whole = !m_bTooLong && m_nBits == kFlagBitsInFrame &&
                           m_frame.size() >= kShortestFrameOctets &&
                           Crc16(m_frame.data(), m_frame.size()) == kCrcGoodResidue;
        if (whole) {
            ++m_nGoodFrames;
            m_handler(m_frame.data(), m_frame.size() - kCheckOctets);
        } else {
            ++m_nBadFrames;
        }
    }
    m_frame.clear();
    m_octet = 0;
    m_nBits = 0;
    m_bTooLong = false;
    m_bInFrame = true;
}

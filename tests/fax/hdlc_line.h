#pragma once
// HDLC frames as a Class 1 modem delivers them from the line: octets, the first bit in the LSB.
#include <cstdint>
#include <vector>

#include "fax/hdlc_deframer.h"

namespace faxtest {

class HdlcLine {
public:
    void Flags(int count = 1) {
        for (int i = 0; i < count; ++i) Raw(0x7E);
    }
    // The frame with its check sequence, zero bits stuffed, and a closing flag.
    void Frame(std::vector<uint8_t> frame) {
        const uint16_t fcs =
            static_cast<uint16_t>(~CHdlcDeframer::Crc16(frame.data(), frame.size()));
        frame.push_back(static_cast<uint8_t>(fcs));
        frame.push_back(static_cast<uint8_t>(fcs >> 8));
        for (uint8_t octet : frame) {
            for (int bit = 0; bit < 8; ++bit) Stuffed((octet >> bit) & 1);
        }
        Flags();
    }
    void Bit(int bit) { m_bits.push_back(static_cast<uint8_t>(bit)); }
    void Abort() {
        for (int i = 0; i < 7; ++i) Bit(1);
    }
    // Pads with idle ones to whole octets.
    std::vector<uint8_t> Octets() const {
        std::vector<uint8_t> octets((m_bits.size() + 7) / 8, 0xFF);
        for (size_t i = 0; i < m_bits.size(); ++i) {
            if (!m_bits[i]) octets[i / 8] = static_cast<uint8_t>(octets[i / 8] & ~(1u << (i % 8)));
        }
        return octets;
    }
    std::vector<uint8_t>& Bits() { return m_bits; }

private:
    void Raw(uint8_t octet) {
        for (int bit = 0; bit < 8; ++bit) Bit((octet >> bit) & 1);
        m_ones = 0;
    }
    void Stuffed(int bit) {
        Bit(bit);
        m_ones = bit ? m_ones + 1 : 0;
        if (m_ones == 5) {
            Bit(0);
            m_ones = 0;
        }
    }
    std::vector<uint8_t> m_bits;
    int m_ones = 0;
};

}  // namespace faxtest

#pragma once
#include <cstddef>
#include <cstdint>

// The bits of the DIS and DCS information fields, numbered as T.30 Table 2 numbers them, for a
// field in written order (first bit on the line in the MSB): bit n is 0x80 >> ((n - 1) % 8) of
// octet (n - 1) / 8.
namespace t30_bits {

constexpr unsigned kT4Receiver = 10;  // DIS: receives T.4; DCS: receive in T.4
// Bits 11 to 14: the data signalling rate, read as one number with bit 11 as its high bit.
constexpr unsigned kRateFirst = 11;
constexpr unsigned kRateBitCount = 4;
constexpr unsigned kRateV27ter = 0x4;     // DIS: V.27 ter (bit 12)
constexpr unsigned kRateV29 = 0x8;        // DIS: V.29 (bit 11)
constexpr unsigned kRateV17 = 0x1;        // DIS: V.17 (bit 14)
constexpr unsigned kFineResolution = 15;  // 7.7 lines/mm
constexpr unsigned kTwoDimensional = 16;  // T.4 2-D coding (MR)
// Bits 19 and 20: recording length; bit 20 alone is "unlimited".
constexpr unsigned kUnlimitedLength = 20;
// Bits 21 to 23: minimum scan line time; all three set is 0 ms.
constexpr unsigned kScanTimeFirst = 21;
constexpr unsigned kScanTimeBitCount = 3;
constexpr unsigned kScanTime0Ms = 0x7;
constexpr unsigned kExtendTo32 = 24;   // the octet with bits 25 to 32 follows
constexpr unsigned kEcm = 27;          // error correction mode (T.30 Annex A)
constexpr unsigned kFrameSize64 = 28;  // DCS: 64-octet ECM frames, else 256
constexpr unsigned kT6 = 31;           // T.6 coding (MMR)
constexpr unsigned kExtendTo40 = 32;

// Octets a field needs to hold `bit`.
constexpr size_t OctetsFor(unsigned bit) { return (bit + 7) / 8; }

inline bool IsSet(const uint8_t* field, size_t length, unsigned bit) {
    const size_t octet = (bit - 1) / 8;
    return octet < length && (field[octet] & (0x80u >> ((bit - 1) % 8))) != 0;
}

inline void Set(uint8_t* field, unsigned bit) {
    field[(bit - 1) / 8] |= static_cast<uint8_t>(0x80u >> ((bit - 1) % 8));
}

// The bits first .. first + count - 1 as a number, `first` its high bit.
inline unsigned Field(const uint8_t* field, size_t length, unsigned first, unsigned count) {
    unsigned value = 0;
    for (unsigned bit = first; bit < first + count; ++bit)
        value = value << 1 | (IsSet(field, length, bit) ? 1u : 0u);
    return value;
}

inline void SetField(uint8_t* field, unsigned first, unsigned count, unsigned value) {
    for (unsigned i = 0; i < count; ++i) {
        if (value & (1u << (count - 1 - i))) Set(field, first + i);
    }
}

}  // namespace t30_bits

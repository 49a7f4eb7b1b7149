#pragma once
#include <cstddef>
#include <cstdint>

// The raw page file between a fax call and its TIFF: a 132-byte header, then the pages' data back
// to back as the sender coded them (first bit on the line in the MSB): T.4 1-D or 2-D, or T.6, as
// the DCS in the header says. The fax session writes it, the TIFF writer reads it. Multi-byte
// fields are little-endian.
namespace raw_page_file {

constexpr char kMagic[2] = {'G', '3'};
constexpr size_t kMagicOffset = 0;
// The DCS information field in T.30 written order, zero-padded; a longer field is cut.
constexpr size_t kDcsOffset = 3;
constexpr size_t kDcsSize = 16;
// The DCS's second octet holds T.30 (Table 2) bit 15, 7.7 lines/mm, as the value 0x02.
constexpr size_t kDcsResolutionOffset = kDcsOffset + 1;
constexpr uint8_t kDcsFineResolution = 0x02;
// The last TSI's 20 characters as the modem delivered them (last digit first), then a 0 byte.
constexpr size_t kTsiOffset = 19;
constexpr size_t kTsiSize = 21;
constexpr size_t kPageCountOffset = 40;  // one byte
constexpr unsigned kMaxPages = 255;
// Where the data of pages 1 to 21 begin, four bytes each, counted from the start of the page
// data, so that a page whose RTC was damaged on the line ends where the next one began; 0 for a
// page after the first means not recorded. In the header's unused zeros, not after the data,
// which each new page overwrites: older files read as "not recorded", older readers skip them.
constexpr size_t kPageStartsOffset = 44;
constexpr size_t kPageStartSize = 4;
constexpr unsigned kPageStartSlots = 21;
constexpr size_t kDataLengthOffset = 128;  // four bytes: the length of the page data
constexpr size_t kHeaderSize = 132;
constexpr size_t kDataOffset = kHeaderSize;
static_assert(kPageStartsOffset + kPageStartSlots * kPageStartSize == kDataLengthOffset);

}  // namespace raw_page_file

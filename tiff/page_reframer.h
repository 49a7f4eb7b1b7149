#pragma once
#include <cstdint>

#include "tiff/bit_reader.h"
#include "tiff/strip_writer.h"

// Both methods give the same strip bit for bit; the bit-by-bit one is the plain reference.
enum class ReframeMethod { kBitByBit, kRunLength };
const char* toString(ReframeMethod method);

enum class ReframeResult {
    kComplete,       // the page ended with six consecutive EOLs (RTC)
    kIncompleteRtc,  // the data ran out first; the page is still usable
    kNoPageData,
    kNoMemory,
    kNoEol,
};
const char* toString(ReframeResult result);

// T.4 end-of-line: eleven zeros and a one.
constexpr unsigned kEolZeros = 11;
// EOLs that make up the return-to-control sequence at a page's end.
constexpr unsigned kRtcEols = 6;
// Longest zero run kept in the strip; longer runs are fill and are cut to this.
constexpr unsigned kMaxCopiedZeros = 14;

// Turns the next page of `in` into a TIFF strip in `out`: data before the first EOL dropped,
// every EOL ending on a byte boundary, zero runs cut to 14, the RTC removed. `rowCount` gets
// the number of coded lines. The reader stops at the bit after the page's last EOL.
ReframeResult ReframePage(CBitReader& in, CStripWriter& out, uint32_t& rowCount,
                          ReframeMethod method);

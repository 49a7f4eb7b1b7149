#pragma once
// Fax page data for the tests: bit strings, raw page files, TIFF files decoded by libtiff.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/fax_pages.h"
#include "tests/support/little_endian.h"
#include "tiff/page_reframer.h"

namespace faxtest {

// Bit strings are texts of '0' and '1', first bit first.
using BitString = std::string;
const BitString kEol = "000000000001";
const BitString kRtc = kEol + kEol + kEol + kEol + kEol + kEol;
// Packed most significant bit first; the last byte padded with zero bits.
std::vector<uint8_t> Pack(const BitString& bits);

// Readable bit strings: space-separated tokens "EOL", "RTC", "Z<n>" (n zeros), "<hex>h" (one
// byte) and runs of 0 and 1.
BitString Bits(const std::string& text);

// A page as the fax session stores it: the 0x50 byte, the lines, then RTC.
BitString SessionPage(const BitString& lines);

// A raw page file: "G3", DCS with `dcsSecondOctet` at offset 4, page count at 40, the pages'
// starts (none: the zeros of older files) at 44, data length at 128, then the data.
void WriteRawFile(const std::string& path, uint8_t dcsSecondOctet, uint8_t pageCount,
                  const BitString& data, const std::vector<uint32_t>& pageStarts = {});

// Pages back to back as the session appends them, each padded to whole bytes; `starts` gets
// the byte where each begins.
BitString BytePages(const std::vector<BitString>& pages, std::vector<uint32_t>& starts);

// Expects libtiff to decode `pages` pages and tiffinfo to list as many, neither complaining.
DecodedTiff ExpectReadableTiff(const std::string& path, size_t pages);

// Runs a program; returns its exit status and fills `output` with its stdout and stderr.
int RunProgram(const std::vector<std::string>& argv, std::string& output);

}  // namespace faxtest

// Both walks of the re-framing, as the parameters of a test and its instances' names.
inline auto BothMethods() {
    return ::testing::Values(ReframeMethod::kBitByBit, ReframeMethod::kRunLength);
}
inline std::string MethodName(const ::testing::TestParamInfo<ReframeMethod>& info) {
    return info.param == ReframeMethod::kBitByBit ? "BitByBit" : "RunLength";
}

// Readable parameter values in test failure messages.
inline void PrintTo(ReframeMethod method, std::ostream* os) { *os << toString(method); }

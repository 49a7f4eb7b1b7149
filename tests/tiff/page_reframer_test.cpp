// Re-framing of page data, the same for both walks: EOL search, alignment, zero runs, RTC.
#include "tiff/page_reframer.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/tiff/fax_test_data.h"

namespace {

using faxtest::Bits;
using faxtest::BitString;
using faxtest::Pack;

struct Reframed {
    ReframeResult result;
    uint32_t rows = 0;
    std::string strip;  // hex bytes, "00 01 B6"
    uint64_t bitsLeft;
};

// Re-frames the first page of a data block, as the writer does.
Reframed ReframeFirst(const BitString& data, ReframeMethod method) {
    std::vector<uint8_t> bytes = Pack(data);
    const size_t size = bytes.size();
    bytes.resize(size + CBitReader::kPeekPadding, 0);
    CBitReader in;
    in.Reset(bytes.data(), size);
    CStripWriter out;
    out.ResetBits();
    Reframed page;
    page.result = ReframePage(in, out, page.rows, method);
    std::ostringstream hex;
    for (uint64_t i = 0; i < out.ByteCount(); ++i)
        hex << (i ? " " : "") << std::uppercase << std::hex << (out.Data()[i] >> 4)
            << (out.Data()[i] & 15);
    page.strip = hex.str();
    page.bitsLeft = in.BitsLeft();
    return page;
}

class ReframePageTest : public ::testing::TestWithParam<ReframeMethod> {};

// Line data without any run of ten or more zeros.
const std::string kLineA = " 1011 0110 1 ";
const std::string kLineB = " 0011 1000 0000 0111 0101 ";
const std::string kTwoLines = "00 01 B6 80 01 38 07 50";  // EOL, kLineA, EOL, kLineB, aligned
const std::string kLineAOnly = "00 01 B6 80";             // EOL, kLineA, aligned
const std::string kRtcWithFill = "Z12 1 Z12 1 Z12 1 Z12 1 Z12 1 Z12 1";  // six EOLs after fill
// The two lines with `between` them, then RTC.
std::string TwoLines(const std::string& between) {
    return "EOL" + kLineA + between + kLineB + "RTC";
}

TEST_P(ReframePageTest, FirstPageOfTheData) {
    struct Case {
        const char* name;
        std::string data;
        ReframeResult result;
        uint32_t rows;
        std::string strip;      // "-": not checked
        std::string next = "";  // data after the page, left unread
    };
    using R = ReframeResult;
    const std::vector<Case> cases = {
        {"EOL then four zeros", "00h 10h", R::kIncompleteRtc, 0, "00 01"},
        {"RTC only", "RTC", R::kComplete, 0, "00"},
        {"two lines", TwoLines("EOL"), R::kComplete, 2, kTwoLines},
        {"junk before the first EOL", "FFh FFh " + TwoLines("EOL"), R::kComplete, 2, kTwoLines},
        // Longer runs are cut to fourteen zeros: this EOL still ends on the same byte boundary.
        {"EOL with 20 zeros", TwoLines("Z20 1"), R::kComplete, 2, kTwoLines},
        // Senders pad short lines to the minimum scan line time: hundreds of zeros at 14400 bit/s.
        {"256 fill zeros", TwoLines("Z256 1"), R::kComplete, 2, kTwoLines},
        {"ten zeros are data, eleven an EOL", "EOL 1 Z10 1 1 Z11 1 1 RTC", R::kComplete, 2,
         "00 01 80 18 00 01 80"},
        // Stopping more than twelve bits after the last EOL: the trim adds a zero byte.
        {"data ending inside a line", "EOL 1011 0110 1011 0110 1011", R::kIncompleteRtc, 1,
         "00 01 B6 B6 B0 00"},
        // T.4 allows fill before any EOL: only line data between two EOLs parts them.
        {"RTC with fill bits", "EOL" + kLineA + kRtcWithFill, R::kComplete, 1, kLineAOnly},
        {"RTC with fill bits, then a page", "EOL" + kLineA + kRtcWithFill, R::kComplete, 1,
         kLineAOnly, "50h" + TwoLines("EOL")},
        // A sender that flushes its last partial byte: six zeros before the sixth EOL.
        {"fill before the last EOL of RTC", "EOL" + kLineA + "EOL EOL EOL EOL EOL Z6 EOL",
         R::kComplete, 1, kLineAOnly},
        {"no data", "", R::kNoPageData, 0, "-"},
        {"at most nine zeros in a row", "FFh 00h 40h 80h", R::kNoEol, 0, "-"},
    };
    for (const Case& c : cases) {
        const BitString next = Bits(c.next), data = Bits(c.data) + next;
        const Reframed page = ReframeFirst(data, GetParam());
        EXPECT_EQ(page.result, c.result) << c.name;
        EXPECT_EQ(page.rows, c.rows) << c.name;
        if (c.strip != "-") {
            EXPECT_EQ(page.strip, c.strip) << c.name;
        }
        // Every bit up to the end of RTC is used, nothing beyond; without RTC all of them.
        const uint64_t padding = (8 - data.size() % 8) % 8;
        EXPECT_EQ(page.bitsLeft, c.result == R::kComplete ? next.size() + padding : 0u) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, ReframePageTest, BothMethods(), MethodName);

}  // namespace

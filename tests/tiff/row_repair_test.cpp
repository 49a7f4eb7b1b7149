// Rows damaged on the line are repaired while the page is re-framed: every row libtiff reads is
// the page width, and the rows below a damaged one stay where they belong.
#include <gtest/gtest.h>

#include "tests/tiff/fax_test_data.h"
#include "tiff/tiff_writer.h"

namespace {

using namespace faxtest;

// White 1728; white 64, black 64, white 1600; the bar cut by a false EOL; white 1733 and black 2;
// white 1600.
const std::string kWhite = "010011011 00110101";
const std::string kBar = "11011 00110101 0000001111 0000110111 010011010 00110101";
const std::string kSplitBar = "11011 00110101 0000001111 EOL 0000110111 010011010 00110101";
const std::string kLong = "010011011 1100 11";
const std::string kShort = "010011010 00110101";

// 'W' a white row, 'B' a row with pixels 64 to 127 black.
Page Rows(const std::string& kinds) {
    Page page(kinds.size(), std::vector<uint8_t>(kRowBytes, 0));
    for (size_t y = 0; y < kinds.size(); ++y) {
        if (kinds[y] == 'B') std::fill(page[y].begin() + 8, page[y].begin() + 16, 0xFF);
    }
    return page;
}

TEST(RowRepair, DamagedRowsAreReplacedByTheRowAbove) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;  // each sent after an EOL
        const char* stored;
        uint32_t repaired;
    };
    const std::vector<Case> cases = {
        {"too long and too short", {kBar, kLong, kWhite, kShort, kBar}, "BBWWB", 2},
        {"split by a false EOL", {kBar, kSplitBar, kWhite}, "BBW", 1},
        {"first row bad", {kShort, kBar}, "WB", 1},
        {"noise in the fill", {kWhite + " 0001", "101", kBar + " Z20"}, "WB", 0},
        {"an EOL lost", {kWhite, kBar + " 000001000001 " + kWhite, kWhite}, "WBBW", 1},
        {"clean", {kWhite, kBar, kWhite}, "WBW", 0},
    };
    TempFolder scratch;
    const std::string raw = scratch / "page.raw", tiff = scratch / "fax.tif";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string lines;
        for (const std::string& line : c.lines) lines += "EOL " + line + " ";
        WriteRawFile(raw, 0, 1, SessionPage(Bits(lines)));
        CTiffWriter writer;
        ASSERT_TRUE(writer.Convert(raw.c_str(), tiff.c_str()));
        EXPECT_EQ(writer.RepairedRows(), std::vector<uint32_t>{c.repaired});
        const DecodedTiff decoded = ExpectReadableTiff(tiff, 1);
        if (!decoded.pages.empty()) {
            EXPECT_TRUE(decoded.pages[0] == Rows(c.stored));
        }
    }
}

}  // namespace

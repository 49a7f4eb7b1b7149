// Pages coded in 2-D (MR) and T.6 (MMR), as libtiff codes them, are stored as 1-D pages: the
// same pixels, damaged MR rows repaired, an MMR page that goes wrong kept up to the error.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <chrono>
#include <fstream>
#include <random>

#include "tests/tiff/fax_test_data.h"
#include "tiff/tiff_writer.h"

namespace {

using namespace faxtest;

// Bars whose edges wander by up to five pixels a row, and specks: every 2-D mode comes up.
Page DrawnPage(int rows, unsigned seed) {
    std::mt19937 random(seed);
    Page page(rows, std::vector<uint8_t>(kRowBytes, 0));
    std::vector<std::array<int, 3>> bars;  // left, width, drift
    for (int y = 0; y < rows; ++y) {
        if (random() % 4 == 0) bars.push_back({int(random() % 1700), 1 + int(random() % 60), 0});
        if (bars.size() > 6) bars.erase(bars.begin());
        for (auto& [left, width, drift] : bars) {
            drift = drift == 0 ? int(random() % 11) - 5 : drift;
            left = std::clamp(left + drift, 0, kPageWidth - width);
            for (int x = left; x < left + width; ++x) page[y][x / 8] |= 0x80 >> (x % 8);
        }
        page[y][random() % kRowBytes] |= static_cast<uint8_t>(random());
    }
    return page;
}

// libtiff's strip of `page` coded in 2-D T.4 (compression 3) or T.6 (4), first bit in the MSB.
BitString LibtiffStrip(const Page& page, uint16_t compression, const std::string& path) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kPageWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(page.size()));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    if (compression == COMPRESSION_CCITTFAX3) {
        TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_2DENCODING);
    }
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(page.size()));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 196.0f);  // fine: a 1-D row every fourth
    for (uint32_t y = 0; y < page.size(); ++y) {
        TIFFWriteScanline(tif, const_cast<uint8_t*>(page[y].data()), y, 0);
    }
    TIFFClose(tif);
    tif = TIFFOpen(path.c_str(), "r");
    std::vector<uint8_t> strip(TIFFRawStripSize(tif, 0));
    TIFFReadRawStrip(tif, 0, strip.data(), strip.size());
    TIFFClose(tif);
    BitString bits;
    for (uint8_t byte : strip) bits += std::bitset<8>(byte).to_string();
    return bits;
}

const BitString kMrRtc = Bits("EOL 1 EOL 1 EOL 1 EOL 1 EOL 1 EOL 1");

// A raw page file whose DCS announces MR (bit 16) or MMR (bit 31) at fine resolution. Without
// the pages' starts (as for pages after the 21st) a page ends at its RTC or EOFB alone.
void WriteCodedRawFile(const std::string& path, bool mmr, const std::vector<BitString>& pages,
                       bool withStarts = true) {
    std::vector<uint32_t> starts;
    const BitString data = BytePages(pages, starts);
    if (!withStarts) starts.clear();
    WriteRawFile(path, 0x02 | (mmr ? 0 : 0x01), uint8_t(pages.size()), data, starts);
    if (!mmr) return;
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(5);
    file.put(0x01);  // bit 24: the DCS goes on
    file.put(0x02);
}

TEST(TwoDimCoding, MrAndMmrPagesAreStoredPixelExactInOneDimension) {
    TempFolder scratch;
    const std::string raw = scratch / "page.raw", tiff = scratch / "fax.tif";
    const std::vector<Page> pages = {DrawnPage(400, 1), DrawnPage(300, 2)};
    for (const bool mmr : {false, true}) {
        SCOPED_TRACE(mmr ? "MMR" : "MR");
        std::vector<BitString> coded;
        for (const Page& page : pages) {
            coded.push_back(mmr ? LibtiffStrip(page, COMPRESSION_CCITTFAX4, scratch / "in.tif")
                                : LibtiffStrip(page, COMPRESSION_CCITTFAX3, scratch / "in.tif") +
                                      kMrRtc);
        }
        WriteCodedRawFile(raw, mmr, coded, false);
        CTiffWriter writer;
        ASSERT_TRUE(writer.Convert(raw.c_str(), tiff.c_str()));
        EXPECT_EQ(writer.RepairedRows(), (std::vector<uint32_t>{0, 0}));
        EXPECT_EQ(writer.CutShort(), (std::vector<bool>{false, false}));
        const DecodedTiff decoded = ExpectReadableTiff(tiff, 2);
        for (size_t i = 0; i < decoded.pages.size(); ++i) {
            EXPECT_EQ(DifferingPixels(decoded.pages[i], pages[i]), 0u) << "page " << i + 1;
        }
    }
}

TEST(TwoDimCoding, DamagedMrRowIsRepairedUpToTheNextOneDimensionalRow) {
    TempFolder scratch;
    const std::string raw = scratch / "page.raw", tiff = scratch / "fax.tif";
    const Page page = DrawnPage(200, 3);
    BitString coded = LibtiffStrip(page, COMPRESSION_CCITTFAX3, scratch / "in.tif");
    // Where each row's tag bit is: the bit after its EOL.
    std::vector<size_t> tags;
    for (size_t at = coded.find(kEol); at != BitString::npos; at = coded.find(kEol, at + 1)) {
        tags.push_back(at + kEol.size());
    }
    ASSERT_EQ(tags.size(), page.size());
    // The first row from `from` on whose tag is `tag` (a row past the last when none is).
    const auto nextRow = [&](size_t from, char tag) {
        while (from < tags.size() && coded[tags[from]] != tag) ++from;
        return from;
    };
    const size_t damaged = nextRow(101, '0'), nextOneDim = nextRow(damaged, '1');
    // And a 2-D row further down whose EOL has a wrong bit: that row is lost.
    const size_t lost = nextRow(nextOneDim + 30, '0'), afterLost = nextRow(lost, '1');
    ASSERT_LT(afterLost, tags.size());
    coded[tags[lost] - 6] = '1';
    coded.replace(tags[damaged] + 1, 7, "0000001");  // an extension code: no row of ours
    WriteCodedRawFile(raw, false, {coded + kMrRtc});

    CTiffWriter writer;
    ASSERT_TRUE(writer.Convert(raw.c_str(), tiff.c_str()));
    EXPECT_EQ(writer.RepairedRows(),
              std::vector<uint32_t>{uint32_t(nextOneDim - damaged + afterLost - lost)});
    const DecodedTiff decoded = ExpectReadableTiff(tiff, 1);
    ASSERT_EQ(decoded.pages.size(), 1u);
    Page expected = page;
    std::fill(expected.begin() + damaged, expected.begin() + nextOneDim, page[damaged - 1]);
    std::fill(expected.begin() + lost, expected.begin() + afterLost, page[lost - 1]);
    EXPECT_EQ(DifferingPixels(decoded.pages[0], expected), 0u);
}

TEST(TwoDimCoding, MmrPageCutShortKeepsTheRowsBeforeTheError) {
    TempFolder scratch;
    const std::string raw = scratch / "page.raw", tiff = scratch / "fax.tif";
    const Page page = DrawnPage(300, 4);
    BitString coded = LibtiffStrip(page, COMPRESSION_CCITTFAX4, scratch / "in.tif");
    const size_t cut = coded.size() / 2 / 8 * 8;
    for (size_t at = cut; at < coded.size(); at += 8) coded.replace(at, 8, "00000001");
    WriteCodedRawFile(raw, true, {coded});

    std::string output;
    ASSERT_EQ(RunProgram({VANTORO_RAWTOTIFF, raw, tiff}, output), 0) << output;
    EXPECT_NE(output.find("page 1: MMR data ended in a code error"), std::string::npos) << output;
    const DecodedTiff decoded = ExpectReadableTiff(tiff, 1);
    ASSERT_EQ(decoded.pages.size(), 1u);
    const Page& kept = decoded.pages[0];
    EXPECT_GT(kept.size(), page.size() / 3);
    EXPECT_LT(kept.size(), page.size());
    EXPECT_EQ(DifferingPixels(kept, Page(page.begin(), page.begin() + kept.size())), 0u);
}

// Random bytes, mostly sparse so that EOLs and long white runs come up, as MR and MMR data:
// every conversion ends soon, and what it stores reads cleanly.
TEST(TwoDimCoding, RandomDataIsDecodedWithinBounds) {
    TempFolder scratch;
    const std::string raw = scratch / "page.raw", tiff = scratch / "fax.tif";
    std::mt19937 random(27);
    const auto begin = std::chrono::steady_clock::now();
    for (int round = 0; round < 200; ++round) {
        BitString data;
        for (size_t i = random() % 4096; i > 0; --i) {
            data += std::bitset<8>(random() % 3 ? random() & random() & random() : 0).to_string();
        }
        WriteCodedRawFile(raw, round % 2 == 1, {data});
        if (CTiffWriter().Convert(raw.c_str(), tiff.c_str())) {
            EXPECT_EQ(ReadTiff(tiff).problems, "") << "round " << round;
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
}

}  // namespace

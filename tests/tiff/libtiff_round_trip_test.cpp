// Pages coded by libtiff's own Modified Huffman encoder go through the raw page file and the
// writer, and must come back out of libtiff pixel for pixel.
#include <gtest/gtest.h>

#include "tests/tiff/fax_test_data.h"
#include "tiff/tiff_writer.h"

namespace {

using namespace faxtest;

class RoundTripTest : public ::testing::TestWithParam<ReframeMethod> {};

TEST_P(RoundTripTest, MultiPageFaxDecodesToTheSourcePages) {
    const std::vector<std::pair<const char*, Page>> pages = {
        {"sparse", SparsePage(1100, 7)},
        {"halftone", HalftoneBitmap(400)},
        {"noise, more than one data block", NoiseBitmap(300, 3)},
        {"blank", Page(60, std::vector<uint8_t>(kRowBytes, 0))},
    };
    TempFolder scratch;
    BitString data;
    for (size_t k = 0; k < pages.size(); ++k) {
        BitString lines = EncodeModifiedHuffman(pages[k].second, scratch.Path());
        ASSERT_GT(lines.size(), 0u) << pages[k].first;
        if (k == 2) {
            ASSERT_GT(lines.size() / 8, 81920u);
        }
        lines.append(k, '0');  // later pages start inside a byte
        data += SessionPage(lines);
    }
    const std::string raw = scratch / "page.raw", tiff = scratch / "fax.tif";
    WriteRawFile(raw, 0x02, static_cast<uint8_t>(pages.size()), data);
    CTiffWriter writer;
    writer.SetReframeMethod(GetParam());
    ASSERT_TRUE(writer.Convert(raw.c_str(), tiff.c_str()));
    EXPECT_EQ(writer.DetailCode(), 0u);

    const DecodedTiff decoded = ExpectReadableTiff(tiff, pages.size());
    for (size_t k = 0; k < pages.size() && k < decoded.pages.size(); ++k) {
        EXPECT_TRUE(decoded.pages[k] == pages[k].second) << pages[k].first;
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, RoundTripTest, BothMethods(), MethodName);

}  // namespace

// Pages coded by libtiff's own Modified Huffman encoder go through the raw page file and the
// writer, and must come back out of libtiff pixel for pixel.
#include <gtest/gtest.h>

#include "tests/tiff/fax_test_data.h"
#include "tiff/tiff_writer.h"

namespace {

using namespace faxtest;

struct SourcePage {
    const char* name;
    Bitmap bitmap;
};

std::vector<SourcePage> SourcePages() {
    return {
        {"text", TextLikeBitmap(1100, 7)},
        {"halftone", HalftoneBitmap(400)},
        {"noise", NoiseBitmap(260, 11)},
        {"blank", BlankBitmap(60)},
    };
}

class RoundTripTest : public ::testing::TestWithParam<ReframeMethod> {
protected:
    // Codes every page, adds `k` fill zeros before page k's RTC so that later pages start in
    // the middle of a byte, and writes the raw page file.
    void WriteRaw(const std::vector<SourcePage>& pages, uint8_t dcs) {
        BitString data;
        for (size_t k = 0; k < pages.size(); ++k) {
            BitString lines = EncodeModifiedHuffman(pages[k].bitmap, m_scratch.Folder());
            ASSERT_GT(lines.BitCount(), 0u) << pages[k].name;
            m_codedBytes.push_back(lines.BitCount() / 8);
            lines.AppendZeros(static_cast<unsigned>(k));
            data.AppendBitString(SessionPage(lines));
        }
        WriteRawFile(Raw(), dcs, static_cast<uint8_t>(pages.size()), data);
    }
    void ExpectDecodesTo(const std::vector<SourcePage>& pages) {
        const DecodedTiff decoded = DecodeWithLibtiff(Tiff());
        ASSERT_TRUE(decoded.opened);
        EXPECT_TRUE(decoded.messages.empty()) << decoded.messages.front();
        ASSERT_EQ(decoded.pages.size(), pages.size());
        for (size_t k = 0; k < pages.size(); ++k) {
            EXPECT_EQ(decoded.widths[k], static_cast<uint32_t>(kPageWidth));
            ASSERT_EQ(decoded.pages[k].size(), pages[k].bitmap.size()) << pages[k].name;
            EXPECT_TRUE(decoded.pages[k] == pages[k].bitmap) << pages[k].name;
        }
        std::string output;
        EXPECT_EQ(RunCommand("tiffinfo -D '" + Tiff() + "'", output), 0) << output;
        EXPECT_EQ(output.find("arning"), std::string::npos) << output;
        EXPECT_EQ(output.find("rror"), std::string::npos) << output;
        EXPECT_EQ(CountOccurrences(output, "TIFF Directory"), pages.size()) << output;
    }
    static size_t CountOccurrences(const std::string& text, const std::string& what) {
        size_t count = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++count;
        }
        return count;
    }
    bool Convert() {
        CTiffWriter writer;
        writer.SetReframeMethod(GetParam());
        const bool ok = writer.Convert(Raw().c_str(), Tiff().c_str());
        EXPECT_EQ(writer.DetailCode(), 0u);
        return ok;
    }
    std::string Raw() const { return m_scratch.Path("page.raw"); }
    std::string Tiff() const { return m_scratch.Path("fax.tif"); }

    ScratchFolder m_scratch;
    std::vector<size_t> m_codedBytes;
};

TEST_P(RoundTripTest, MultiPageFaxDecodesToTheSourcePages) {
    const std::vector<SourcePage> pages = SourcePages();
    WriteRaw(pages, 0x02);
    ASSERT_TRUE(Convert());
    ExpectDecodesTo(pages);
}

TEST_P(RoundTripTest, PageLargerThanOneDataBlockDecodes) {
    const std::vector<SourcePage> pages = {{"noise", NoiseBitmap(300, 3)}};
    WriteRaw(pages, 0x00);
    ASSERT_GT(m_codedBytes[0], 81920u);
    ASSERT_TRUE(Convert());
    ExpectDecodesTo(pages);
}

TEST_P(RoundTripTest, SinglePagesOfEachKindDecode) {
    for (const SourcePage& page : SourcePages()) {
        m_codedBytes.clear();
        WriteRaw({page}, 0x00);
        ASSERT_TRUE(Convert()) << page.name;
        ExpectDecodesTo({page});
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, RoundTripTest,
                         ::testing::Values(ReframeMethod::kBitByBit, ReframeMethod::kRunLength),
                         [](const auto& info) {
                             return info.param == ReframeMethod::kBitByBit ? "BitByBit"
                                                                           : "RunLength";
                         });

}  // namespace

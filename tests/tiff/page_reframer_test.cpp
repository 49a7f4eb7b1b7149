#include "tiff/page_reframer.h"

#include <gtest/gtest.h>

#include "tests/tiff/fax_test_data.h"

namespace {

using faxtest::BitString;

struct Reframed {
    ReframeResult result = ReframeResult::kNoPageData;
    uint32_t rows = 0;
    std::vector<uint8_t> strip;
};

// Re-frames consecutive pages of one data block, as the writer does.
class Reframer {
public:
    Reframer(const BitString& data, ReframeMethod method) : m_method(method) {
        m_data = data.Bytes();
        const size_t size = m_data.size();
        m_data.resize(size + CBitReader::kPeekPadding, 0);
        m_in.Reset(m_data.data(), size);
        m_out.ResetBits();
    }
    Reframed Next() {
        Reframed page;
        page.result = ReframePage(m_in, m_out, page.rows, m_method);
        page.strip.assign(m_out.Data(), m_out.Data() + m_out.ByteCount());
        return page;
    }
    uint64_t BitsLeft() const { return m_in.BitsLeft(); }

private:
    ReframeMethod m_method;
    std::vector<uint8_t> m_data;
    CBitReader m_in;
    CStripWriter m_out;
};

// An EOL as it appears in a strip: `zeros` zeros, fill up to the byte boundary, and the 1.
void AppendAlignedEol(BitString& bits, unsigned zeros) {
    bits.AppendZeros(zeros);
    while ((bits.BitCount() + 1) % 8 != 0) bits.Append(false);
    bits.Append(true);
}

// The strip a page with complete RTC gives: the content, then the zeros of the next EOL up to
// but not including the byte that holds its 1.
std::vector<uint8_t> ExpectedStrip(BitString content) {
    AppendAlignedEol(content, 11);
    std::vector<uint8_t> bytes = content.Bytes();
    bytes.pop_back();
    return bytes;
}

BitString Bits(const char* text) {
    BitString bits;
    for (const char* p = text; *p; ++p) {
        if (*p == '0' || *p == '1') bits.Append(*p == '1');
    }
    return bits;
}

// Line data without any run of ten or more zeros.
const char* const kLineA = "1011 0110 1";
const char* const kLineB = "0011 1000 0000 0111 0101";

class ReframePageTest : public ::testing::TestWithParam<ReframeMethod> {};

TEST_P(ReframePageTest, EolThenFourZerosGivesTwoByteStripWithoutRows) {
    BitString data;
    data.AppendBytes({0x00, 0x10});
    Reframer reframer(data, GetParam());
    const Reframed page = reframer.Next();
    EXPECT_EQ(page.result, ReframeResult::kIncompleteRtc);
    EXPECT_EQ(page.rows, 0u);
    EXPECT_EQ(page.strip, (std::vector<uint8_t>{0x00, 0x01}));
    EXPECT_EQ(reframer.BitsLeft(), 0u);
}

TEST_P(ReframePageTest, RtcOnlyPageGivesOneZeroByte) {
    BitString data;
    data.AppendRtc();
    Reframer reframer(data, GetParam());
    const Reframed page = reframer.Next();
    EXPECT_EQ(page.result, ReframeResult::kComplete);
    EXPECT_EQ(page.rows, 0u);
    EXPECT_EQ(page.strip, (std::vector<uint8_t>{0x00}));
}

TEST_P(ReframePageTest, OneLinePageKeepsLineAndDropsRtc) {
    BitString data;
    data.AppendEol();
    data.AppendBitString(Bits(kLineA));
    data.AppendRtc();
    Reframer reframer(data, GetParam());
    const Reframed page = reframer.Next();
    EXPECT_EQ(page.result, ReframeResult::kComplete);
    EXPECT_EQ(page.rows, 1u);
    BitString content;
    AppendAlignedEol(content, 11);
    content.AppendBitString(Bits(kLineA));
    EXPECT_EQ(page.strip, ExpectedStrip(content));
    EXPECT_EQ(page.strip.size(), 4u);
}

TEST_P(ReframePageTest, JunkBeforeFirstEolIsDropped) {
    BitString clean;
    clean.AppendEol();
    clean.AppendBitString(Bits(kLineA));
    clean.AppendEol();
    clean.AppendBitString(Bits(kLineB));
    clean.AppendRtc();
    const Reframed expected = Reframer(clean, GetParam()).Next();

    BitString junk;
    junk.AppendBytes({0xFF, 0xFF});
    junk.AppendBitString(clean);
    BitString session;
    session.AppendByte(0x50);
    session.AppendBitString(clean);
    for (const BitString& data : {junk, session}) {
        const Reframed page = Reframer(data, GetParam()).Next();
        EXPECT_EQ(page.result, ReframeResult::kComplete);
        EXPECT_EQ(page.rows, 2u);
        EXPECT_EQ(page.strip, expected.strip);
    }
}

TEST_P(ReframePageTest, LongZeroRunBeforeEolIsCutToFourteen) {
    BitString data;
    data.AppendEol();
    data.AppendBitString(Bits(kLineA));
    data.AppendZeros(20);
    data.Append(true);
    data.AppendBitString(Bits(kLineB));
    data.AppendRtc();
    const Reframed page = Reframer(data, GetParam()).Next();
    BitString content;
    AppendAlignedEol(content, 11);
    content.AppendBitString(Bits(kLineA));
    AppendAlignedEol(content, 14);
    content.AppendBitString(Bits(kLineB));
    EXPECT_EQ(page.result, ReframeResult::kComplete);
    EXPECT_EQ(page.rows, 2u);
    EXPECT_EQ(page.strip, ExpectedStrip(content));
}

// Senders pad short lines to the minimum scan line time; at 14400 bit/s and 40 ms that is
// hundreds of zeros, and the EOL after them must still count.
TEST_P(ReframePageTest, FillRunsLongerThan255ZerosStillEndInAnEol) {
    for (unsigned fill : {255u, 256u, 261u, 600u}) {
        BitString data;
        data.AppendEol();
        data.AppendBitString(Bits(kLineA));
        data.AppendZeros(fill);
        data.Append(true);
        data.AppendBitString(Bits(kLineB));
        data.AppendRtc();
        const Reframed page = Reframer(data, GetParam()).Next();
        BitString content;
        AppendAlignedEol(content, 11);
        content.AppendBitString(Bits(kLineA));
        AppendAlignedEol(content, 14);
        content.AppendBitString(Bits(kLineB));
        EXPECT_EQ(page.result, ReframeResult::kComplete) << fill;
        EXPECT_EQ(page.rows, 2u) << fill;
        EXPECT_EQ(page.strip, ExpectedStrip(content)) << fill;
    }
}

TEST_P(ReframePageTest, OneAfterElevenZerosIsAnEolButAfterTenIsData) {
    BitString data;
    data.AppendEol();
    data.AppendBitString(Bits("1 0000000000 1 1"));  // ten zeros: data
    data.AppendBitString(Bits("00000000000 1 1"));   // eleven zeros: an EOL
    data.AppendRtc();
    const Reframed page = Reframer(data, GetParam()).Next();
    BitString content;
    AppendAlignedEol(content, 11);
    content.AppendBitString(Bits("1 0000000000 1 1"));
    AppendAlignedEol(content, 11);
    content.AppendBitString(Bits("1"));
    EXPECT_EQ(page.rows, 2u);
    EXPECT_EQ(page.strip, ExpectedStrip(content));
}

TEST_P(ReframePageTest, SecondPageStartsAtTheBitAfterTheFirstPagesRtc) {
    BitString first;
    first.AppendByte(0x50);
    first.AppendEol();
    first.AppendBitString(Bits(kLineA));
    first.AppendRtc();
    BitString second;
    second.AppendByte(0x50);
    second.AppendEol();
    second.AppendBitString(Bits(kLineB));
    second.AppendEol();
    second.AppendBitString(Bits(kLineA));
    second.AppendRtc();
    ASSERT_NE(first.BitCount() % 8, 0u);
    BitString both = first;
    both.AppendBitString(second);

    Reframer reframer(both, GetParam());
    const Reframed page1 = reframer.Next();
    const Reframed page2 = reframer.Next();
    EXPECT_EQ(page1.rows, 1u);
    EXPECT_EQ(page1.strip, Reframer(first, GetParam()).Next().strip);
    EXPECT_EQ(page2.result, ReframeResult::kComplete);
    EXPECT_EQ(page2.rows, 2u);
    ASSERT_GE(page2.strip.size(), 2u);
    EXPECT_EQ(page2.strip[0], 0x00);
    EXPECT_EQ(page2.strip[1], 0x01);
    EXPECT_EQ(page2.strip, Reframer(second, GetParam()).Next().strip);
    EXPECT_EQ(reframer.BitsLeft(), both.BitCount() % 8 ? 8 - both.BitCount() % 8 : 0u);
    // What is left is the zero padding of the last byte: no EOL there.
    EXPECT_EQ(reframer.Next().result, ReframeResult::kNoEol);
}

// RTC with fill bits is not taken for the end of the page: the page runs on into whatever
// follows, here a second page, whose exact RTC then ends it.
TEST_P(ReframePageTest, RtcWithFillBitsDoesNotEndThePage) {
    BitString data;
    data.AppendEol();
    data.AppendBitString(Bits(kLineA));
    for (int i = 0; i < 6; ++i) {
        data.AppendZeros(12);
        data.Append(true);
    }
    BitString tail;
    tail.AppendEol();
    tail.AppendBitString(Bits(kLineB));
    tail.AppendRtc();
    data.AppendBitString(tail);

    Reframer reframer(data, GetParam());
    const Reframed page = reframer.Next();
    EXPECT_EQ(page.result, ReframeResult::kComplete);
    EXPECT_EQ(page.rows, 1u + 6u + 1u);
    EXPECT_EQ(reframer.BitsLeft(), (8 - data.BitCount() % 8) % 8);

    BitString padded;
    padded.AppendEol();
    padded.AppendBitString(Bits(kLineA));
    for (int i = 0; i < 6; ++i) {
        padded.AppendZeros(12);
        padded.Append(true);
    }
    Reframer unfinished(padded, GetParam());
    const Reframed alone = unfinished.Next();
    EXPECT_EQ(alone.result, ReframeResult::kIncompleteRtc);
    EXPECT_EQ(alone.rows, 6u);
}

// Data that stops more than twelve bits after the last EOL leaves e at 0: the trim then adds
// one zero byte instead of removing any.
TEST_P(ReframePageTest, DataEndingInsideALineKeepsEveryRowAndAddsAZeroByte) {
    BitString data;
    data.AppendEol();
    data.AppendBitString(Bits("1011 0110 1011 0110 1011"));
    ASSERT_EQ(data.BitCount() % 8, 0u);
    const Reframed page = Reframer(data, GetParam()).Next();
    EXPECT_EQ(page.result, ReframeResult::kIncompleteRtc);
    EXPECT_EQ(page.rows, 1u);
    EXPECT_EQ(page.strip, (std::vector<uint8_t>{0x00, 0x01, 0xB6, 0xB6, 0xB0, 0x00}));
}

TEST_P(ReframePageTest, FailsWithoutDataOrWithoutEol) {
    Reframer empty(BitString{}, GetParam());
    EXPECT_EQ(empty.Next().result, ReframeResult::kNoPageData);

    BitString noEol;
    noEol.AppendBytes({0xFF, 0x00, 0x40, 0x80});  // at most nine zeros in a row
    Reframer reframer(noEol, GetParam());
    EXPECT_EQ(reframer.Next().result, ReframeResult::kNoEol);
    EXPECT_EQ(reframer.BitsLeft(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Methods, ReframePageTest,
                         ::testing::Values(ReframeMethod::kBitByBit, ReframeMethod::kRunLength),
                         [](const auto& info) {
                             return info.param == ReframeMethod::kBitByBit ? "BitByBit"
                                                                           : "RunLength";
                         });

}  // namespace

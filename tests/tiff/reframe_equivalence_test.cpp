// The run-length walk must give exactly the bytes of the bit-by-bit reference, on every input.
#include <gtest/gtest.h>

#include <random>

#include "tests/tiff/fax_test_data.h"
#include "tiff/page_reframer.h"
#include "tiff/tiff_writer.h"

namespace {

using namespace faxtest;

// Random streams rich in what the re-framing reacts to: exact EOLs, EOLs after fill, runs of
// exactly 10, 11, 14 and 15 zeros, very long runs, partial and complete RTCs.
BitString RandomStream(std::mt19937& rng, size_t pieces) {
    BitString bits;
    for (size_t i = 0; i < pieces; ++i) {
        switch (rng() % 9) {
            case 0:
                bits.AppendEol();
                break;
            case 1:
                bits.AppendRtc();
                break;
            case 2:
                for (unsigned n = rng() % 6; n > 0; --n) bits.AppendEol();
                break;
            case 3:
                bits.AppendZeros(10 + rng() % 6);
                bits.Append(true);
                break;
            case 4:
                bits.AppendZeros(rng() % 700);
                if (rng() % 2) bits.Append(true);
                break;
            case 5:
                bits.AppendByte(static_cast<uint8_t>(rng()));
                break;
            case 6:
                bits.AppendBits(rng(), 1 + rng() % 32);
                break;
            case 7:
                bits.AppendZeros(1 + rng() % 3);
                break;
            default:
                bits.AppendZeros(12);
                bits.Append(true);
                break;
        }
    }
    return bits;
}

struct PageOutcome {
    ReframeResult result;
    uint32_t rows;
    std::vector<uint8_t> strip;
    uint64_t bitsLeft;
    bool operator==(const PageOutcome& o) const {
        return result == o.result && rows == o.rows && strip == o.strip && bitsLeft == o.bitsLeft;
    }
};

std::vector<PageOutcome> ReframeAll(const BitString& data, ReframeMethod method) {
    std::vector<uint8_t> bytes = data.Bytes();
    const size_t size = bytes.size();
    bytes.resize(size + CBitReader::kPeekPadding, 0);
    CBitReader in;
    in.Reset(bytes.data(), size);
    CStripWriter out;
    out.ResetBits();
    std::vector<PageOutcome> pages;
    for (;;) {
        PageOutcome page{};
        page.result = ReframePage(in, out, page.rows, method);
        if (page.result == ReframeResult::kComplete ||
            page.result == ReframeResult::kIncompleteRtc) {
            page.strip.assign(out.Data(), out.Data() + out.ByteCount());
        }
        page.bitsLeft = in.BitsLeft();
        pages.push_back(page);
        if (page.result != ReframeResult::kComplete) break;
    }
    return pages;
}

TEST(ReframeEquivalence, RunLengthMatchesBitByBitOnRandomStreams) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 3000; ++round) {
        const BitString data = RandomStream(rng, 1 + rng() % 60);
        const auto reference = ReframeAll(data, ReframeMethod::kBitByBit);
        const auto fast = ReframeAll(data, ReframeMethod::kRunLength);
        ASSERT_EQ(reference.size(), fast.size()) << "round " << round;
        for (size_t p = 0; p < reference.size(); ++p) {
            ASSERT_TRUE(reference[p] == fast[p]) << "round " << round << " page " << p;
        }
    }
}

TEST(ReframeEquivalence, RunLengthMatchesBitByBitOnRandomBytes) {
    std::mt19937 rng(42);
    for (int round = 0; round < 3000; ++round) {
        BitString data;
        const int density = 1 + static_cast<int>(rng() % 8);  // fewer ones, longer zero runs
        for (unsigned n = rng() % 400; n > 0; --n) {
            uint8_t byte = static_cast<uint8_t>(rng());
            for (int d = 1; d < density; ++d) byte &= static_cast<uint8_t>(rng());
            data.AppendByte(byte);
        }
        const auto reference = ReframeAll(data, ReframeMethod::kBitByBit);
        ASSERT_TRUE(reference == ReframeAll(data, ReframeMethod::kRunLength)) << "round " << round;
    }
}

TEST(ReframeEquivalence, WholeFilesAreByteIdentical) {
    ScratchFolder scratch;
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        BitString data;
        const int pages = 1 + static_cast<int>(rng() % 5);
        for (int p = 0; p < pages; ++p) {
            data.AppendByte(0x50);
            data.AppendBitString(RandomStream(rng, 1 + rng() % 40));
            data.AppendRtc();
        }
        WriteRawFile(scratch.Path("r.raw"), static_cast<uint8_t>(rng()),
                     static_cast<uint8_t>(pages + rng() % 2), data);
        CTiffWriter reference, fast;
        reference.SetReframeMethod(ReframeMethod::kBitByBit);
        fast.SetReframeMethod(ReframeMethod::kRunLength);
        const std::string a = scratch.Path("a.tif"), b = scratch.Path("b.tif");
        const bool okA = reference.Convert(scratch.Path("r.raw").c_str(), a.c_str());
        const bool okB = fast.Convert(scratch.Path("r.raw").c_str(), b.c_str());
        ASSERT_EQ(okA, okB) << round;
        ASSERT_EQ(reference.StageCode(), fast.StageCode()) << round;
        ASSERT_EQ(reference.DetailCode(), fast.DetailCode()) << round;
        ASSERT_EQ(ReadFileBytes(a), ReadFileBytes(b)) << round;
    }
}

}  // namespace

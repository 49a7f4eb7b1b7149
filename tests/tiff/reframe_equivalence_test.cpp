// The run-length walk must give exactly the files of the bit-by-bit reference, on every input.
#include <gtest/gtest.h>

#include <random>

#include "tests/tiff/fax_test_data.h"
#include "tiff/tiff_writer.h"

namespace {

using namespace faxtest;

// Random page data rich in what the re-framing reacts to: exact EOLs, EOLs after fill, runs of
// exactly 10, 11, 14 and 15 zeros, very long runs, partial and complete RTCs, sparse bytes.
BitString RandomStream(std::mt19937& rng, size_t pieces) {
    BitString bits;
    for (size_t i = 0; i < pieces; ++i) {
        switch (rng() % 9) {
            case 0:
                for (unsigned n = 1 + rng() % 6; n > 0; --n) bits.AppendEol();
                break;
            case 1:
                bits.AppendRtc();
                break;
            case 2:
                bits.AppendZeros(10 + rng() % 6);
                bits.Append(true);
                break;
            case 3:
                bits.AppendZeros(rng() % 700);
                bits.Append(rng() % 2);
                break;
            case 4:
                bits.AppendByte(static_cast<uint8_t>(rng() & rng() & rng()));
                break;
            case 5:
                bits.AppendBits(rng(), 1 + rng() % 32);
                break;
            case 6:
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

TEST(ReframeEquivalence, BothWalksWriteByteIdenticalFilesAndCodes) {
    TempFolder scratch;
    const std::string raw = scratch / "r.raw", a = scratch / "a.tif", b = scratch / "b.tif";
    std::mt19937 rng(20261207);
    for (int round = 0; round < 500; ++round) {
        BitString data;
        const int pages = 1 + static_cast<int>(rng() % 4);
        for (int p = 0; p < pages; ++p) {
            if (rng() % 4) data.AppendByte(0x50);
            data.AppendBitString(RandomStream(rng, 1 + rng() % 40));
            if (rng() % 4) data.AppendRtc();
        }
        WriteRawFile(raw, static_cast<uint8_t>(rng()), static_cast<uint8_t>(pages + rng() % 2),
                     data);
        CTiffWriter reference, fast;
        reference.SetReframeMethod(ReframeMethod::kBitByBit);
        fast.SetReframeMethod(ReframeMethod::kRunLength);
        ASSERT_EQ(reference.Convert(raw.c_str(), a.c_str()), fast.Convert(raw.c_str(), b.c_str()))
            << round;
        ASSERT_EQ(reference.StageCode(), fast.StageCode()) << round;
        ASSERT_EQ(reference.DetailCode(), fast.DetailCode()) << round;
        ASSERT_EQ(ReadFile(a), ReadFile(b)) << round;
    }
}

}  // namespace

// The run-length walk must give exactly the files of the bit-by-bit reference, on every input.
#include <gtest/gtest.h>

#include <bitset>
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
        const unsigned n = rng();
        switch (n % 8) {
            case 0:
                for (unsigned k = 1 + n / 8 % 6; k > 0; --k) bits += kEol;
                break;
            case 1:
                bits += kRtc;
                break;
            case 2:
                bits += std::string(10 + n / 8 % 6, '0') + "1";
                break;
            case 3:
                bits += std::string(n / 8 % 700, '0') + (n & 0x8000 ? "1" : "");
                break;
            case 4:
                bits += std::bitset<8>(rng() & rng() & rng()).to_string();
                break;
            case 5:
                bits += std::bitset<32>(rng()).to_string().substr(n / 8 % 32);
                break;
            default:
                bits += std::string(1 + n / 8 % 3, '0');
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
        std::vector<BitString> pages(1 + rng() % 4);
        for (BitString& page : pages) {
            page = (rng() % 4 ? Bits("50h") : "") + RandomStream(rng, 1 + rng() % 40);
            page += rng() % 4 ? kRtc : "";
        }
        // Half the files note where each page began, so a page may end with more data after it.
        std::vector<uint32_t> starts;
        BitString data;
        if (round % 2) {
            data = BytePages(pages, starts);
        } else {
            for (const BitString& page : pages) data += page;
        }
        WriteRawFile(raw, static_cast<uint8_t>(rng()),
                     static_cast<uint8_t>(pages.size() + rng() % 2), data, starts);
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

// The deframer on line data: frames of every length around the limits, stuffing and damage.
#include "fax/hdlc_deframer.h"

#include <gtest/gtest.h>

#include "fax/ecm_block.h"
#include "tests/fax/hdlc_line.h"

namespace faxtest {
namespace {

constexpr size_t kMaxOctets = 4 + CEcmBlock::kMaxFrameOctets + 2;

struct Found {
    std::vector<std::vector<uint8_t>> frames;
    CHdlcDeframer deframer{kMaxOctets, [this](const uint8_t* frame, size_t length) {
                               frames.emplace_back(frame, frame + length);
                           }};
};

// Octets that need stuffing: flags, long runs of ones, and the limit's lengths.
std::vector<uint8_t> Payload(size_t length, uint8_t seed) {
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; ++i)
        frame[i] = i % 5 == 0 ? 0x7E : i % 3 == 0 ? 0xFF : static_cast<uint8_t>(seed + i * 37);
    return frame;
}

TEST(HdlcDeframer, FramesUpToTheLimitComeOutIntactAndLongerOrDamagedOnesDoNot) {
    HdlcLine line;
    line.Abort();  // the idle line before the first flag
    line.Flags();
    std::vector<std::vector<uint8_t>> sent;
    for (size_t length : {3u, 4u, 5u, 100u, 259u, 260u}) {
        sent.push_back(Payload(length, static_cast<uint8_t>(length)));
        line.Frame(sent.back());
    }
    line.Frame(Payload(261, 1));  // one octet over the limit with its check sequence
    line.Frame(Payload(2, 1));    // shorter than address, control and FCF
    HdlcLine damaged;
    damaged.Flags();
    damaged.Frame(Payload(40, 2));
    damaged.Bits()[60] ^= 1;  // a bit error
    line.Bits().insert(line.Bits().end(), damaged.Bits().begin(), damaged.Bits().end());
    line.Frame(Payload(40, 3));
    line.Bits().pop_back();  // the closing flag loses a zero: an abort follows
    line.Abort();
    line.Flags(3);
    line.Bit(0);  // a frame off the octet boundary
    line.Frame(Payload(20, 4));
    sent.push_back(Payload(50, 5));
    line.Frame(sent.back());

    Found found;
    const std::vector<uint8_t> octets = line.Octets();
    found.deframer.Put(octets.data(), octets.size());
    EXPECT_EQ(found.frames, sent);
    EXPECT_EQ(found.deframer.GoodFrames(), sent.size());
    EXPECT_EQ(found.deframer.BadFrames(), 4u);  // too long, too short, the bit error, off boundary
}

}  // namespace
}  // namespace faxtest

// The jitter buffer keeps its whole delay as margin wherever the 20 ms tick falls against the
// sender's packets.
#include "sipline/jitter_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

TEST(JitterBuffer, JitterJustUnderTheDelayLosesNothingAtAnyTickPhase) {
    constexpr int64_t kFrameNs = 20'000'000, kStartNs = 1'000'000'000;
    constexpr int kFrames = 1500, kDelayMs = 60, kJitterMs = 55;
    for (int phaseMs = 0; phaseMs < 20; phaseMs += 3) {
        SCOPED_TRACE(phaseMs);
        JitterBuffer buffer(kDelayMs);
        std::mt19937 random(57);
        std::uniform_int_distribution<int64_t> jitter(0, kJitterMs * 1'000'000LL);
        std::vector<std::pair<int64_t, uint32_t>> arrivals;  // when, RTP timestamp
        for (uint32_t k = 0; k < kFrames; ++k)
            arrivals.push_back({kStartNs + k * kFrameNs + jitter(random), k * 160});
        std::sort(arrivals.begin(), arrivals.end());
        const std::vector<int16_t> packet(160, 1000);
        std::vector<int16_t> frame(160);
        size_t next = 0;
        for (int64_t tick = kStartNs + phaseMs * 1'000'000LL; next < arrivals.size();
             tick += kFrameNs) {
            for (; next < arrivals.size() && arrivals[next].first <= tick; ++next)
                buffer.put(1, arrivals[next].second, packet.data(), packet.size(),
                           arrivals[next].first);
            buffer.pull(tick, frame.data());
        }
        // Only the frames before the first packet's playout time find nothing.
        EXPECT_LE(buffer.lateOrLost(), uint64_t(kDelayMs / 20));
        EXPECT_EQ(buffer.slips(), 0);
    }
}

// A sender whose clock runs 0.1 % fast or slow: whole-frame slips keep the delay of what plays
// within a frame of the slip window for a two-minute call, where without them it would drift by 120
// ms.
TEST(JitterBuffer, SlipsHoldTheDelayAgainstClockDrift) {
    constexpr int64_t kFrameNs = 20'000'000, kStartNs = 1'000'000'000;
    constexpr int kFrames = 6000, kDelayMs = 60;
    for (const double drift : {1.001, 0.999}) {
        SCOPED_TRACE(drift);
        JitterBuffer buffer(kDelayMs);
        std::vector<int16_t> packet(160), frame(160);
        int next = 0;  // each packet holds its own number
        int64_t worstMs = 0;
        for (int64_t tick = kStartNs; next < kFrames; tick += kFrameNs) {
            for (; next < kFrames && kStartNs + int64_t(next * kFrameNs / drift) <= tick; ++next) {
                std::fill(packet.begin(), packet.end(), int16_t(next % 30000));
                buffer.put(7, uint32_t(next * 160), packet.data(), packet.size(),
                           kStartNs + int64_t(next * kFrameNs / drift));
            }
            buffer.pull(tick, frame.data());
            const int64_t sentNs = kStartNs + int64_t(frame[0] * kFrameNs / drift);
            if (tick > kStartNs + 2'000'000'000LL && frame[0] > 0)
                worstMs = std::max(worstMs, std::abs((tick - sentNs) / 1'000'000 - kDelayMs));
        }
        EXPECT_LE(worstMs, kDelayMs);
        EXPECT_GE(buffer.slips(), 3);
        EXPECT_LE(buffer.lateOrLost(), uint64_t(buffer.slips() + kDelayMs / 20));
    }
}

// A new SSRC in the call (a re-INVITE to another media server) goes on after what the old source
// left in the buffer: every packet of both plays once, in order.
TEST(JitterBuffer, ANewSourcePlaysAfterTheOldOnesLastPackets) {
    constexpr int64_t kFrameNs = 20'000'000, kStartNs = 1'000'000'000;
    constexpr int kFrames = 200, kDelayMs = 160;
    JitterBuffer buffer(kDelayMs);
    std::vector<int16_t> packet(160), frame(160), played;
    int next = 0;
    for (int64_t tick = kStartNs;
         played.size() < size_t(kFrames) && tick < kStartNs + 2 * kFrames * kFrameNs;
         tick += kFrameNs) {
        for (; next < kFrames && kStartNs + next * kFrameNs <= tick; ++next) {
            std::fill(packet.begin(), packet.end(), int16_t(next + 1));
            const bool second = next >= kFrames / 2;
            buffer.put(second ? 2 : 1, uint32_t((second ? 90000 : 0) + next * 160), packet.data(),
                       packet.size(), kStartNs + next * kFrameNs);
        }
        buffer.pull(tick, frame.data());
        if (frame[0] > 0 && (played.empty() || frame[0] != played.back()))
            played.push_back(frame[0]);
    }
    ASSERT_EQ(played.size(), size_t(kFrames));
    for (int i = 0; i < kFrames; ++i) EXPECT_EQ(played[size_t(i)], i + 1);
    EXPECT_LE(buffer.lateOrLost(), uint64_t(kDelayMs / 20));
}

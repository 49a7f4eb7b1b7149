// vantoro-call's line noise: where it starts and stops, its level, and spandsp's V.27ter through
// it.
#include "tools/call/line_noise.h"

#include <gtest/gtest.h>
#include <spandsp.h>

#include <cmath>
#include <vector>

namespace {

constexpr int kBlock = 160;  // the line's 20 ms blocks
constexpr float kFaxSignalDbm0 = -14.0f;

std::vector<int16_t> Tone(int count, double amplitude) {
    std::vector<int16_t> tone(count);
    for (int i = 0; i < count; ++i)
        tone[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * 1800.0 * i / 8000.0)));
    return tone;
}

void AddInBlocks(LineNoise& noise, std::vector<int16_t>& line) {
    for (size_t at = 0; at < line.size(); at += kBlock)
        noise.add(line.data() + at, int(std::min<size_t>(kBlock, line.size() - at)));
}

double MeanSquare(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t from,
                  size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) {
        double d = double(a[i]) - (b.empty() ? 0.0 : double(b[i]));
        sum += d * d;
    }
    return sum / double(to - from);
}

TEST(LineNoise, SilenceStaysSilentAndNoiseStartsOnTheCarrierSample) {
    LineNoise noise(kFaxSignalDbm0, 30, 1);
    ASSERT_TRUE(noise.valid());
    // The carrier starts late in a block, as a fax machine's often does.
    const int onset = 3 * kBlock + 141;
    std::vector<int16_t> clean(onset, 0);
    std::vector<int16_t> tone = Tone(4 * kBlock, 3000);
    clean.insert(clean.end(), tone.begin(), tone.end());
    std::vector<int16_t> line = clean;
    AddInBlocks(noise, line);
    for (int i = 0; i < onset; ++i)
        ASSERT_EQ(line[i], 0) << "noise ahead of the carrier at sample " << i;
    EXPECT_GT(MeanSquare(line, clean, onset, line.size()), 0.0);
}

TEST(LineNoise, StopsShortlyAfterTheCarrierButNotInItsDips) {
    LineNoise noise(kFaxSignalDbm0, 30, 2);
    std::vector<int16_t> clean = Tone(2 * kBlock, 3000);
    const size_t dip = clean.size();
    clean.insert(clean.end(), LineNoise::kHangoverSamples / 2, 0);
    std::vector<int16_t> more = Tone(kBlock, 3000);
    clean.insert(clean.end(), more.begin(), more.end());
    const size_t end = clean.size();
    clean.insert(clean.end(), 5 * kBlock, 0);
    std::vector<int16_t> line = clean;
    AddInBlocks(noise, line);
    EXPECT_GT(MeanSquare(line, clean, dip, dip + LineNoise::kHangoverSamples / 2), 0.0)
        << "gap in the noise";
    for (size_t i = end + LineNoise::kHangoverSamples; i < line.size(); ++i)
        ASSERT_EQ(line[i], 0) << "noise after the carrier at sample " << i;
}

// The SNR holds against what spandsp's fax modems actually send.
TEST(LineNoise, LevelMatchesTheSnrAgainstAV27terSignal) {
    for (double snr : {0.0, 30.0}) {
        v27ter_tx_state_t* tx = v27ter_tx_init(
            nullptr, 4800, FALSE, [](void*) { return 1; }, nullptr);
        std::vector<int16_t> clean(8000);
        v27ter_tx(tx, clean.data(), int(clean.size()));
        v27ter_tx_free(tx);
        std::vector<int16_t> line = clean;
        LineNoise noise(kFaxSignalDbm0, snr, 3);
        AddInBlocks(noise, line);
        double signal = MeanSquare(clean, {}, 0, clean.size());
        double added = MeanSquare(line, clean, 0, clean.size());
        EXPECT_NEAR(10 * std::log10(signal / added), snr, 0.5) << "at " << snr << " dB";
    }
}

struct TrainingResult {
    bool trained = false;
    bool failed = false;
};

// spandsp's V.27ter receiver counts noise above its carrier threshold as the carrier's start and
// then misses the training; wherever in a block the carrier starts, 30 dB must not trip it.
TEST(LineNoise, SpandspV27terTrainsAtThirtyDbWhereverTheCarrierStarts) {
    for (int onset = 0; onset < kBlock; onset += 7) {
        SCOPED_TRACE("carrier starts at sample " + std::to_string(onset) + " of its block");
        std::vector<int16_t> line(2 * kBlock + onset, 0);
        v27ter_tx_state_t* tx = v27ter_tx_init(
            nullptr, 4800, FALSE, [](void*) { return 1; }, nullptr);
        std::vector<int16_t> carrier(8000);
        v27ter_tx(tx, carrier.data(), int(carrier.size()));
        v27ter_tx_free(tx);
        line.insert(line.end(), carrier.begin(), carrier.end());
        LineNoise noise(kFaxSignalDbm0, 30, 100 + onset);
        AddInBlocks(noise, line);

        TrainingResult result;
        v27ter_rx_state_t* rx = v27ter_rx_init(
            nullptr, 4800,
            [](void* user, int bit) {
                auto* r = static_cast<TrainingResult*>(user);
                if (bit == SIG_STATUS_TRAINING_SUCCEEDED) r->trained = true;
                if (bit == SIG_STATUS_TRAINING_FAILED) r->failed = true;
            },
            &result);
        for (size_t at = 0; at + kBlock <= line.size(); at += kBlock)
            v27ter_rx(rx, line.data() + at, kBlock);
        v27ter_rx_free(rx);
        EXPECT_TRUE(result.trained);
        EXPECT_FALSE(result.failed);
    }
}

}  // namespace

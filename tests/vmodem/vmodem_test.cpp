// What no end-to-end test reaches: the level of the caller's line noise. The virtual modem
// itself is what every end-to-end test runs on.
#include <gtest/gtest.h>
#include <spandsp.h>

#include <cmath>

#include "tools/call/line_noise.h"

namespace {

// The SNR holds against what spandsp's fax modems actually send.
TEST(LineNoise, LevelMatchesTheSnrAgainstAV27terSignal) {
    constexpr float kFaxSignalDbm0 = -14.0f;
    for (double snr : {0.0, 30.0}) {
        v27ter_tx_state_t* tx = v27ter_tx_init(
            nullptr, 4800, FALSE, [](void*) { return 1; }, nullptr);
        std::vector<int16_t> clean(8000);
        v27ter_tx(tx, clean.data(), int(clean.size()));
        v27ter_tx_free(tx);
        std::vector<int16_t> line = clean;
        LineNoise noise(kFaxSignalDbm0, snr, 3);
        constexpr int kBlock = 160;  // the line's 20 ms blocks
        for (size_t at = 0; at < line.size(); at += kBlock) noise.add(line.data() + at, kBlock);
        double signal = 0, added = 0;
        for (size_t i = 0; i < line.size(); ++i) {
            signal += std::pow(double(clean[i]), 2);
            added += std::pow(double(line[i]) - clean[i], 2);
        }
        EXPECT_NEAR(10 * std::log10(signal / added), snr, 0.5) << "at " << snr << " dB";
    }
}

}  // namespace

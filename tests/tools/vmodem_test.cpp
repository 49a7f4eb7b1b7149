// What no end-to-end test reaches: the virtual modem's voice stream both ways, the calling
// tone's DLE c, and the level of the caller's line noise.
#include <gtest/gtest.h>
#include <spandsp.h>

#include <cmath>
#include <cstdlib>

#include "tests/support/little_endian.h"
#include "tests/support/modem_harness.h"
#include "tools/call/line_noise.h"

namespace {

constexpr int kSamplesPerSecond = 8000;
const std::string kCallingTone = {'\x10', 'c'};  // DLE c

// Mean power of unsigned 8-bit samples around 0x80.
double Power(const std::string& u8, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to && i < u8.size(); ++i) sum += std::pow(uint8_t(u8[i]) - 128.0, 2);
    return sum / double(to - from);
}

// A vmodem in voice mode, echo off, and a caller it has answered at the first ring.
std::unique_ptr<ChildProcess> AnsweredCall(ModemHarness& modem, std::vector<std::string> args) {
    EXPECT_TRUE(modem.Start());
    EXPECT_EQ(modem.Command("ATE0"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT+FCLASS=8"), "\r\nOK\r\n");
    auto call = modem.Call(std::move(args));
    EXPECT_TRUE(modem.Expect("RING\r\n", 2000));
    EXPECT_EQ(modem.Command("AT+VLS=1"), "\r\nOK\r\n");
    return call;
}

TEST(Vmodem, VoiceStreamCarriesTheCallInRealTimeBothWays) {
    ModemHarness modem{400};
    std::string tone = modem.Folder() / "tone.wav", heard = modem.Folder() / "heard.wav";
    ASSERT_TRUE(WriteToneWav(tone, 1.0, 1000));
    auto call = AnsweredCall(modem, {"--say", tone, "--record", heard, "--hangup-after", "3"});
    ASSERT_EQ(modem.Command("AT+VRX"), "\r\nCONNECT\r\n");
    long long start = MonotonicMs();
    std::string stream = modem.ReadFor(1500);
    long long took = MonotonicMs() - start;
    modem.Send("\x10!");
    ASSERT_TRUE(modem.Expect("\x10\x03\r\nOK\r\n", 1000));
    std::string events;
    std::string samples = Unshield(stream, &events);
    EXPECT_NEAR(double(samples.size()), double(took) * 8.0, 4000.0);
    // The tone's first second (sox vol 0.5: about 45 in 8-bit units rms), then silence.
    EXPECT_GT(Power(samples, 1000, 7000), 500.0);
    EXPECT_LT(Power(samples, 9000, 11500), 4.0);
    EXPECT_EQ(events.find('c'), std::string::npos) << "a calling tone from a voice caller";

    // Half a second of the sample 0x10 (shielded), i.e. a constant (0x10 - 0x80) * 256.
    ASSERT_EQ(modem.Command("AT+VTX"), "\r\nCONNECT\r\n");
    std::string audio;
    for (int i = 0; i < kSamplesPerSecond / 2; ++i) audio += "\x10\x10";
    modem.Send(audio + "\x10\x03");
    EXPECT_TRUE(modem.Expect("OK\r\n", 3000));
    EXPECT_EQ(call->WaitForExit(4000), 0);
    std::string info = "soxi -r '" + heard + "' | grep -qx 8000 && soxi -b '" + heard +
                       "' | grep -qx 16 && soxi -c '" + heard + "' | grep -qx 1";
    EXPECT_EQ(std::system(info.c_str()), 0);
    std::string wav = ReadFile(heard);
    ASSERT_GT(wav.size(), 44u);
    size_t constant = 0;
    for (size_t i = 44; i + 1 < wav.size(); i += 2)
        constant += int16_t(Le16(wav, i)) == (0x10 - 0x80) * 256;
    EXPECT_NEAR(double(constant), kSamplesPerSecond / 2, 10.0);
    EXPECT_NEAR(double(wav.size() - 44) / 2.0, 3.0 * kSamplesPerSecond, 2000.0);
}

TEST(Vmodem, FaxCallingToneGivesDleCInCommandStateAndDuringReceive) {
    ModemHarness modem{400};
    std::string tiff = modem.Folder() / "page.tif";
    ASSERT_TRUE(WriteTiff(tiff, {SparsePage(100, 1)}, false));
    auto call = AnsweredCall(modem, {"--fax", tiff, "--hangup-after", "8"});
    std::string got;
    ASSERT_TRUE(modem.Expect(kCallingTone, 3000, &got)) << "no calling tone in command state";
    EXPECT_EQ(got, kCallingTone);
    ASSERT_EQ(modem.Command("AT+VRX"), "\r\nCONNECT\r\n");
    // CNG repeats every 3.5 s.
    std::string events;
    Unshield(modem.ReadFor(4000), &events);
    EXPECT_NE(events.find('c'), std::string::npos) << "no calling tone during receive";
    modem.Send("\x10!");
    EXPECT_TRUE(modem.Expect("\x10\x03\r\nOK\r\n", 1000));
}

// The SNR holds against what spandsp's fax modems actually send.
TEST(LineNoise, LevelMatchesTheSnrAgainstAV27terSignal) {
    constexpr float kFaxSignalDbm0 = -14.0f;
    for (double snr : {0.0, 30.0}) {
        v27ter_tx_state_t* tx = v27ter_tx_init(
            nullptr, 4800, FALSE, [](void*) { return 1; }, nullptr);
        std::vector<int16_t> clean(kSamplesPerSecond);
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

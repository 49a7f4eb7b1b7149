// The simulated telephone line: rings, caller id, answering, hang-ups, events and audio.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "tests/support/modem_harness.h"

namespace {

const std::string kBusy = {'\x10', 'b'};  // DLE events
const std::string kCallingTone = {'\x10', 'c'};

std::string FinalLine(ChildProcess& call) {
    std::vector<std::string> lines = call.StdoutLines();
    return lines.empty() ? std::string() : lines.back();
}

// Mean power of unsigned 8-bit samples around 0x80.
double Power(const std::string& u8, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to && i < u8.size(); ++i) {
        double v = double(uint8_t(u8[i])) - 128.0;
        sum += v * v;
    }
    return to > from ? sum / double(to - from) : 0;
}

// A vmodem in voice mode, echo off, caller id off.
class VmodemLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(modem.Start());
        ASSERT_EQ(modem.Command("ATE0"), "ATE0\r\r\nOK\r\n");
        ASSERT_EQ(modem.Command("AT+FCLASS=8"), "\r\nOK\r\n");
    }
    // Places a call and goes off hook at its first ring.
    std::unique_ptr<ChildProcess> AnsweredCall(std::vector<std::string> args) {
        auto call = modem.Call(std::move(args));
        EXPECT_TRUE(modem.Expect("RING\r\n", 2000));
        EXPECT_EQ(modem.Command("AT+VLS=1"), "\r\nOK\r\n");
        return call;
    }
    std::string Wav(double seconds, int hz, int rate = 8000) {
        std::string path = modem.Folder() / ("tone" + std::to_string(hz) + ".wav");
        EXPECT_TRUE(WriteToneWav(path, seconds, hz, rate));
        return path;
    }

    ModemHarness modem{400};
};

TEST_F(VmodemLine, RingsAtTheIntervalWithCallerIdAfterTheFirstRing) {
    ASSERT_EQ(modem.Command("AT+VCID=1"), "\r\nOK\r\n");
    auto call = modem.Call({"--number", "5551234", "--give-up-after-rings", "3"});
    std::string got;
    ASSERT_TRUE(modem.Expect("RING\r\n", 2000, &got));
    long long first = MonotonicMs();
    EXPECT_EQ(got, "\r\nRING\r\n");
    ASSERT_TRUE(modem.Expect("RING\r\n", 2000, &got));
    long long second = MonotonicMs();
    EXPECT_TRUE(std::regex_match(
        got, std::regex("\r\nDATE=[01][0-9][0-3][0-9]\r\n\r\nTIME=[0-2][0-9][0-5][0-9]\r\n"
                        "\r\nNMBR=5551234\r\n\r\nRING\r\n")))
        << got;
    ASSERT_TRUE(modem.Expect("\r\nRING\r\n", 2000, &got));
    EXPECT_EQ(got, "\r\nRING\r\n");
    EXPECT_NEAR(double(second - first), 400.0, 250.0);
    EXPECT_EQ(call->WaitForExit(5000), 0);
    EXPECT_EQ(FinalLine(*call), "RESULT unanswered rings=3");
    // A caller who gives up leaves no trace on the line: the rings just stop.
    EXPECT_EQ(modem.ReadFor(1000), "");
}

TEST_F(VmodemLine, NoCallerIdWithoutVcidOrWithoutANumber) {
    auto call = modem.Call({"--number", "5551234", "--give-up-after-rings", "2"});
    EXPECT_EQ(call->WaitForExit(5000), 0);
    EXPECT_EQ(modem.ReadFor(100), "\r\nRING\r\n\r\nRING\r\n");
    ASSERT_EQ(modem.Command("AT+VCID=1"), "\r\nOK\r\n");
    auto anonymous = modem.Call({"--give-up-after-rings", "2"});
    EXPECT_EQ(anonymous->WaitForExit(5000), 0);
    EXPECT_EQ(modem.ReadFor(100), "\r\nRING\r\n\r\nRING\r\n");
    EXPECT_EQ(FinalLine(*anonymous), "RESULT unanswered rings=2");
}

TEST_F(VmodemLine, OffHookAnswersAndTheCallersHangUpSoundsBusy) {
    auto call = modem.Call({"--hangup-after", "1"});
    ASSERT_TRUE(modem.Expect("RING\r\n", 2000));
    ASSERT_TRUE(modem.Expect("RING\r\n", 2000));
    ASSERT_EQ(modem.Command("AT+VLS=1"), "\r\nOK\r\n");
    long long answered = MonotonicMs();
    EXPECT_EQ(call->WaitForExit(3000), 0);
    EXPECT_EQ(FinalLine(*call), "RESULT answered rings=2");
    // The DLE b event comes in command state too, after about a cadence of busy tone.
    std::string got;
    ASSERT_TRUE(modem.Expect(kBusy, 4000, &got));
    EXPECT_EQ(got, kBusy);
    EXPECT_GE(MonotonicMs() - answered, 1800);
    // No more rings while the line is off hook; then on hook, and the next caller rings.
    EXPECT_EQ(modem.Command("AT+VLS=0"), "\r\nOK\r\n");
    auto next = modem.Call({"--give-up-after-rings", "1"});
    EXPECT_TRUE(modem.Expect("\r\nRING\r\n", 2000));
    EXPECT_EQ(next->WaitForExit(3000), 0);
}

// Our own hang-up ends the call for the caller without a busy event; a second caller waits
// for the line meanwhile, and rings once it is free.
TEST_F(VmodemLine, ModemHangUpEndsTheCallAndASecondCallerWaitsForTheLine) {
    auto first = AnsweredCall({});
    auto second = modem.Call({"--give-up-after-rings", "1"});
    EXPECT_EQ(modem.ReadFor(800).find("RING"), std::string::npos);
    ASSERT_EQ(modem.Command("ATH"), "\r\nOK\r\n");
    EXPECT_EQ(first->WaitForExit(2000), 0);
    EXPECT_EQ(FinalLine(*first), "RESULT answered rings=1");
    std::string after;
    EXPECT_TRUE(modem.Expect("\r\nRING\r\n", 2000, &after));
    EXPECT_EQ(after.find("\x10"), std::string::npos) << "a busy event after our own hang-up";
    EXPECT_EQ(second->WaitForExit(3000), 0);
    EXPECT_EQ(FinalLine(*second), "RESULT unanswered rings=1");
    EXPECT_EQ(modem.ReadFor(1500), "") << "no busy event after our own hang-up";
}

TEST_F(VmodemLine, FaxCallingToneGivesDleCInCommandStateAndDuringReceive) {
    std::string tiff = modem.Folder() / "page.tif";
    ASSERT_TRUE(WriteTiff(tiff, {SparsePage(100, 1)}, false));
    auto call = AnsweredCall({"--fax", tiff, "--hangup-after", "8"});
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

TEST_F(VmodemLine, NoCallingToneFromAVoiceCaller) {
    auto call = AnsweredCall({"--say", Wav(2.0, 440), "--hangup-after", "3"});
    EXPECT_EQ(modem.ReadFor(2500).find(kCallingTone), std::string::npos);
}

TEST_F(VmodemLine, ReceiveCarriesTheCallersSpeechInRealTime) {
    ASSERT_EQ(modem.Command("AT+VSM=1,8000"), "\r\nOK\r\n");
    auto call = AnsweredCall({"--say", Wav(1.0, 1000), "--hangup-after", "2"});
    ASSERT_EQ(modem.Command("AT+VRX"), "\r\nCONNECT\r\n");
    long long start = MonotonicMs();
    std::string stream = modem.ReadFor(3500);
    long long took = MonotonicMs() - start;
    std::string events;
    std::string samples = Unshield(stream, &events);
    // Real time: 8000 samples a second, give or take scheduling.
    EXPECT_NEAR(double(samples.size()), double(took) * 8.0, 4000.0);
    // The first second holds the tone (sox vol 0.5: about 45 in 8-bit units rms), then silence,
    // then busy tone after the caller hangs up at 2 s.
    EXPECT_GT(Power(samples, 1000, 7000), 500.0);
    EXPECT_LT(Power(samples, 9000, 13000), 4.0);
    EXPECT_NE(events.find('b'), std::string::npos);
    modem.Send("\x10!");
    EXPECT_TRUE(modem.Expect("\x10\x03\r\nOK\r\n", 1000));
    EXPECT_EQ(call->WaitForExit(2000), 0);
    EXPECT_EQ(FinalLine(*call), "RESULT answered rings=1");
}

TEST_F(VmodemLine, MuLawReceiveOfSilenceIsFf) {
    ASSERT_EQ(modem.Command("AT+VSM=4,8000"), "\r\nOK\r\n");
    auto call = AnsweredCall({"--hangup-after", "3"});
    ASSERT_EQ(modem.Command("AT+VRX"), "\r\nCONNECT\r\n");
    std::string samples = Unshield(modem.ReadFor(500), nullptr);
    ASSERT_GT(samples.size(), 2000u);
    EXPECT_EQ(samples.find_first_not_of('\xff'), std::string::npos);
}

TEST_F(VmodemLine, TransmitReachesTheCallersRecording) {
    std::string recording = modem.Folder() / "heard.wav";
    auto call = AnsweredCall({"--record", recording, "--hangup-after", "2"});
    ASSERT_EQ(modem.Command("AT+VTX"), "\r\nCONNECT\r\n");
    // Half a second of the sample 0x10 (shielded), i.e. a constant (0x10 - 0x80) * 256.
    std::string audio;
    for (int i = 0; i < 4000; ++i) audio += "\x10\x10";
    modem.Send(audio + "\x10\x03");
    EXPECT_TRUE(modem.Expect("OK\r\n", 3000));
    EXPECT_EQ(call->WaitForExit(4000), 0);
    std::string info = "soxi -r '" + recording + "' | grep -qx 8000 && soxi -b '" + recording +
                       "' | grep -qx 16 && soxi -c '" + recording + "' | grep -qx 1";
    EXPECT_EQ(std::system(info.c_str()), 0);
    std::string wav = ReadFile(recording);
    ASSERT_GT(wav.size(), 44u);
    size_t constant = 0;
    for (size_t i = 44; i + 1 < wav.size(); i += 2) {
        auto v = int16_t(uint16_t(uint8_t(wav[i]) | (uint8_t(wav[i + 1]) << 8)));
        if (v == (0x10 - 0x80) * 256) ++constant;
    }
    EXPECT_NEAR(double(constant), 4000.0, 10.0);
    // About two seconds of call were recorded.
    EXPECT_NEAR(double(wav.size() - 44) / 2.0, 16000.0, 2000.0);
}

TEST_F(VmodemLine, CallerRefusesAWavInAnotherFormatOrWithoutAModem) {
    auto call = modem.Call({"--say", Wav(0.2, 440, 22050)});
    EXPECT_EQ(call->WaitForExit(3000), 1);
    EXPECT_NE(call->Stderr().find("8000 Hz"), std::string::npos) << call->Stderr();
    ChildProcess lost({ToolPath("vantoro-call"), "--socket", modem.Folder() / "none.sock"});
    ASSERT_TRUE(lost.Start());
    EXPECT_EQ(lost.WaitForExit(3000), 1);
    EXPECT_NE(lost.Stderr().find("no vmodem"), std::string::npos);
}

}  // namespace

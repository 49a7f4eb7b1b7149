// The answering machine on the dialects of the voice modems on sale: one call per chipset the
// virtual modem plays, and on the Conexant one per kind of tone the line carries after the
// hang-up (a cadence, a steady tone, silence; the detector's own tests hold every tone). The
// caller talks, pauses 5 s, talks again and hangs up; the message must hold both halves at
// their pitch and end soon after the hang-up, though most of these modems never say it came.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr int kRate = 8000;
// A 1 s greeting and a 1 s fax window: recording begins about 3.6 s after the answer.
constexpr int kFaxWindowMs = 1000;
constexpr double kSayAfterS = 6, kTalkS = 8, kHangupAfterS = kSayAfterS + kTalkS + 0.5;
constexpr double kToneGoalS = 5, kSilenceGoalS = 8 + 1;  // silence-s 8, the default

// Rate, bits and channels as sox reads them.
std::string Soxi(const std::string& path) {
    std::string out;
    for (const char* option : {"-r", "-b", "-c"}) {
        FILE* pipe = popen(("soxi " + std::string(option) + " '" + path + "' 2>&1").c_str(), "r");
        char line[128];
        while (pipe && fgets(line, sizeof line, pipe)) out += line;
        if (pipe) pclose(pipe);
    }
    return out;
}

struct ModemRun {
    const char* personality;
    const char* hangupTone;
    double goalS;
};

class PersonalityTest : public ::testing::TestWithParam<ModemRun> {};

TEST_P(PersonalityTest, MessageHoldsTheCallerAtItsPitchAndEndsSoonAfterTheHangUp) {
    const ModemRun run = GetParam();
    ModemHarness modem(600, {"--personality", run.personality, "--hangup-tone", run.hangupTone});
    ASSERT_TRUE(modem.Start());
    ProgramHarness program;
    program.UseModem(modem.LinkPath());
    program.SetRings(2);  // the caller id comes between the first two rings
    ASSERT_TRUE(program.UseShortGreeting());
    program.SetFaxWindowMs(kFaxWindowMs);
    const std::string tone = program.Root() / "tone.wav", talk = program.Root() / "talk.wav";
    const std::string heard = program.Root() / "heard.wav";
    ASSERT_TRUE(WriteToneWav(tone, 1.5, 1000));
    const std::string gap = program.Root() / "gap.wav";
    const std::string format = " -r 8000 -b 16 -c 1 ";
    ASSERT_EQ(std::system(("sox -q -n" + format + gap + " trim 0 5 && sox -q " + tone + " " + gap +
                           " " + tone + format + talk)
                              .c_str()),
              0);
    auto vantoro = program.Start({"VANTORO_LINE_TRACE=1"});
    ASSERT_TRUE(vantoro->WaitForStdoutLine(kWaitingLine, kProgramStepMs)) << vantoro->Stderr();

    auto caller =
        modem.Call({"--number", "5551234", "--say", talk, "--say-after", std::to_string(kSayAfterS),
                    "--record", heard, "--hangup-after", std::to_string(kHangupAfterS)});
    ASSERT_EQ(caller->WaitForExit(60000), 0) << caller->Stderr();
    ASSERT_TRUE(vantoro->WaitForStdoutLine("对方已经挂机", int(run.goalS * 1000) + 2000))
        << vantoro->Stderr();
    ASSERT_TRUE(vantoro->WaitForStdoutLine(kWaitingLine, kProgramStepMs, 1));
    EXPECT_EQ(ProgramHarness::Exit(*vantoro), 0);

    // The greeting's closing 500 Hz tone reached the caller for its whole half second.
    EXPECT_NEAR(FindTone(ReadSamples(heard), 500).seconds, 0.5, 0.1);
    std::vector<std::string> messages = program.Files("wav");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(Soxi(messages[0]), "8000\n16\n1\n");
    std::vector<int16_t> message = ReadSamples(messages[0]);
    auto [said, saidSeconds] = FindTone(message, 1000);
    EXPECT_NEAR(saidSeconds, 3.0, 0.3) << "both halves of the talk, at 1 kHz";
    const double stayed = kHangupAfterS - (kSayAfterS - said);
    const double tail = double(message.size()) / kRate - stayed;
    EXPECT_GT(tail, -0.3);
    EXPECT_LT(tail, run.goalS) << vantoro->Stderr();
    RecordProperty("seconds_after_hangup", std::to_string(tail));
    EXPECT_NE(program.Log().find("来电号码: 5551234"), std::string::npos) << program.Log();
}

INSTANTIATE_TEST_SUITE_P(Modems, PersonalityTest,
                         ::testing::Values(ModemRun{"cx93010", "cn-busy", kToneGoalS},
                                           ModemRun{"cx93010", "dialtone", kToneGoalS},
                                           ModemRun{"cx93010", "silence", kSilenceGoalS},
                                           ModemRun{"usr5637", "cn-busy", kToneGoalS},
                                           ModemRun{"mt5634", "cn-busy", kToneGoalS},
                                           ModemRun{"md566x", "cn-busy", kToneGoalS},
                                           ModemRun{"rc56", "cn-busy", kToneGoalS},
                                           ModemRun{"ideal", "cn-busy", kToneGoalS}),
                         [](const ::testing::TestParamInfo<ModemRun>& info) {
                             std::string name =
                                 std::string(info.param.personality) + "_" + info.param.hangupTone;
                             for (char& c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

}  // namespace

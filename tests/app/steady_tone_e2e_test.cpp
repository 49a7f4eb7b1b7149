// A caller who plays a steady note or beeps in the middle of a message, on the Conexant (which
// never reports busy itself), in the exchange of each country the modem is set for: the note is
// not that exchange's tone, so the message goes on to the caller's last words, and the
// exchange's busy cadence after the hang-up still ends it within the goal.

#include <gtest/gtest.h>

#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr int kRate = 8000;
constexpr double kSayAfterS = 15, kNoteS = 5, kWordsS = 1.5, kToneGoalS = 5;
constexpr double kHangupAfterS = kSayAfterS + kWordsS + kNoteS + kWordsS + 0.5;

struct ToneRun {
    const char* name;
    std::vector<const char*> modemArgs;
    const char* note;  // sox synth arguments for the 5 s in the middle
    int noteHz;
    const char* tonePlan;  // as the line library's trace names it
};

void PrintTo(const ToneRun& run, std::ostream* out) { *out << run.name; }

class SteadyToneTest : public ::testing::TestWithParam<ToneRun> {};

TEST_P(SteadyToneTest, ANoteInsideTheMessageDoesNotEndItButTheBusyToneDoes) {
    const ToneRun run = GetParam();
    std::vector<std::string> args = {"--personality", "cx93010"};
    args.insert(args.end(), run.modemArgs.begin(), run.modemArgs.end());
    ModemHarness modem(600, args);
    ASSERT_TRUE(modem.Start());
    ProgramHarness program;
    program.UseModem(modem.LinkPath());
    program.SetRings(2);
    const std::string words = program.Root() / "words.wav", talk = program.Root() / "talk.wav";
    ASSERT_TRUE(WriteToneWav(words, kWordsS, 1000));
    ASSERT_EQ(std::system(("sox -q -n -r 8000 -c 1 -p " + std::string(run.note) +
                           " gain -10 | sox -q " + words + " - " + words + " " + talk)
                              .c_str()),
              0);
    auto vantoro = program.Start({"VANTORO_LINE_TRACE=1"});
    ASSERT_TRUE(vantoro->WaitForStdoutLine(kWaitingLine, kProgramStepMs)) << vantoro->Stderr();

    auto caller = modem.Call({"--say", talk, "--say-after", std::to_string(kSayAfterS),
                              "--hangup-after", std::to_string(kHangupAfterS)});
    ASSERT_EQ(caller->WaitForExit(60000), 0) << caller->Stderr();
    ASSERT_TRUE(vantoro->WaitForStdoutLine("对方已经挂机", int(kToneGoalS * 1000) + 2000))
        << vantoro->Stderr();
    ASSERT_TRUE(vantoro->WaitForStdoutLine(kWaitingLine, kProgramStepMs, 1));
    EXPECT_EQ(ProgramHarness::Exit(*vantoro), 0);
    EXPECT_NE(vantoro->Stderr().find(std::string("tones of ") + run.tonePlan), std::string::npos)
        << vantoro->Stderr();
    EXPECT_NE(vantoro->Stderr().find("hang-up heard: busy tone"), std::string::npos)
        << vantoro->Stderr();

    std::vector<std::string> messages = program.Files("wav");
    ASSERT_EQ(messages.size(), 1u);
    std::vector<int16_t> message = ReadSamples(messages[0]);
    auto [said, saidSeconds] = FindTone(message, 1000);
    EXPECT_NEAR(saidSeconds, 2 * kWordsS, 0.3) << "the words before and after the note";
    EXPECT_GT(FindTone(message, run.noteHz, said).seconds, 0.4 * kNoteS) << "the note itself";
    // Cut where the closing words ended, the note kept: the busy tone after them is gone.
    const double afterTalk = double(message.size()) / kRate - (said + 2 * kWordsS + kNoteS);
    EXPECT_GE(afterTalk, 0.0);
    EXPECT_LE(afterTalk, 0.5) << vantoro->Stderr();
}

INSTANTIATE_TEST_SUITE_P(
    Countries, SteadyToneTest,
    ::testing::Values(
        ToneRun{"usa_480hz_held", {"--country", "B5"}, "synth 5 sine 480", 480, "North America"},
        ToneRun{"china_450hz_beeps",
                {"--hangup-tone", "cn-busy"},
                "synth 0.4 sine 450 pad 0 0.4 repeat 6 trim 0 5",
                450,
                "China"},
        ToneRun{
            "germany_440hz_held", {"--country", "04"}, "synth 5 sine 440", 440, "Europe, 425 Hz"}),
    [](const ::testing::TestParamInfo<ToneRun>& info) { return std::string(info.param.name); });

}  // namespace

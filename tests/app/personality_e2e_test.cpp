// The answering machine on the dialects of the voice modems on sale: one message call per chipset
// the virtual modem plays, and on the Conexant one per kind of tone the line carries after the
// hang-up (a cadence, a steady tone, silence; the detector's own tests hold every tone). The
// caller talks, pauses 5 s, talks again and hangs up; the message must hold both halves at
// their pitch and end where the talk did, soon after the hang-up, though most of these modems
// never say it came. On each chipset a blocked number is hung up at once before it, and a
// caller who hangs up in the greeting after it leaves no message; calls.tsv holds all three.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <sstream>

#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr int kRate = 8000;
// A 1 s greeting and a 1 s fax window: recording begins about 3.6 s after the answer.
constexpr int kFaxWindowMs = 1000;
constexpr double kSayAfterS = 6, kTalkS = 8, kHangupAfterS = kSayAfterS + kTalkS + 0.5;
constexpr double kToneGoalS = 5, kSilenceGoalS = 8 + 1;  // silence-s 8, the default
constexpr int kRingIntervalMs = 600;
constexpr char kIni[] = "[vantoro]\nring=2\ntime=5\n[block]\nnumbers=5550*\n";

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
    // The calls around the message once per chipset: its tone variants hear the same caller id.
    const bool aroundMessage = std::strcmp(run.hangupTone, "cn-busy") == 0;
    ModemHarness modem(kRingIntervalMs,
                       {"--personality", run.personality, "--hangup-tone", run.hangupTone});
    ASSERT_TRUE(modem.Start());
    ProgramHarness program;
    program.UseModem(modem.LinkPath());
    WriteFile(program.Home() + "/vantoro.ini", kIni);  // caller id comes by the second ring
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
    // A call around the message: its seconds to the caller's end; then the line opens again.
    size_t logFrom = 0;  // Fax.Log up to the latest call
    auto place = [&](std::vector<std::string> args) {
        logFrom = program.LogSize();
        const auto placed = std::chrono::steady_clock::now();
        auto caller = modem.Call(std::move(args));
        EXPECT_EQ(caller->WaitForExit(60000), 0) << caller->Stderr();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - placed;
        EXPECT_TRUE(program.WaitForLog("正在等待呼叫", kProgramStepMs, logFrom)) << program.Log();
        return took.count();
    };
    if (aroundMessage) {
        EXPECT_LT(place({"--number", "5550123", "--hangup-after", "30"}),
                  2.0 + 2 * kRingIntervalMs / 1000.0)
            << "a blocked number is hung up at once";
    }
    const size_t fromLine = vantoro->StdoutLines().size();
    logFrom = program.LogSize();
    auto caller =
        modem.Call({"--number", "5551234", "--say", talk, "--say-after", std::to_string(kSayAfterS),
                    "--record", heard, "--hangup-after", std::to_string(kHangupAfterS)});
    ASSERT_EQ(caller->WaitForExit(60000), 0) << caller->Stderr();
    ASSERT_TRUE(vantoro->WaitForStdoutLine("对方已经挂机", int(run.goalS * 1000) + 2000, fromLine))
        << vantoro->Stderr();
    ASSERT_TRUE(vantoro->WaitForStdoutLine(kWaitingLine, kProgramStepMs, fromLine));
    if (aroundMessage) {
        ASSERT_TRUE(program.WaitForLog("正在等待呼叫", kProgramStepMs, logFrom));  // caller id on
        place({"--number", "5551235", "--hangup-after", "0.5"});
        EXPECT_NE(program.Log().find("来电者未留言即挂机", logFrom), std::string::npos);
    }
    EXPECT_EQ(ProgramHarness::Exit(*vantoro), 0);

    // The greeting's closing 500 Hz tone reached the caller for its whole half second.
    EXPECT_NEAR(FindTone(ReadSamples(heard), 500).seconds, 0.5, 0.1);
    std::vector<std::string> messages = program.Files("wav");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(Soxi(messages[0]), "8000\n16\n1\n");
    std::vector<int16_t> message = ReadSamples(messages[0]);
    auto [said, saidSeconds] = FindTone(message, 1000);
    EXPECT_NEAR(saidSeconds, 3.0, 0.3) << "both halves of the talk, at 1 kHz";
    // Cut where the talk ended: the hang-up's tone or silence is gone, all of the talk is there.
    const double afterTalk = double(message.size()) / kRate - (said + kTalkS);
    EXPECT_GE(afterTalk, 0.0);
    EXPECT_LE(afterTalk, 0.5) << vantoro->Stderr();
    RecordProperty("seconds_after_talk", std::to_string(afterTalk));
    EXPECT_NE(program.Log().find("来电号码: 5551234"), std::string::npos) << program.Log();

    std::istringstream lines(ReadFile(program.Home() + "/calls.tsv"));
    std::string line, rows;
    std::getline(lines, line);                                         // the header
    while (std::getline(lines, line)) rows += line.substr(20) + "\n";  // after the time
    const std::string messageRow = "5551234\tmessage\t" +
                                   std::to_string(std::lround(double(message.size()) / kRate)) +
                                   "\twav/" + messages[0].substr(messages[0].rfind('/') + 1) + "\n";
    EXPECT_EQ(rows, aroundMessage
                        ? "5550123\tblocked\t\t\n" + messageRow + "5551235\tno-message\t\t\n"
                        : messageRow)
        << program.Log();
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

// The answering machine end to end: the headless program on the real line library, a virtual
// modem, and a caller placing calls into it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>

#include "tests/support/child_process.h"
#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr int kRingIntervalMs = 600;
constexpr int kStepMs = kProgramStepMs;

const std::string kWaiting = kWaitingLine;
const std::string kRinging = "电话机振铃...";
const std::string kAnswering = "正在应答呼叫";
const std::string kHungUp = "对方已经挂机";
const std::string kGreeting = "正在播放欢迎词";
const std::string kRecording = "正在录制留言";
const std::string kLineLost = "线路中断，正在重新打开...";

constexpr int kRate = 8000;
std::string Soxi(const std::string& option, const std::string& path) {
    std::string out;
    FILE* pipe = popen(("soxi " + option + " '" + path + "' 2>&1").c_str(), "r");
    char line[128];
    while (pipe && fgets(line, sizeof line, pipe)) out += line;
    if (pipe) pclose(pipe);
    return out;
}

class AnsweringTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_modem.Start());
        m_program.UseModem(m_modem.LinkPath());
    }

    // `terminal` names a pty: the program then runs as `vantoro --headless &` typed into an
    // interactive shell on it, a background job whose pid the shell prints as "PID n".
    std::unique_ptr<ChildProcess> StartProgram(const std::string& answers = "",
                                               const std::string& terminal = "") {
        std::vector<std::string> argv;
        if (!terminal.empty()) {
            argv = {"/usr/bin/setsid",
                    "--wait",
                    "bash",
                    "-c",
                    "exec 0<>\"$TTY\"; set -m; \"$@\" & echo \"PID $!\" >&2; wait $!",
                    "bash",
                    m_program.Program(),
                    "--headless"};
        }
        auto program = m_program.Start({"VANTORO_MSGBOX=" + answers, "TTY=" + terminal}, argv);
        EXPECT_TRUE(program->WaitForStdoutLine(kWaiting, kStepMs)) << program->Stderr();
        return program;
    }

    // Places one call and returns the caller's result line.
    std::string Call(const std::vector<std::string>& options, int timeoutMs = 60000) {
        auto caller = m_modem.Call(options);
        EXPECT_EQ(caller->WaitForExit(timeoutMs), 0) << caller->Stderr();
        std::vector<std::string> lines = caller->StdoutLines();
        return lines.empty() ? std::string() : lines.back();
    }

    ProgramHarness m_program;
    ModemHarness m_modem{kRingIntervalMs};
};

TEST_F(AnsweringTest, AnswersAtTheThirdRingAndWaitsAgainAfterAGiveUpOrAHangUp) {
    m_program.SetRings(3);
    auto program = StartProgram();

    // A caller who gives up leaves the program waiting, and the next call's count starts afresh.
    EXPECT_EQ(Call({"--give-up-after-rings", "2"}), "RESULT unanswered rings=2");
    std::vector<std::string> expected = {kWaiting, kRinging, kRinging, kRinging, kWaiting};
    EXPECT_EQ(program->WaitForStdoutLines(expected.size(), kStepMs), expected) << program->Stderr();

    // The settings are read again after every call: a change made during a call counts for the
    // next one, without a restart.
    auto caller = m_modem.Call({"--number", "5551234", "--hangup-after", "2"});
    ASSERT_TRUE(program->WaitForStdoutLine(kAnswering, kStepMs)) << program->Stderr();
    m_program.SetRings(1);
    ASSERT_EQ(caller->WaitForExit(kStepMs), 0);
    EXPECT_EQ(caller->StdoutLines().back(), "RESULT answered rings=3");
    expected.insert(expected.end(), {kRinging, kRinging, kRinging, kRinging, kAnswering, kGreeting,
                                     kHungUp, kWaiting});
    EXPECT_EQ(program->WaitForStdoutLines(expected.size(), kStepMs), expected) << program->Stderr();

    EXPECT_EQ(Call({"--hangup-after", "1"}), "RESULT answered rings=1");
    expected.insert(expected.end(), {kRinging, kRinging, kAnswering, kGreeting, kHungUp, kWaiting});
    EXPECT_EQ(program->WaitForStdoutLines(expected.size(), kStepMs), expected);

    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
    std::string log = m_program.Log();
    EXPECT_NE(log.find("  来电号码: 5551234\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("  来电号码: 未知\r\n"), std::string::npos) << log;
}

TEST_F(AnsweringTest, StopAnsweredOkReopensTheLineCancelChangesNothing) {
    m_program.SetRings(2);
    auto program = StartProgram("cancel,ok");
    program->WriteStdin("stop\n");
    ASSERT_TRUE(program->WaitForStderr("是否取消当前操作？", kStepMs));
    program->WriteStdin("stop\n");
    std::vector<std::string> expected = {kWaiting, kWaiting};
    EXPECT_EQ(program->WaitForStdoutLines(expected.size(), kStepMs), expected);
    EXPECT_EQ(Call({"--hangup-after", "1"}), "RESULT answered rings=2");
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
}

TEST_F(AnsweringTest, InTheBackgroundItOutlivesAModemRestartAndEndsCleanlyOnSigterm) {
    m_program.SetRings(1);
    int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
    auto program = StartProgram("", ptsname(terminal));
    ASSERT_TRUE(program->WaitForStderr("PID ", kStepMs));
    const pid_t pid = std::stoi(program->Stderr().substr(program->Stderr().find("PID ") + 4));
    // A key typed at the shell reaches the background job's terminal too; it must not stop it.
    ASSERT_EQ(write(terminal, "stop\n", 5), 5);

    ASSERT_EQ(m_modem.Process().Stop(kStepMs), 0);
    ASSERT_TRUE(program->WaitForStdoutLine(kLineLost, kStepMs)) << program->Stderr();
    ASSERT_TRUE(m_modem.Start());  // the same link, a new pty behind it
    std::vector<std::string> expected = {kWaiting, kLineLost, kWaiting};
    EXPECT_EQ(program->WaitForStdoutLines(expected.size(), kStepMs), expected) << program->Stderr();

    auto caller = m_modem.Call({"--hangup-after", "30"});
    ASSERT_TRUE(program->WaitForStdoutLine(kAnswering, kStepMs)) << program->Stderr();
    usleep(1000000);
    kill(pid, SIGTERM);  // the exit path hangs up: the caller hears it long before 30 s
    EXPECT_EQ(program->WaitForExit(kStepMs), 0);
    EXPECT_EQ(caller->WaitForExit(5000), 0);
    EXPECT_EQ(caller->StdoutLines().back(), "RESULT answered rings=1");
    EXPECT_TRUE(std::filesystem::is_empty(m_program.Temp()));
    std::string log = m_program.Log();
    EXPECT_NE(log.find("  线路中断\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("  线路已恢复\r\n"), std::string::npos) << log;
    close(terminal);
}

// The caller hears the built-in greeting, then the tone; what it says after the tone is the
// message, in its own file, 8000 Hz 16-bit mono, as long as the caller stayed on the line after
// recording began. A welcome.wav in the program folder replaces the built-in greeting.
TEST_F(AnsweringTest, GreetingToneAndMessageThenOwnGreeting) {
    m_program.SetRings(1);
    const std::string talk = m_program.Root() / "talk.wav", heard = m_program.Root() / "heard.wav";
    ASSERT_TRUE(WriteToneWav(talk, 3, 700));
    auto program = StartProgram();
    const double sayAfter = 16, hangupAfter = 24;
    EXPECT_EQ(Call({"--say", talk, "--say-after", "16", "--record", heard, "--hangup-after", "24"}),
              "RESULT answered rings=1");
    std::vector<std::string> expected = {kWaiting,  kRinging,   kRinging, kAnswering,
                                         kGreeting, kRecording, kHungUp,  kWaiting};
    EXPECT_EQ(program->WaitForStdoutLines(expected.size(), kStepMs), expected) << program->Stderr();

    std::vector<int16_t> line = ReadSamples(heard);
    HeardTone tone = FindTone(line, 500);
    EXPECT_GT(Rms(line, 0.5, 7.0), 1000) << "no greeting";
    EXPECT_NEAR(tone.start, 12.6, 0.4);   // 0.1 s, the 7.5 s greeting, the 5 s fax window
    EXPECT_NEAR(tone.seconds, 0.5, 0.1);  // played to its end
    EXPECT_LT(Rms(line, tone.start + 0.5, sayAfter - 0.5), 100) << "sound before recording";

    std::vector<std::string> messages = m_program.Files("wav");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(Soxi("-r", messages[0]) + Soxi("-b", messages[0]) + Soxi("-c", messages[0]),
              "8000\n16\n1\n");
    std::vector<int16_t> message = ReadSamples(messages[0]);
    HeardTone said = FindTone(message, 700);
    EXPECT_NEAR(said.seconds, 3.0, 0.2);
    const double recordingBegan = sayAfter - said.start;  // after the answer
    EXPECT_NEAR(recordingBegan, tone.start + 1.2, 0.5);
    // The quiet after the talk and the busy tone after the hang-up are cut off.
    const double afterTalk = double(message.size()) / kRate - (said.start + said.seconds);
    EXPECT_GE(afterTalk, 0.0);
    EXPECT_LE(afterTalk, 0.5) << hangupAfter - recordingBegan << " s recorded";

    const std::string heard2 = m_program.Root() / "heard2.wav";
    ASSERT_TRUE(WriteToneWav(m_program.Home() + "/welcome.wav", 2, 300));
    EXPECT_EQ(Call({"--record", heard2, "--hangup-after", "9"}), "RESULT answered rings=1");
    line = ReadSamples(heard2);
    HeardTone welcome = FindTone(line, 300);
    EXPECT_NEAR(welcome.start, 0.15, 0.15);
    EXPECT_NEAR(welcome.seconds, 2.0, 0.1);
    EXPECT_NEAR(FindTone(line, 500).start, 7.1, 0.4);
    EXPECT_LT(Rms(line, 2.5, 6.5), 100) << "the built-in greeting played too";
    // The recording began just before the hang-up: only busy tone, so no message.
    ASSERT_TRUE(m_program.WaitForLog("来电者未留言即挂机", kStepMs)) << m_program.Log();
    EXPECT_EQ(m_program.Files("wav"), messages);

    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
}

// A caller who says a few words and then nothing is cut off at the time limit (10 s here, through
// the test hook, instead of a whole minute) and the line waits again; the limit timer of a message
// whose caller hung up earlier does not fire later into this call.
TEST_F(AnsweringTest, SilentCallerIsCutAtTheTimeLimitAndAnEarlierHangUpLeavesNoTimer) {
    constexpr int kLimitS = 10;
    m_program.SetRings(1, 1);
    m_program.SetRecordLimitS(kLimitS);
    ASSERT_TRUE(m_program.UseShortGreeting());  // recording begins about 7.6 s after the answer
    m_program.UseModem(m_modem.LinkPath(), "silence-s=0\n");  // silence alone ends no call
    const std::string speech = m_program.Root() / "speech.wav";
    ASSERT_TRUE(WriteSpeechWav(speech));
    auto program = StartProgram();
    EXPECT_EQ(Call({"--say", speech, "--say-after", "8", "--hangup-after", "10"}),
              "RESULT answered rings=1");
    std::vector<std::string> expected = {kWaiting,  kRinging,   kRinging, kAnswering,
                                         kGreeting, kRecording, kHungUp,  kWaiting};
    EXPECT_EQ(program->WaitForStdoutLines(expected.size(), kStepMs), expected) << program->Stderr();
    EXPECT_EQ(Call({"--say", speech, "--say-after", "8"}, 100000), "RESULT answered rings=1");
    expected.insert(expected.end(),
                    {kRinging, kRinging, kAnswering, kGreeting, kRecording, kWaiting});
    EXPECT_EQ(program->WaitForStdoutLines(expected.size(), kStepMs), expected) << program->Stderr();
    std::vector<std::string> messages = m_program.Files("wav");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NEAR(double(ReadSamples(messages[1]).size()) / kRate, kLimitS, 0.3);
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
}

}  // namespace

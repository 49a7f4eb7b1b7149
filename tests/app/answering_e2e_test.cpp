// The answering machine end to end: the headless program on the real line library, a virtual
// modem, and a caller placing calls into it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "tests/support/child_process.h"

namespace {

constexpr int kRingIntervalMs = 600;
constexpr int kRingTimeoutMs = 1500;
constexpr int kStepMs = 15000;

const std::string kWaiting = "等待呼叫...";
const std::string kRinging = "电话机振铃...";
const std::string kAnswering = "正在应答呼叫";
const std::string kHungUp = "对方已经挂机";
const std::string kGreeting = "正在播放欢迎词";

class AnsweringTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_vmodem = std::make_unique<ChildProcess>(
            std::vector<std::string>{BuildFolder() + "/vantoro-vmodem", "--link", Tty(), "--socket",
                                     Socket(), "--ring-interval", std::to_string(kRingIntervalMs)});
        ASSERT_TRUE(m_vmodem->Start());
        for (int i = 0; i < 200 && !FileExists(Tty()); ++i) usleep(10000);
        ASSERT_TRUE(FileExists(Tty()));
        ASSERT_EQ(
            system(("mkdir -p '" + (m_root / "config/vantoro") + "' '" + Home() + "'").c_str()), 0);
        WriteFile(m_root / "config/vantoro/line.ini",
                  "modem=" + Tty() + "\nring-timeout-ms=" + std::to_string(kRingTimeoutMs) + "\n");
    }

    std::string Tty() const { return m_root / "tty"; }
    std::string Socket() const { return m_root / "line.sock"; }
    std::string Home() const { return m_root / "home"; }
    void SetRings(int rings) {
        WriteFile(Home() + "/vantoro.ini",
                  "[vantoro]\nring=" + std::to_string(rings) + "\ntime=5\n");
    }

    std::unique_ptr<ChildProcess> StartProgram(const std::string& answers = "") {
        auto program = std::make_unique<ChildProcess>(
            std::vector<std::string>{BuildFolder() + "/vantoro", "--headless"},
            std::vector<std::string>{
                "XDG_RUNTIME_DIR=" + m_root.Path(), "XDG_STATE_HOME=" + (m_root / "state"),
                "XDG_CONFIG_HOME=" + (m_root / "config"), "TMPDIR=" + m_root.Path(),
                "VANTORO_HOME=" + Home(), "VANTORO_MSGBOX=" + answers});
        EXPECT_TRUE(program->Start());
        return program;
    }

    // Places one call and returns the caller's result line.
    std::string Call(const std::vector<std::string>& options) {
        std::vector<std::string> argv = {BuildFolder() + "/vantoro-call", "--socket", Socket()};
        argv.insert(argv.end(), options.begin(), options.end());
        ChildProcess caller(argv);
        EXPECT_TRUE(caller.Start());
        EXPECT_EQ(caller.WaitForExit(60000), 0) << caller.Stderr();
        std::vector<std::string> lines = caller.StdoutLines();
        return lines.empty() ? std::string() : lines.back();
    }

    // Waits until the program has printed `count` lines and returns them.
    std::vector<std::string> Statuses(ChildProcess& program, size_t count) {
        for (int i = 0; i < kStepMs / 50 && program.StdoutLines().size() < count; ++i) {
            program.WaitForStdoutLine("\x01", 50);
        }
        return program.StdoutLines();
    }

    TempFolder m_root;
    std::unique_ptr<ChildProcess> m_vmodem;
};

TEST_F(AnsweringTest, AnswersAtTheThirdRingAndWaitsAgainAfterTheHangUp) {
    SetRings(3);
    auto program = StartProgram();
    ASSERT_TRUE(program->WaitForStdoutLine(kWaiting, kStepMs)) << program->Stderr();

    // The settings are read again after every call: a change made during a call counts for the
    // next one, without a restart.
    ChildProcess caller({BuildFolder() + "/vantoro-call", "--socket", Socket(), "--number",
                         "5551234", "--hangup-after", "2"});
    ASSERT_TRUE(caller.Start());
    ASSERT_TRUE(program->WaitForStdoutLine(kAnswering, kStepMs)) << program->Stderr();
    SetRings(1);
    ASSERT_EQ(caller.WaitForExit(kStepMs), 0);
    EXPECT_EQ(caller.StdoutLines().back(), "RESULT answered rings=3");
    std::vector<std::string> expected = {kWaiting,   kRinging,  kRinging, kRinging, kRinging,
                                         kAnswering, kGreeting, kHungUp,  kWaiting};
    EXPECT_EQ(Statuses(*program, expected.size()), expected) << program->Stderr();

    EXPECT_EQ(Call({"--hangup-after", "1"}), "RESULT answered rings=1");
    expected.insert(expected.end(), {kRinging, kRinging, kAnswering, kGreeting, kHungUp, kWaiting});
    EXPECT_EQ(Statuses(*program, expected.size()), expected);

    program->WriteStdin("exit\n");
    EXPECT_EQ(program->WaitForExit(kStepMs), 0);
    std::string log = ReadFile(m_root / "state/vantoro/Fax.Log");
    // Three cycles of three line steps, and a greeting for each answered call.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 11);
}

TEST_F(AnsweringTest, CallerGivingUpLeavesTheProgramWaitingAndTheCountStartsAgain) {
    SetRings(3);
    auto program = StartProgram();
    ASSERT_TRUE(program->WaitForStdoutLine(kWaiting, kStepMs)) << program->Stderr();

    EXPECT_EQ(Call({"--give-up-after-rings", "2"}), "RESULT unanswered rings=2");
    std::vector<std::string> expected = {kWaiting, kRinging, kRinging, kRinging, kWaiting};
    EXPECT_EQ(Statuses(*program, expected.size()), expected) << program->Stderr();

    EXPECT_EQ(Call({"--hangup-after", "1"}), "RESULT answered rings=3");
    program->WriteStdin("exit\n");
    EXPECT_EQ(program->WaitForExit(kStepMs), 0);
}

TEST_F(AnsweringTest, StopAnsweredOkReopensTheLineCancelChangesNothing) {
    SetRings(2);
    auto program = StartProgram("cancel,ok");
    ASSERT_TRUE(program->WaitForStdoutLine(kWaiting, kStepMs)) << program->Stderr();
    program->WriteStdin("stop\n");
    ASSERT_TRUE(program->WaitForStderr("是否取消当前操作？", kStepMs));
    program->WriteStdin("stop\n");
    std::vector<std::string> expected = {kWaiting, kWaiting};
    EXPECT_EQ(Statuses(*program, expected.size()), expected);
    EXPECT_EQ(Call({"--hangup-after", "1"}), "RESULT answered rings=2");
    program->WriteStdin("exit\n");
    EXPECT_EQ(program->WaitForExit(kStepMs), 0);
}

TEST_F(AnsweringTest, NoModemConfiguredEndsTheProgram) {
    WriteFile(m_root / "config/vantoro/line.ini", "# no modem chosen\n");
    auto program = StartProgram();
    EXPECT_EQ(program->WaitForExit(kStepMs), 1);
    EXPECT_EQ(program->Stderr(), "MSGBOX 错误: 线路初始化失败！\n");
}

}  // namespace

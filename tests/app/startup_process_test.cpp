// The program as a user starts it, headless: folders, settings, log, single instance, commands.

#include <gtest/gtest.h>

#include <regex>

#include "tests/support/child_process.h"

namespace {

constexpr int kStartMs = 30000;  // generous: CI machines may be busy

class StartupTest : public ::testing::Test {
protected:
    std::vector<std::string> Environment(const std::string& tapi, const std::string& answers = "") {
        return {"XDG_RUNTIME_DIR=" + m_root.Path(), "XDG_STATE_HOME=" + (m_root / "state"),
                "TMPDIR=" + m_root.Path(),          "VANTORO_TAPI=" + tapi,
                "VANTORO_MSGBOX=" + answers,        "VANTORO_HOME=" + Home()};
    }
    std::string Home() const { return m_root / "home"; }
    std::string Program() const { return BuildFolder() + "/vantoro"; }
    std::string FakeTapi() const { return BuildFolder() + "/tests/line/libscripted_tapi.so"; }
    std::string Log() const { return ReadFile(m_root / "state/vantoro/Fax.Log"); }

    TempFolder m_root;
};

TEST_F(StartupTest, FirstStartWithoutTelephonyCreatesEverythingThenEnds) {
    ChildProcess program({Program(), "--headless"}, Environment(m_root / "missing-libtapi32.so"));
    ASSERT_TRUE(program.Start());
    EXPECT_EQ(program.WaitForExit(kStartMs), 0);
    EXPECT_EQ(program.Stderr(), "MSGBOX 错误: 线路初始化失败！\n");
    EXPECT_TRUE(FileExists(Home() + "/fax"));
    EXPECT_TRUE(FileExists(Home() + "/wav"));
    EXPECT_EQ(ReadFile(Home() + "/vantoro.ini"),
              "[vantoro]\nring=3 ;设置振铃次数\ntime=5  "
              ";设置留言时长，单位分钟，平均每分钟WAV文件900K\n");
    std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  正在初始化线路\.\.\.\r\n)");
    EXPECT_TRUE(std::regex_match(Log(), line)) << Log();
}

TEST_F(StartupTest, BadRingSettingEndsWithItsMessage) {
    ChildProcess prepare({Program(), "--headless"}, Environment(m_root / "missing.so"));
    ASSERT_TRUE(prepare.Start());
    ASSERT_EQ(prepare.WaitForExit(kStartMs), 0);
    WriteFile(Home() + "/vantoro.ini", "[vantoro]\nring=0\ntime=0\n");

    ChildProcess program({Program(), "--headless"}, Environment(FakeTapi()));
    ASSERT_TRUE(program.Start());
    EXPECT_EQ(program.WaitForExit(kStartMs), 0);
    EXPECT_EQ(program.Stderr(), "MSGBOX 错误: 振铃次数参数配置错误,必须大于0小于10！\n");
    EXPECT_TRUE(program.StdoutLines().empty());
}

TEST_F(StartupTest, SecondCopyIsRefusedAndExitEndsTheFirst) {
    ChildProcess first({Program(), "--headless"}, Environment(FakeTapi()));
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(first.WaitForStdoutLine("等待呼叫...", kStartMs)) << first.Stderr();

    ChildProcess second({Program(), "--headless"}, Environment(FakeTapi()));
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.WaitForExit(kStartMs), 0);
    EXPECT_EQ(second.Stderr(), "MSGBOX vantoro: BrellisVantoro 2000已经运行！\n");
    EXPECT_TRUE(second.StdoutLines().empty());
    EXPECT_TRUE(first.Running());

    first.WriteStdin("exit\n");
    EXPECT_EQ(first.WaitForExit(kStartMs), 0);
    EXPECT_NE(Log().find("正在等待呼叫\r\n"), std::string::npos);
    EXPECT_NE(ReadFile(Home() + "/vantoro.ini").find("skin=1\n"), std::string::npos);

    ChildProcess again({Program(), "--headless"},
                       Environment(FakeTapi()));  // the lock went with it
    ASSERT_TRUE(again.Start());
    EXPECT_TRUE(again.WaitForStdoutLine("等待呼叫...", kStartMs));
    again.WriteStdin("exit\n");
    EXPECT_EQ(again.WaitForExit(kStartMs), 0);
}

TEST_F(StartupTest, EndOfInputChangesNothing) {
    ChildProcess program({Program(), "--headless"}, Environment(FakeTapi()));
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.WaitForStdoutLine("等待呼叫...", kStartMs));
    program.CloseStdin();
    EXPECT_EQ(program.WaitForExit(500), -1);  // still running, killed by the test
}

}  // namespace

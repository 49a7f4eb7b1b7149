// The program as a user starts it, headless: folders, settings, log, single instance, commands.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "tests/support/program_harness.h"

namespace {

constexpr int kStartMs = 30000;  // generous: CI machines may be busy

class StartupTest : public ::testing::Test {
protected:
    // The program (default: headless) with `tapi` as the telephony library, and `more` settings.
    std::unique_ptr<ChildProcess> Start(const std::string& tapi, std::vector<std::string> more = {},
                                        std::vector<std::string> argv = {}) {
        more.insert(more.begin(), "VANTORO_TAPI=" + tapi);
        return m_harness.Start(more, argv);
    }
    // Permission bits of a file, or -1 when it is missing.
    static int Mode(const std::string& path) {
        struct stat info {};
        return lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
    }
    bool NoFaxTempFiles() const { return std::filesystem::is_empty(m_harness.Temp()); }
    std::string FakeTapi() const { return BuildFolder() + "/tests/line/libscripted_tapi.so"; }

    ProgramHarness m_harness;
    const TempFolder& m_root = m_harness.Root();
};

TEST_F(StartupTest, FirstStartWithoutTelephonyCreatesEverythingThenEnds) {
    // Without --home or VANTORO_HOME the program folder is the user's data folder.
    auto program = Start(m_root / "missing-libtapi32.so",
                         {"VANTORO_HOME=", "XDG_DATA_HOME=" + (m_root / "data")});
    EXPECT_EQ(program->WaitForExit(kStartMs), 1);
    EXPECT_EQ(program->Stderr(), "MSGBOX 错误: 线路初始化失败！\n");
    const std::string home = m_root / "data/vantoro";
    EXPECT_EQ(Mode(home + "/fax"), 0700);
    EXPECT_EQ(Mode(home + "/wav"), 0700);
    EXPECT_EQ(ReadFile(home + "/vantoro.ini"),
              "[vantoro]\nring=3 ;设置振铃次数\ntime=5  "
              ";设置留言时长，单位分钟，平均每分钟WAV文件900K\n");
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  )";
    std::regex line(stamp + R"(正在初始化线路\.\.\.\r\n)" + stamp +
                    R"(MSGBOX 错误: 线路初始化失败！\r\n)");
    EXPECT_TRUE(std::regex_match(m_harness.Log(), line)) << m_harness.Log();
    EXPECT_TRUE(NoFaxTempFiles());

    // A log that cannot be opened ends the start with a reason.
    std::filesystem::remove(m_root / "state/vantoro/Fax.Log");
    std::filesystem::create_directory(m_root / "state/vantoro/Fax.Log");
    auto noLog = Start(FakeTapi());
    EXPECT_EQ(noLog->WaitForExit(kStartMs), 1);
    EXPECT_NE(noLog->Stderr().find("cannot open the log"), std::string::npos) << noLog->Stderr();
    EXPECT_TRUE(NoFaxTempFiles());
}

TEST_F(StartupTest, SecondCopyIsRefusedAndExitEndsTheFirst) {
    // Without a runtime folder the lock lives in a private folder of the temporary folder.
    const std::vector<std::string> noRuntime = {"XDG_RUNTIME_DIR="};
    const std::string lockFolder = m_harness.Temp() + "/vantoro-" + std::to_string(getuid());
    auto first = Start(FakeTapi(), noRuntime);
    ASSERT_TRUE(first->WaitForStdoutLine(kWaitingLine, kStartMs)) << first->Stderr();
    EXPECT_EQ(Mode(lockFolder), 0700);

    auto second = Start(FakeTapi(), noRuntime);
    EXPECT_EQ(second->WaitForExit(kStartMs), 1);
    EXPECT_NE(second->Stderr().find("MSGBOX vantoro: BrellisVantoro 2000已经运行！\n"),
              std::string::npos);
    EXPECT_TRUE(second->StdoutLines().empty());
    EXPECT_TRUE(first->Running());
    EXPECT_EQ(ProgramHarness::Exit(*first), 0);
    EXPECT_NE(m_harness.Log().find("正在等待呼叫\r\n"), std::string::npos);
    EXPECT_NE(m_harness.Log().find("  正在打开线路...\r\n"), std::string::npos);
    EXPECT_NE(ReadFile(m_harness.Home() + "/vantoro.ini").find("skin=1\n"), std::string::npos);

    // The lock went with it; a lock folder that others may write to is not trusted with one.
    chmod(lockFolder.c_str(), 0777);
    // Nobody sees that window: headless.
    auto again =
        Start(FakeTapi(), {"XDG_RUNTIME_DIR=", "QT_QPA_PLATFORM=offscreen"}, {m_harness.Program()});
    EXPECT_TRUE(again->WaitForStdoutLine(kWaitingLine, kStartMs));
    EXPECT_NE(again->Stderr().find("not a private folder"), std::string::npos);
    EXPECT_EQ(ProgramHarness::Exit(*again), 0);
}

TEST_F(StartupTest, WithoutAUsableDisplayItRunsHeadlessAndEndOfInputChangesNothing) {
    auto program = Start(FakeTapi(), {"QT_QPA_PLATFORM=xcb", "DISPLAY=", "WAYLAND_DISPLAY="},
                         {m_harness.Program()});
    ASSERT_TRUE(program->WaitForStdoutLine(kWaitingLine, kStartMs));
    program->CloseStdin();
    EXPECT_EQ(program->WaitForExit(500), -1);  // still running, killed by the test
}

}  // namespace

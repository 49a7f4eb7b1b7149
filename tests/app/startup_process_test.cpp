// The program as a user starts it, headless: folders, settings, log, single instance, commands.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "tests/support/child_process.h"

namespace {

constexpr int kStartMs = 30000;  // generous: CI machines may be busy

class StartupTest : public ::testing::Test {
protected:
    std::vector<std::string> Environment(const std::string& tapi, const std::string& answers = "",
                                         bool runtimeFolder = true) {
        return {"XDG_RUNTIME_DIR=" + (runtimeFolder ? m_root.Path() : ""),
                "XDG_STATE_HOME=" + (m_root / "state"),
                "TMPDIR=" + m_root.Path(),
                "VANTORO_TAPI=" + tapi,
                "VANTORO_MSGBOX=" + answers,
                "VANTORO_HOME=" + Home()};
    }
    // Permission bits of a file, or -1 when it is missing.
    static int Mode(const std::string& path) {
        struct stat info {};
        return lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
    }
    // Entries of the temporary folder whose name starts with FAX.
    int FaxTempFiles() const {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(m_root.Path())) {
            count += entry.path().filename().string().rfind("FAX", 0) == 0;
        }
        return count;
    }
    std::string Home() const { return m_root / "home"; }
    std::string Program() const { return BuildFolder() + "/vantoro"; }
    std::string FakeTapi() const { return BuildFolder() + "/tests/line/libscripted_tapi.so"; }
    std::string Log() const { return ReadFile(m_root / "state/vantoro/Fax.Log"); }

    TempFolder m_root;
};

TEST_F(StartupTest, FirstStartWithoutTelephonyCreatesEverythingThenEnds) {
    // Without --home or VANTORO_HOME the program folder is the user's data folder.
    std::vector<std::string> environment = Environment(m_root / "missing-libtapi32.so");
    environment.back() = "VANTORO_HOME=";
    environment.push_back("XDG_DATA_HOME=" + (m_root / "data"));
    ChildProcess program({Program(), "--headless"}, environment);
    ASSERT_TRUE(program.Start());
    EXPECT_EQ(program.WaitForExit(kStartMs), 1);
    EXPECT_EQ(program.Stderr(), "MSGBOX 错误: 线路初始化失败！\n");
    const std::string home = m_root / "data/vantoro";
    EXPECT_EQ(Mode(home + "/fax"), 0700);
    EXPECT_EQ(Mode(home + "/wav"), 0700);
    EXPECT_EQ(ReadFile(home + "/vantoro.ini"),
              "[vantoro]\nring=3 ;设置振铃次数\ntime=5  "
              ";设置留言时长，单位分钟，平均每分钟WAV文件900K\n");
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  )";
    std::regex line(stamp + R"(正在初始化线路\.\.\.\r\n)" + stamp +
                    R"(MSGBOX 错误: 线路初始化失败！\r\n)");
    EXPECT_TRUE(std::regex_match(Log(), line)) << Log();
    EXPECT_EQ(FaxTempFiles(), 0);

    // A log that cannot be opened ends the start with a reason.
    std::filesystem::remove(m_root / "state/vantoro/Fax.Log");
    std::filesystem::create_directory(m_root / "state/vantoro/Fax.Log");
    ChildProcess noLog({Program(), "--headless"}, Environment(FakeTapi()));
    ASSERT_TRUE(noLog.Start());
    EXPECT_EQ(noLog.WaitForExit(kStartMs), 1);
    EXPECT_NE(noLog.Stderr().find("cannot open the log"), std::string::npos) << noLog.Stderr();
    EXPECT_EQ(FaxTempFiles(), 0);
}

TEST_F(StartupTest, BadRingSettingEndsWithItsMessage) {
    ChildProcess prepare({Program(), "--headless"}, Environment(m_root / "missing.so"));
    ASSERT_TRUE(prepare.Start());
    ASSERT_EQ(prepare.WaitForExit(kStartMs), 1);
    WriteFile(Home() + "/vantoro.ini", "[vantoro]\nring=0\ntime=0\n");

    ChildProcess program({Program(), "--headless"}, Environment(FakeTapi()));
    ASSERT_TRUE(program.Start());
    EXPECT_EQ(program.WaitForExit(kStartMs), 1);
    EXPECT_EQ(program.Stderr(), "MSGBOX 错误: 振铃次数参数配置错误,必须大于0小于10！\n");
    EXPECT_TRUE(program.StdoutLines().empty());
    EXPECT_EQ(FaxTempFiles(), 0);
}

TEST_F(StartupTest, SecondCopyIsRefusedAndExitEndsTheFirst) {
    // Without a runtime folder the lock lives in a private folder of the temporary folder.
    const bool noRuntime = false;
    const std::string lockFolder = m_root / ("vantoro-" + std::to_string(getuid()));
    ChildProcess first({Program(), "--headless"}, Environment(FakeTapi(), "", noRuntime));
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(first.WaitForStdoutLine("等待呼叫...", kStartMs)) << first.Stderr();
    EXPECT_EQ(Mode(lockFolder), 0700);

    ChildProcess second({Program(), "--headless"}, Environment(FakeTapi(), "", noRuntime));
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.WaitForExit(kStartMs), 1);
    EXPECT_NE(second.Stderr().find("MSGBOX vantoro: BrellisVantoro 2000已经运行！\n"),
              std::string::npos);
    EXPECT_TRUE(second.StdoutLines().empty());
    EXPECT_TRUE(first.Running());

    first.WriteStdin("exit\n");
    EXPECT_EQ(first.WaitForExit(kStartMs), 0);
    EXPECT_NE(Log().find("正在等待呼叫\r\n"), std::string::npos);
    EXPECT_NE(ReadFile(Home() + "/vantoro.ini").find("skin=1\n"), std::string::npos);

    // The lock went with it; a lock folder that others may write to is not trusted with one.
    chmod(lockFolder.c_str(), 0777);
    std::vector<std::string> offscreen = Environment(FakeTapi(), "", noRuntime);
    offscreen.push_back("QT_QPA_PLATFORM=offscreen");  // nobody sees that window: headless
    ChildProcess again({Program()}, offscreen);
    ASSERT_TRUE(again.Start());
    EXPECT_TRUE(again.WaitForStdoutLine("等待呼叫...", kStartMs));
    EXPECT_NE(again.Stderr().find("not a private folder"), std::string::npos);
    again.WriteStdin("exit\n");
    EXPECT_EQ(again.WaitForExit(kStartMs), 0);
}

TEST_F(StartupTest, WithoutAUsableDisplayItRunsHeadlessAndEndOfInputChangesNothing) {
    std::vector<std::string> environment = Environment(FakeTapi());
    environment.insert(environment.end(), {"QT_QPA_PLATFORM=xcb", "DISPLAY=", "WAYLAND_DISPLAY="});
    ChildProcess program({Program()}, environment);
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.WaitForStdoutLine("等待呼叫...", kStartMs));
    program.CloseStdin();
    EXPECT_EQ(program.WaitForExit(500), -1);  // still running, killed by the test
}

}  // namespace

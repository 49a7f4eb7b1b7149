// Fax calls end to end: the headless program on the real line library and a virtual modem, with
// spandsp's fax machine calling; the stored TIFF read back with libtiff.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "tests/support/child_process.h"
#include "tests/support/modem_harness.h"

namespace {

constexpr int kRingIntervalMs = 600;
constexpr int kRingTimeoutMs = 1500;
constexpr int kStepMs = 15000;
constexpr int kFaxMs = 120000;

const std::string kWaiting = "等待呼叫...";
const std::string kSuccess = "接收传真成功";

class FaxCallTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_modem.Start(false));
        std::filesystem::create_directories(m_root / "config/vantoro");
        std::filesystem::create_directories(Home());
        WriteFile(m_root / "config/vantoro/line.ini",
                  "modem=" + m_modem.LinkPath() +
                      "\nring-timeout-ms=" + std::to_string(kRingTimeoutMs) + "\n");
        WriteFile(Home() + "/vantoro.ini", "[vantoro]\nring=3\ntime=1\n");
        m_program = std::make_unique<ChildProcess>(
            std::vector<std::string>{BuildFolder() + "/vantoro", "--headless"},
            std::vector<std::string>{
                "XDG_RUNTIME_DIR=" + m_root.Path(), "XDG_STATE_HOME=" + (m_root / "state"),
                "XDG_CONFIG_HOME=" + (m_root / "config"), "TMPDIR=" + (m_root / "tmp"),
                "VANTORO_HOME=" + Home(), "VANTORO_MSGBOX=ok,ok,ok"});
        std::filesystem::create_directories(m_root / "tmp");
        ASSERT_TRUE(m_program->Start());
        ASSERT_TRUE(m_program->WaitForStdoutLine(kWaiting, kStepMs)) << m_program->Stderr();
    }

    void TearDown() override {
        if (!m_program) return;
        m_program->WriteStdin("exit\n");
        EXPECT_EQ(m_program->WaitForExit(kStepMs), 0);
    }

    std::string Home() const { return m_root / "home"; }
    std::string Log() const { return ReadFile(m_root / "state/vantoro/Fax.Log"); }

    // A fax machine calling with `pages`; the telephone takes the call at the first ring unless
    // the program is to answer it.
    std::unique_ptr<ChildProcess> Call(const std::vector<Page>& pages, bool fine,
                                       std::vector<std::string> options) {
        m_sent = pages;
        std::string tiff = m_root / "sent.tif";
        EXPECT_TRUE(WriteTiff(tiff, pages, fine));
        options.insert(options.begin(), {"--fax", tiff});
        return m_modem.Call(options);
    }

    // Files in the fax folder with this extension.
    std::vector<std::string> Stored(const std::string& extension) const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(Home() + "/fax")) {
            if (entry.path().extension() == extension) found.push_back(entry.path());
        }
        return found;
    }

    // The one TIFF stored decodes, page by page, to the first `count` pages sent.
    void ExpectStored(size_t count) {
        std::vector<std::string> tiffs = Stored(".tif");
        ASSERT_EQ(tiffs.size(), 1u);
        std::string problems;
        std::vector<Page> received = ReadTiff(tiffs[0], &problems);
        EXPECT_EQ(problems, "");
        ASSERT_EQ(received.size(), count);
        for (size_t i = 0; i < count; ++i) EXPECT_TRUE(received[i] == m_sent[i]) << "page " << i;
        EXPECT_TRUE(Stored(".raw").empty());
        // Only the next call's raw page file, still empty, is left in the temporary folder.
        std::vector<std::filesystem::path> temporary;
        for (const auto& entry : std::filesystem::directory_iterator(m_root / "tmp"))
            temporary.push_back(entry.path());
        ASSERT_EQ(temporary.size(), 1u);
        EXPECT_EQ(std::filesystem::file_size(temporary[0]), 0u);
    }

    // Waits for `line` on the program's output after the first `from` lines.
    bool WaitAfter(size_t from, const std::string& line, int timeoutMs) {
        long long deadline = MonotonicMs() + timeoutMs;
        while (MonotonicMs() < deadline) {
            std::vector<std::string> lines = m_program->StdoutLines();
            if (std::find(lines.begin() + std::min(from, lines.size()), lines.end(), line) !=
                lines.end())
                return true;
            m_program->WaitForStdoutLine("\x01", 50);
        }
        return false;
    }

    size_t Lines() const { return m_program->StdoutLines().size(); }

    TempFolder m_root;
    ModemHarness m_modem{kRingIntervalMs};
    std::unique_ptr<ChildProcess> m_program;
    std::vector<Page> m_sent;
};

// `wanted` appear in `lines` in this order (other lines may come between them).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    auto at = lines.begin();
    for (const std::string& text : wanted) {
        at = std::find(at, lines.end(), text);
        if (at == lines.end()) return false;
        ++at;
    }
    return true;
}

TEST_F(FaxCallTest, ReceiveFaxOnACallTheTelephoneTookStoresEveryPage) {
    auto caller = Call({SparsePage(120, 1), SparsePage(120, 2), SparsePage(120, 3)}, false,
                       {"--handset-after-rings", "1", "--no-cng"});
    // The rings stop and the offered call ends; the user presses receive-fax.
    size_t from = Lines();
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs)) << m_program->Stdout();
    from = Lines();
    m_program->WriteStdin("receive-fax\n");
    ASSERT_TRUE(WaitAfter(from, "正在应答传真", kStepMs)) << m_program->Stdout();
    m_program->WriteStdin("receive-fax\n");  // ignored while the first runs
    ASSERT_TRUE(WaitAfter(from, kWaiting, kFaxMs)) << m_program->Stdout();
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
    EXPECT_EQ(caller->StdoutLines().back(), "RESULT fax ok pages=3 rate=9600");

    std::vector<std::string> lines = m_program->StdoutLines();
    lines.erase(lines.begin(), lines.begin() + from);
    EXPECT_TRUE(InOrder(
        lines, {"准备接收传真", "正在初始化MODEM", "正在应答传真", "收到DCS帧", "训练序列接收正确",
                "本页接收完毕", "准备接收下一页", "本页接收完毕", "准备接收下一页", "本页接收完毕",
                "收到EOP", "传真接收结束", kSuccess, kWaiting}))
        << m_program->Stdout();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "准备接收传真"), 1) << "second press ran";
    ExpectStored(3);
    std::string log = Log();
    EXPECT_NE(log.find("调制解调器名称: " + m_modem.LinkPath()), std::string::npos) << log;
    for (const std::string& line : lines) {
        if (line == kWaiting) continue;
        EXPECT_NE(log.find("  " + line + "\r\n"), std::string::npos) << line;
    }

    // A press with no call on the line: the session fails before any page, nothing is stored.
    std::filesystem::remove(Stored(".tif")[0]);
    from = Lines();
    m_program->WriteStdin("receive-fax\n");
    ASSERT_TRUE(WaitAfter(from, "接收传真失败", kFaxMs)) << m_program->Stdout();
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs));
    EXPECT_TRUE(std::filesystem::is_empty(Home() + "/fax"));

    // The modem is a voice modem again: the next call is answered at the third ring.
    auto voice = m_modem.Call({"--hangup-after", "1"});
    EXPECT_EQ(voice->WaitForExit(kStepMs), 0);
    EXPECT_EQ(voice->StdoutLines().back(), "RESULT answered rings=3");
}

TEST_F(FaxCallTest, StopDuringAPageKeepsTheCompletedPages) {
    auto caller = Call({SparsePage(150, 1), SparsePage(1500, 2)}, false,
                       {"--handset-after-rings", "1", "--no-cng"});
    size_t from = Lines();
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs));
    from = Lines();
    m_program->WriteStdin("receive-fax\n");
    ASSERT_TRUE(WaitAfter(from, "准备接收下一页", kFaxMs)) << m_program->Stdout();
    size_t secondPage = Lines();
    ASSERT_TRUE(WaitAfter(secondPage, "正在接收页面数据", kStepMs));
    m_program->WriteStdin("stop\n");
    ASSERT_TRUE(WaitAfter(secondPage, "用户取消传真", kStepMs)) << m_program->Stdout();
    std::vector<std::string> lines = m_program->StdoutLines();
    size_t cancelled =
        size_t(std::find(lines.begin() + secondPage, lines.end(), "用户取消传真") - lines.begin());
    ASSERT_TRUE(WaitAfter(cancelled, kWaiting, kStepMs));
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
    ExpectStored(1);
}

TEST_F(FaxCallTest, AFailedConversionKeepsTheRawPageFile) {
    auto caller = Call({SparsePage(150, 4)}, true, {"--handset-after-rings", "1", "--no-cng"});
    size_t from = Lines();
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs));
    from = Lines();
    m_program->WriteStdin("receive-fax\n");
    ASSERT_TRUE(WaitAfter(from, "收到EOP", kFaxMs)) << m_program->Stdout();
    // Folders in the way of every TIFF name of the next seconds: the writer cannot create it.
    time_t now = time(nullptr);
    for (time_t t = now; t < now + 15; ++t) {
        tm local{};
        localtime_r(&t, &local);
        char name[64];
        strftime(name, sizeof name, "%Y年%m月%d日%H时%M分%S秒.tif", &local);
        std::filesystem::create_directory(Home() + "/fax/" + name);
    }
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs)) << m_program->Stdout();
    std::vector<std::string> kept = Stored(".raw");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(Log().find("原始页面文件保存为: " + kept[0]), std::string::npos) << Log();
    std::string rescued = m_root / "rescued.tif";
    ASSERT_EQ(
        system((BuildFolder() + "/vantoro-rawtotiff '" + kept[0] + "' '" + rescued + "' >/dev/null")
                   .c_str()),
        0);
    std::string problems;
    std::vector<Page> pages = ReadTiff(rescued, &problems);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_TRUE(pages[0] == m_sent[0]);
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
}

}  // namespace

// Fax calls end to end: the headless program on the real line library and a virtual modem, with
// spandsp's fax machine calling; the stored TIFF read back with libtiff.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>

#include "tests/support/child_process.h"
#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

namespace fs = std::filesystem;

constexpr int kStepMs = kProgramStepMs;
constexpr int kFaxMs = 120000;
const std::string kWaiting = kWaitingLine;

class FaxCallTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_modem.Start());
        m_harness.UseModem(m_modem.LinkPath());
        m_harness.SetRings(3, 1);
        m_program = m_harness.Start();
        ASSERT_TRUE(m_program->WaitForStdoutLine(kWaiting, kStepMs)) << m_program->Stderr();
    }
    void TearDown() override { EXPECT_EQ(ProgramHarness::Exit(*m_program), 0); }

    // A fax machine without calling tone that the user takes on the telephone at the first ring;
    // once the program waits again, the user presses receive-fax. `from`: the first line after.
    std::unique_ptr<ChildProcess> FaxByButton(const std::vector<Page>& pages, bool fine,
                                              size_t& from) {
        m_sent = pages;
        EXPECT_TRUE(WriteTiff(m_root / "sent.tif", pages, fine));
        const size_t before = Lines();
        auto caller =
            m_modem.Call({"--fax", m_root / "sent.tif", "--handset-after-rings", "1", "--no-cng"});
        EXPECT_TRUE(WaitAfter(before, kWaiting, kStepMs));
        from = Lines();
        m_program->WriteStdin("receive-fax\n");
        return caller;
    }

    // The one TIFF stored decodes to the first `count` pages sent, and is then removed; no raw
    // page file is left but the next call's, still empty.
    void ExpectStored(size_t count) {
        std::vector<std::string> tiffs = m_harness.Files("fax", ".tif");
        ASSERT_EQ(tiffs.size(), 1u);
        DecodedTiff decoded = ReadTiff(tiffs[0]);
        const std::vector<Page>& received = decoded.pages;
        EXPECT_EQ(decoded.problems, "");
        ASSERT_EQ(received.size(), count);
        for (size_t i = 0; i < count; ++i) EXPECT_TRUE(received[i] == m_sent[i]) << "page " << i;
        fs::remove(tiffs[0]);
        EXPECT_TRUE(fs::is_empty(m_home + "/fax"));
        auto temporary = fs::directory_iterator(m_harness.Temp());
        ASSERT_NE(temporary, fs::directory_iterator());
        EXPECT_EQ(fs::file_size(temporary->path()), 0u);
        EXPECT_EQ(++temporary, fs::directory_iterator());
    }

    bool WaitAfter(size_t from, const std::string& line, int timeoutMs) {
        return m_program->WaitForStdoutLine(line, timeoutMs, from);
    }
    size_t Lines() const { return m_program->StdoutLines().size(); }
    std::string Log() const { return m_harness.Log(); }

    ProgramHarness m_harness;
    const TempFolder& m_root = m_harness.Root();
    std::string m_home = m_harness.Home();
    ModemHarness m_modem{600};
    std::unique_ptr<ChildProcess> m_program;
    std::vector<Page> m_sent;
};

// `wanted` appear in `lines` in this order, other lines between them.
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    auto at = lines.begin();
    for (const std::string& text : wanted) {
        at = std::find(at, lines.end(), text);
        if (at++ == lines.end()) return false;
    }
    return true;
}

TEST_F(FaxCallTest, ReceiveFaxOnCallsTheTelephoneTookStoresStopsAndKeepsRawPages) {
    size_t from = 0;
    auto caller =
        FaxByButton({SparsePage(120, 1), SparsePage(120, 2), SparsePage(120, 3)}, false, from);
    ASSERT_TRUE(WaitAfter(from, "正在应答传真", kStepMs)) << m_program->Stdout();
    m_program->WriteStdin("receive-fax\n");  // ignored while the first runs
    ASSERT_TRUE(WaitAfter(from, kWaiting, kFaxMs)) << m_program->Stdout();
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
    EXPECT_EQ(caller->StdoutLines().back(), "RESULT fax ok pages=3 rate=9600 ecm=0 coding=MH");
    std::vector<std::string> lines = m_program->StdoutLines();
    lines.erase(lines.begin(), lines.begin() + from);
    EXPECT_TRUE(InOrder(
        lines, {"准备接收传真", "正在初始化MODEM", "正在应答传真", "收到DCS帧", "训练序列接收正确",
                "本页接收完毕", "准备接收下一页", "本页接收完毕", "准备接收下一页", "本页接收完毕",
                "收到EOP", "传真接收结束", "接收传真成功", kWaiting}))
        << m_program->Stdout();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "准备接收传真"), 1) << "second press ran";
    ExpectStored(3);
    std::string log = Log();
    EXPECT_NE(log.find("调制解调器名称: " + m_modem.LinkPath()), std::string::npos) << log;
    EXPECT_EQ(log.find("接收传真信号"), std::string::npos) << "--no-cng sent a calling tone";
    for (const std::string& line : lines)
        EXPECT_TRUE(line == kWaiting || log.find("  " + line + "\r\n") != std::string::npos)
            << line;

    // A press with no call on the line: the session ends before any page; nothing is stored.
    from = Lines();
    m_program->WriteStdin("receive-fax\n");
    ASSERT_TRUE(WaitAfter(from, "接收传真失败", kFaxMs)) << m_program->Stdout();
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs));
    EXPECT_TRUE(fs::is_empty(m_home + "/fax"));

    // Stop during the second page: "用户取消传真", and the first page is stored.
    caller = FaxByButton({SparsePage(150, 4), SparsePage(1500, 5)}, true, from);
    from = m_program->WaitForStdoutLineIndex("准备接收下一页", kFaxMs, from);
    ASSERT_NE(from, std::string::npos) << m_program->Stdout();
    ASSERT_TRUE(WaitAfter(from, "正在接收页面数据", kStepMs));
    m_program->WriteStdin("stop\n");
    // The stop opens the line again at once; the line waits again once more after the pages
    // are stored.
    const size_t reopened = m_program->WaitForStdoutLineIndex(kWaiting, kStepMs, from);
    ASSERT_NE(reopened, std::string::npos) << m_program->Stdout();
    ASSERT_TRUE(WaitAfter(from, "用户取消传真", kStepMs)) << m_program->Stdout();
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
    ASSERT_EQ(m_harness.WaitForFiles("fax", ".tif", 1, kStepMs).size(), 1u) << Log();
    ASSERT_TRUE(WaitAfter(reopened + 1, kWaiting, kStepMs)) << m_program->Stdout();
    ExpectStored(1);

    // A failed conversion (a folder in the way of each TIFF name of the coming seconds) keeps the
    // raw page file beside, and vantoro-rawtotiff can still turn it into the page sent.
    caller = FaxByButton({SparsePage(150, 6)}, false, from);
    ASSERT_TRUE(WaitAfter(from, "收到EOP", kFaxMs)) << m_program->Stdout();
    for (time_t t = time(nullptr), end = t + 15; t < end; ++t) {
        char name[64];
        tm local{};
        strftime(name, sizeof name, "%Y年%m月%d日%H时%M分%S秒.tif", localtime_r(&t, &local));
        fs::create_directory(m_home + "/fax/" + name);
    }
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs)) << m_program->Stdout();
    std::vector<std::string> kept = m_harness.Files("fax", ".raw");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(Log().find("原始页面文件保存为: " + kept[0]), std::string::npos) << Log();
    std::string rescued = m_root / "rescued.tif";
    ASSERT_EQ(system((ToolPath("vantoro-rawtotiff") + " '" + kept[0] + "' " + rescued).c_str()), 0);
    DecodedTiff decoded = ReadTiff(rescued);
    EXPECT_EQ(decoded.pages, std::vector<Page>{m_sent[0]}) << decoded.problems;
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);

    // The modem is a voice modem again: the next call is answered at the third ring.
    caller = m_modem.Call({"--hangup-after", "1"});
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
    EXPECT_EQ(caller->StdoutLines().back(), "RESULT answered rings=3");
}

TEST_F(FaxCallTest, FaxMachinesAreKnownByTheirToneInsideTheWindowOnly) {
    m_harness.SetRings(1, 1);
    m_sent = {SparsePage(150, 7)};
    ASSERT_TRUE(WriteTiff(m_root / "sent.tif", m_sent, true));
    size_t from = Lines();
    auto caller = m_modem.Call({"--fax", m_root / "sent.tif"});
    ASSERT_TRUE(WaitAfter(from, "正在播放欢迎词", kStepMs)) << m_program->Stdout();
    long long greeting = MonotonicMs();
    ASSERT_TRUE(WaitAfter(from, "准备接收传真", kStepMs)) << m_program->Stdout();
    EXPECT_LT(MonotonicMs() - greeting, 6000) << "the tone did not end the 7.5 s greeting";
    ASSERT_EQ(m_harness.WaitForFiles("fax", ".tif", 1, kFaxMs).size(), 1u) << m_program->Stdout();
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs));
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
    ExpectStored(1);
    EXPECT_EQ(Count(Log(), "接收传真信号"), 1);

    // A tone after the window is only logged; the recording goes on until the caller hangs up.
    // With a 1 s greeting the window ends 6.1 s after the answer, the recording begins at 7.6 s.
    ASSERT_TRUE(m_harness.UseShortGreeting());
    from = Lines();
    caller =
        m_modem.Call({"--fax", m_root / "sent.tif", "--cng-after", "11", "--hangup-after", "22"});
    ASSERT_TRUE(WaitAfter(from, "正在录制留言", kStepMs + 10000)) << m_program->Stdout();
    ASSERT_TRUE(WaitAfter(from, "对方已经挂机", kStepMs + 30000)) << m_program->Stdout();
    EXPECT_FALSE(WaitAfter(from, "准备接收传真", 1));
    EXPECT_EQ(Count(Log(), "接收传真信号"), 2);
    const std::vector<std::string> wavs = m_harness.WaitForFiles("wav", ".wav", 1, kStepMs);
    ASSERT_EQ(wavs.size(), 1u) << Log();
    EXPECT_GT(fs::file_size(wavs[0]), 8000u * 2 * 12) << "less than 12 s recorded";
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
}

}  // namespace

// Over a noisy line the program stores a page every viewer reads, and logs the rows it repaired.
TEST_F(FaxCallTest, NoisyLinePageIsRepairedAndTheRepairLogged) {
    const Page sent = SparsePage(1100, 7);
    ASSERT_TRUE(WriteTiff(m_root / "sent.tif", {sent}, false));
    const size_t from = Lines();
    auto caller = m_modem.Call({"--fax", m_root / "sent.tif", "--snr", "15"});
    const std::vector<std::string> tiffs = m_harness.WaitForFiles("fax", ".tif", 1, kFaxMs);
    ASSERT_EQ(tiffs.size(), 1u) << m_program->Stdout();
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs));
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
    // At 7200 bit/s noise spoils some rows for sure; the sender may also have fallen back to a
    // rate that 15 dB leaves clean.
    const std::string log = Log();
    const size_t at = log.find("  第1页修复了");
    if (caller->StdoutLines().back() == "RESULT fax ok pages=1 rate=7200 ecm=0 coding=MH") {
        ASSERT_NE(at, std::string::npos) << log;
    }
    if (at != std::string::npos) {
        EXPECT_TRUE(std::regex_match(log.substr(at, log.find('\r', at) - at),
                                     std::regex("  第1页修复了[1-9][0-9]*行")))
            << log;
    }
    DecodedTiff decoded = ReadTiff(tiffs[0]);
    EXPECT_EQ(decoded.problems, "");
    EXPECT_LE(DifferingPixels(decoded.pages.at(0), sent) * 400, sent.size() * kPageWidth);
}

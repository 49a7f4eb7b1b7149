// What a user meets at the edges, end to end on the virtual modem: exit and receive-fax in the
// middle of a call, greetings the line cannot play, a wav folder that cannot be written.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "tests/support/clock.h"
#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

namespace fs = std::filesystem;

constexpr int kStepMs = kProgramStepMs;
constexpr int kFaxMs = 150000;
const std::string kRecording = "正在录制留言";

class MendsTest : public ::testing::Test {
protected:
    void Start(int minutes = 5) {
        ASSERT_TRUE(m_modem.Start());
        m_harness.UseModem(m_modem.LinkPath());
        m_harness.SetRings(1, minutes);
        m_program = m_harness.Start();
        ASSERT_TRUE(m_program->WaitForStdoutLine(kWaitingLine, kStepMs)) << m_program->Stderr();
    }
    std::unique_ptr<ChildProcess> SendFax(const std::vector<Page>& pages,
                                          std::vector<std::string> args) {
        m_sent = pages;
        EXPECT_TRUE(WriteTiff(m_harness.Root() / "sent.tif", pages, false));
        args.insert(args.begin(), {"--fax", m_harness.Root() / "sent.tif"});
        return m_modem.Call(args);
    }
    bool After(size_t from, const std::string& line, int ms) {
        return m_program->WaitForStdoutLine(line, ms, from);
    }
    size_t Lines() const { return m_program->StdoutLines().size(); }
    void ExpectFax(size_t pages) {
        std::vector<std::string> tiffs = m_harness.Files("fax", ".tif");
        ASSERT_EQ(tiffs.size(), 1u) << m_harness.Log();
        DecodedTiff decoded = ReadTiff(tiffs[0]);
        EXPECT_EQ(decoded.problems, "");
        EXPECT_EQ(decoded.pages, std::vector<Page>(m_sent.begin(), m_sent.begin() + pages));
    }

    ProgramHarness m_harness;
    ModemHarness m_modem{500};
    std::unique_ptr<ChildProcess> m_program;
    std::vector<Page> m_sent;
};

// SIGTERM (as the exit button, the tray menu and a logout) during page 2 ends the reception as
// stop does: page 1 is stored, and the program is gone within seconds. The calling tone starts
// after the greeting, so the modem reports it between playing and recording.
TEST_F(MendsTest, ExitDuringPageTwoStoresPageOne) {
    Start();
    auto caller = SendFax({SparsePage(150, 1), SparsePage(1500, 2)}, {"--cng-after", "9"});
    const size_t nextPage = m_program->WaitForStdoutLineIndex("准备接收下一页", kFaxMs);
    ASSERT_NE(nextPage, std::string::npos) << m_program->Stdout();
    ASSERT_TRUE(After(nextPage, "正在接收页面数据", kStepMs)) << m_program->Stdout();
    const long long asked = MonotonicMs();
    EXPECT_EQ(m_program->Stop(kStepMs), 0);
    EXPECT_LT(MonotonicMs() - asked, 5000);
    ExpectFax(1);
    EXPECT_TRUE(fs::is_empty(m_harness.Temp()));
}

// The press ends the recording (kept) and its time limit: the 10 s limit (through the test hook)
// would have hung up during the fax.
TEST_F(MendsTest, ReceiveFaxDuringARecordingOutlivesItsTimeLimit) {
    constexpr int kLimitS = 10;
    m_harness.SetRecordLimitS(kLimitS);
    ASSERT_TRUE(m_harness.UseShortGreeting());
    Start(1);
    const size_t from = Lines();
    auto caller = SendFax({SparsePage(150, 3), SparsePage(600, 4)}, {"--no-cng"});
    ASSERT_TRUE(After(from, kRecording, kStepMs + 10000)) << m_program->Stdout();
    const long long recording = MonotonicMs();
    m_program->WriteStdin("receive-fax\n");
    ASSERT_EQ(m_harness.WaitForFiles("fax", ".tif", 1, kFaxMs).size(), 1u) << m_program->Stdout();
    EXPECT_GT(MonotonicMs() - recording, (kLimitS + 5) * 1000)
        << "the fax ended before the limit's time";
    EXPECT_TRUE(After(from, "接收传真成功", kStepMs));
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
    ASSERT_TRUE(After(from, kWaitingLine, kStepMs));
    ExpectFax(2);
    // The fax machine was silent until the press: nothing of a message to keep.
    EXPECT_EQ(m_harness.Files("wav").size(), 0u);
    EXPECT_EQ(ProgramHarness::Exit(*m_program), 0);
}

// A 44.1 kHz stereo file and a FIFO: the caller hears the built-in greeting, and one log line
// names the file and why.
TEST_F(MendsTest, GreetingsTheLineCannotPlayGiveTheBuiltInOne) {
    Start();
    const std::string welcome = m_harness.Home() + "/welcome.wav";
    ASSERT_EQ(system(("sox -n -r 44100 -c 2 '" + welcome + "' synth 3 sine 300").c_str()), 0);
    for (int call = 1; call <= 2; ++call) {
        const std::string heard = m_harness.Root() / "heard.wav";
        auto caller = m_modem.Call({"--record", heard, "--hangup-after", "8"});
        EXPECT_EQ(caller->WaitForExit(30000), 0);
        EXPECT_GT(Rms(ReadSamples(heard), 0.5, 4.5), 1000) << "call " << call << ": no greeting";
        const std::string log = m_harness.Log();
        EXPECT_EQ(Count(log, welcome + " 无法播放"), size_t(call)) << log;
        if (call == 2) break;
        fs::remove(welcome);
        ASSERT_EQ(mkfifo(welcome.c_str(), 0600), 0);
    }
    EXPECT_NE(m_harness.Log().find("不是普通文件"), std::string::npos);
    EXPECT_EQ(ProgramHarness::Exit(*m_program), 0);
}

// No room for a message (a file size limit of 0): the write error on each call, no file and no
// claim to record; once there is room again the next message is recorded.
TEST_F(MendsTest, AWavFolderThatCannotBeWrittenIsReportedOnEveryCall) {
    std::signal(SIGXFSZ, SIG_IGN);  // inherited, so a program that does not ignore it lives on
    const std::string speech = m_harness.Root() / "speech.wav";
    ASSERT_TRUE(WriteSpeechWav(speech));
    ASSERT_TRUE(m_harness.UseShortGreeting());  // recording begins about 7.6 s after the answer
    Start();
    rlimit room{};
    ASSERT_EQ(prlimit(m_program->Pid(), RLIMIT_FSIZE, nullptr, &room), 0);
    const rlimit none{0, room.rlim_max};
    ASSERT_EQ(prlimit(m_program->Pid(), RLIMIT_FSIZE, &none, nullptr), 0);
    for (int call = 1; call <= 3; ++call) {
        // The box of a call comes just after it waits again: counted at the next one.
        const auto boxes = [&] { return Count(m_program->Stderr(), "Unable to write to file"); };
        m_program->WaitUntil([&] { return boxes() >= size_t(call - 1); }, kStepMs);
        EXPECT_EQ(boxes(), size_t(call - 1));
        if (call == 3) {
            ASSERT_EQ(prlimit(m_program->Pid(), RLIMIT_FSIZE, &room, nullptr), 0);
        }
        const size_t from = Lines();
        auto caller = m_modem.Call({"--say", speech, "--say-after", "9", "--hangup-after", "12"});
        EXPECT_EQ(caller->WaitForExit(30000), 0);
        ASSERT_TRUE(After(from, kWaitingLine, kStepMs));
        EXPECT_EQ(After(from, kRecording, 1), call == 3) << call;
        EXPECT_EQ(m_harness.Files("wav").size(), call == 3 ? 1u : 0u);
    }
    EXPECT_EQ(Count(m_program->Stderr(), "Unable to write to file"), 2u);
    EXPECT_GT(fs::file_size(m_harness.Files("wav")[0]), 8000u * 2);
    EXPECT_EQ(ProgramHarness::Exit(*m_program), 0);
}

}  // namespace

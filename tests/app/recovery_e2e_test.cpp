// After a fax taken in the middle of the greeting, and after the modem went away in the middle of
// a message, the next caller's words still end up in a message: the headless program on the real
// line library and a virtual modem. A SIP line that cannot start is shown until it can.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>

#include "tests/support/child_process.h"
#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr int kStepMs = kProgramStepMs;
constexpr int kFaxMs = 120000;
constexpr int kRate = 8000;
constexpr int kWordsHz = 700;
const std::string kWaiting = kWaitingLine;

class RecoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_modem.Start());
        m_harness.UseModem(m_modem.LinkPath());
        m_harness.SetRings(1, 1);
        ASSERT_TRUE(WriteToneWav(m_words, 3, kWordsHz));
        m_program = m_harness.Start();
        ASSERT_TRUE(m_program->WaitForStdoutLine(kWaiting, kStepMs)) << m_program->Stderr();
    }
    void TearDown() override { EXPECT_EQ(ProgramHarness::Exit(*m_program), 0); }

    size_t Lines() const { return m_program->StdoutLines().size(); }

    // The caller says 3 s of tone 9 s after the answer: after the 1 s greeting, the fax window
    // and the tone, so all of it belongs in the new message.
    void ExpectNextMessageHoldsTheWords() {
        const size_t messages = m_harness.Files("wav").size(), from = Lines();
        auto caller = m_modem.Call({"--say", m_words, "--say-after", "9", "--hangup-after", "14"});
        EXPECT_EQ(caller->WaitForExit(60000), 0) << caller->Stderr();
        std::vector<std::string> files =
            m_harness.WaitForFiles("wav", ".wav", messages + 1, kStepMs);
        ASSERT_EQ(files.size(), messages + 1) << m_program->Stdout();
        ASSERT_TRUE(m_program->WaitForStdoutLine(kWaiting, kStepMs, from)) << m_program->Stdout();
        EXPECT_NEAR(FindTone(ReadSamples(files.back()), kWordsHz).seconds, 3.0, 0.3)
            << m_harness.Log();
    }

    ProgramHarness m_harness;
    const std::string m_words = m_harness.Root() / "words.wav";
    ModemHarness m_modem{600};
    std::unique_ptr<ChildProcess> m_program;
};

// Receive-fax pressed 4.5 s into the greeting (the blocks cut off by the hand-over kept every
// later greeting from ending), then the modem lost 5 s into a message and back (the recorder
// stayed flagged as capturing): each is followed by a caller whose words must be recorded, and
// the words said before the loss are kept.
TEST_F(RecoveryTest, FaxPressedInTheGreetingAndAModemLostInAMessageLeaveLaterMessagesRecorded) {
    const std::string sent = m_harness.Root() / "sent.tif";
    ASSERT_TRUE(WriteTiff(sent, {SparsePage(120, 1)}, false));
    size_t from = Lines();
    auto caller = m_modem.Call({"--fax", sent, "--no-cng"});
    ASSERT_TRUE(m_program->WaitForStdoutLine("正在播放欢迎词", kStepMs, from));
    usleep(4500000);
    m_program->WriteStdin("receive-fax\n");
    EXPECT_EQ(m_harness.WaitForFiles("fax", ".tif", 1, kFaxMs).size(), 1u) << m_program->Stdout();
    EXPECT_TRUE(m_program->WaitForStdoutLine("接收传真成功", kStepMs, from));
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
    ASSERT_TRUE(m_program->WaitForStdoutLine(kWaiting, kStepMs, from)) << m_program->Stdout();
    // The built-in greeting was the one cut off; later greetings may be short.
    ASSERT_TRUE(m_harness.UseShortGreeting());
    ExpectNextMessageHoldsTheWords();

    from = Lines();
    caller = m_modem.Call({"--say", m_words, "--say-after", "8.5", "--hangup-after", "60"});
    ASSERT_TRUE(m_program->WaitForStdoutLine("正在录制留言", kStepMs + 10000, from));
    usleep(5000000);
    ASSERT_EQ(m_modem.Process().Stop(kStepMs), 0);
    ASSERT_TRUE(m_program->WaitForStdoutLine("线路中断，正在重新打开...", kStepMs, from));
    caller->WaitForExit(kStepMs);
    from = Lines();
    ASSERT_TRUE(m_modem.Start());
    ASSERT_TRUE(m_program->WaitForStdoutLine(kWaiting, kStepMs, from));
    const std::vector<std::string> kept = m_harness.WaitForFiles("wav", ".wav", 2, kStepMs);
    ASSERT_EQ(kept.size(), 2u) << m_harness.Log();
    EXPECT_NEAR(FindTone(ReadSamples(kept.back()), kWordsHz).seconds, 3.0, 0.3);
    ExpectNextMessageHoldsTheWords();
}

// The program beside its own soft modem and a stand-in SIP bridge that, as its mode file says,
// refuses its configuration (status 78 and its reason, as the bridge does), ends at once for
// another reason, or runs: the window and the log say why no call can come, at once for the
// first, after three quick ends for the second, and the program waits for calls again once the
// bridge runs. Without XDG_RUNTIME_DIR, a folder of the temporary folder that others may write to
// holds neither the socket nor the link.
TEST(SoftLineServiceTest, ABridgeThatCannotStartIsShownUntilItRuns) {
    ProgramHarness harness;
    const std::string bin = harness.Root() / "bin", bridge = bin + "/vantoro-sipline";
    std::filesystem::create_directory(bin);
    for (const char* part : {"vantoro", "libtapi32.so", "vantoro-vmodem"}) {
        std::error_code linked;
        std::filesystem::create_hard_link(BuildFolder() + "/" + part, bin + "/" + part, linked);
        if (linked) std::filesystem::copy_file(BuildFolder() + "/" + part, bin + "/" + part);
    }
    WriteFile(
        bridge,
        "#!/bin/sh\necho \"$@\" >>\"$0.args\"\ncase \"$(cat \"$0.mode\")\" in\n"
        "78) echo 'vantoro-sipline: password= is refused; use password-file=' >&2; exit 78;;\n"
        "1) echo 'vantoro-sipline: listen: Address already in use' >&2; exit 1;;\n"
        "esac\nexec sleep 600\n");
    chmod(bridge.c_str(), 0755);
    WriteFile(bridge + ".mode", "78");
    WriteFile(harness.Root() / "config/vantoro/line.ini", "[sip]\naccount=sip:alice@127.0.0.1:9\n");
    const std::string shared = harness.Temp() + "/vantoro-" + std::to_string(getuid());
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    chmod(shared.c_str(), 0777);

    auto program = harness.Start({"XDG_RUNTIME_DIR="}, {bin + "/vantoro", "--headless"});
    const std::string refused =
        "线路不可用：the SIP line cannot start: password= is refused; use password-file=";
    const std::string ending =
        "线路不可用：the SIP line cannot start: it ends soon after each start (exit status 1): "
        "listen: Address already in use";
    ASSERT_TRUE(program->WaitForStdoutLine(refused, kStepMs))
        << program->Stdout() << program->Stderr();
    WriteFile(bridge + ".mode", "1");
    ASSERT_TRUE(program->WaitForStdoutLine(ending, 20000)) << program->Stdout();
    WriteFile(bridge + ".mode", "");
    ASSERT_TRUE(program->WaitForStdoutLine(kWaiting, 30000, program->StdoutLines().size()))
        << program->Stdout() << program->Stderr();
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);

    // Status lines alone: the soft modem's own words go to standard error.
    EXPECT_EQ(program->Stdout().find("vantoro-vmodem"), std::string::npos) << program->Stdout();
    const std::string log = harness.Log();
    EXPECT_EQ(Count(log, refused), 1u) << log;
    EXPECT_GT(log.find(ending), log.find(refused)) << log;
    EXPECT_GT(log.find("线路已恢复"), log.find(ending)) << log;
    const std::string args = ReadFile(bridge + ".args");
    const size_t socket = args.find("--socket ") + 9;
    const std::string folder = args.substr(socket, args.find("/vantoro-softline.sock") - socket);
    EXPECT_EQ(folder.rfind(shared + "."), 0u) << args;
    struct stat info {};
    ASSERT_EQ(lstat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode) && (info.st_mode & 0777) == 0700);
    EXPECT_EQ(std::filesystem::is_empty(shared), true);
}

}  // namespace

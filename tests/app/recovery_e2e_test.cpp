// After a fax taken in the middle of the greeting, and after the modem went away in the middle of
// a message, the next caller's words still end up in a message: the headless program on the real
// line library and a virtual modem.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
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

}  // namespace

// What the program keeps of each call end to end on the virtual modem: no empty messages, calls.tsv
// across a restart, and callers in [block] hung up unheard.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr int kRingIntervalMs = 600;
constexpr char kIni[] =
    "[vantoro]\nring=2\ntime=1\n[block]\n; no sales calls\nnumbers=030 1234, 555*  ;prefix\n"
    "unknown=block\n";

std::vector<std::vector<std::string>> Rows(const std::string& tsv) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(tsv);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
        if (!line.empty() && line.back() == '\t') fields.emplace_back();
        rows.push_back(fields);
    }
    return rows;
}

class MessagesTest : public ::testing::Test {
protected:
    explicit MessagesTest(const char* hangupTone = "busy")
        : m_modem(kRingIntervalMs, {"--personality", "cx93010", "--hangup-tone", hangupTone}) {}
    void SetUp() override {
        ASSERT_TRUE(m_modem.Start());
        m_harness.UseModem(m_modem.LinkPath(), "ring-timeout-ms=3000\n");
        ASSERT_TRUE(m_harness.UseShortGreeting());
        m_speech = m_harness.Root() / "speech.wav";
        ASSERT_TRUE(WriteSpeechWav(m_speech));
    }
    // Places a call once the line is open for it; the caller's result line and its run time.
    std::string Call(std::vector<std::string> args, double* seconds = nullptr) {
        EXPECT_TRUE(m_harness.WaitForLog("正在等待呼叫", kProgramStepMs, m_logFrom));
        const auto started = std::chrono::steady_clock::now();
        auto caller = m_modem.Call(std::move(args));
        EXPECT_EQ(caller->WaitForExit(120000), 0) << caller->Stderr();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        if (seconds) *seconds = took.count();
        // The next call waits for the line opened after this one.
        m_logFrom = m_harness.LogSize();
        const auto lines = caller->StdoutLines();
        return lines.empty() ? std::string() : lines.back();
    }
    void ExpectOnlyTheRealMessageKept();
    std::string CallsTsv() const { return ReadFile(m_harness.Home() + "/calls.tsv"); }

    ModemHarness m_modem;
    ProgramHarness m_harness;
    std::string m_speech;
    size_t m_logFrom = 0;
};

// A message, a fax and a caller who gave up, then after a restart a blocked number and a withheld
// one: calls.tsv holds the five in order, the blocked ones hung up at once and leave nothing.
TEST_F(MessagesTest, CallLogLastsAcrossARestartAndBlockedCallersAreHungUpAtOnce) {
    m_harness.SetRings(2, 1);
    m_harness.SetFaxWindowMs(1000);
    auto program = m_harness.Start();
    Call({"--number", "5551234", "--say", m_speech, "--say-after", "4", "--hangup-after", "8"});
    ASSERT_EQ(m_harness.WaitForFiles("wav", ".wav", 1, kProgramStepMs).size(), 1u);
    ASSERT_TRUE(WriteTiff(m_harness.Root() / "page.tif", {SparsePage(100, 1)}, false));
    Call({"--number", "7770", "--fax", m_harness.Root() / "page.tif"});
    ASSERT_EQ(m_harness.WaitForFiles("fax", ".tif", 1, 60000).size(), 1u);
    EXPECT_EQ(Call({"--number", "7771", "--give-up-after-rings", "1"}),
              "RESULT unanswered rings=1");
    ASSERT_TRUE(m_harness.WaitForLog("等待呼叫", kProgramStepMs, m_logFrom));
    // A headless user reads the inbox beside the running copy, which opens no sound device.
    auto list = m_harness.Start({}, {m_harness.Program(), "--list"});
    EXPECT_EQ(list->WaitForExit(kProgramStepMs), 0) << list->Stderr();
    const std::vector<std::string> items = list->StdoutLines();
    ASSERT_EQ(items.size(), 2u) << list->Stdout();
    EXPECT_NE(items[0].find("\t7770\tfax\t1\tnew\tfax/"), std::string::npos) << items[0];
    EXPECT_NE(items[1].find("\t5551234\tmessage\t"), std::string::npos) << items[1];
    EXPECT_EQ(Count(m_harness.Log(), "无法打开声音输出"), 0u);
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);

    WriteFile(m_harness.Home() + "/vantoro.ini", kIni);
    // The log begins afresh at every start: the next call waits for the new one's line.
    std::filesystem::remove(m_harness.Root() / "state/vantoro/Fax.Log");
    m_logFrom = 0;
    program = m_harness.Start();
    double blockedS = 0, withheldS = 0;
    EXPECT_EQ(
        Call({"--number", "5559", "--hangup-after", "30"}, &blockedS).rfind("RESULT answered"), 0u);
    EXPECT_EQ(Call({"--hangup-after", "30"}, &withheldS).rfind("RESULT answered"), 0u);
    ASSERT_TRUE(m_harness.WaitForLog("等待呼叫", kProgramStepMs, m_logFrom));
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
    // Hung up by the program long before the caller's 30 s: the number comes with the first two
    // rings, and so does the knowledge that there is none.
    EXPECT_LT(blockedS, 2.0 + kRingIntervalMs / 1000.0);
    EXPECT_LT(withheldS, 2.0 + 2 * kRingIntervalMs / 1000.0);

    EXPECT_EQ(m_harness.Files("wav").size(), 1u);
    std::string kept = kIni;
    kept.insert(kept.find("[block]"), "skin=1\n");
    EXPECT_EQ(ReadFile(m_harness.Home() + "/vantoro.ini"), kept);
    const auto rows = Rows(CallsTsv());
    ASSERT_EQ(rows.size(), 6u) << CallsTsv();
    EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "caller", "outcome", "length", "file"}));
    const std::string wav = m_harness.Files("wav")[0], tif = m_harness.Files("fax")[0];
    const std::vector<std::vector<std::string>> expected = {
        {"5551234", "message", "", "wav/" + std::filesystem::path(wav).filename().string()},
        {"7770", "fax", "1", "fax/" + std::filesystem::path(tif).filename().string()},
        {"7771", "unanswered", "", ""},
        {"5559", "blocked", "", ""},
        {"", "blocked", "", ""}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& row = rows[i + 1];
        ASSERT_EQ(row.size(), 5u) << i;
        EXPECT_EQ(row[0].size(), 19u) << row[0];
        EXPECT_EQ(row[1], expected[i][0]) << m_harness.Log();
        EXPECT_EQ(row[2], expected[i][1]);
        if (i != 0) {
            EXPECT_EQ(row[3], expected[i][2]);
        }
        EXPECT_EQ(row[4], expected[i][3]);
    }
    EXPECT_LE(rows[1][0], rows[5][0]);
    // Recording from about 3 s after the answer, speech from 4 s for 1.5 s, cut where it ended.
    EXPECT_GE(std::stoi(rows[1][3]), 2);
    EXPECT_LE(std::stoi(rows[1][3]), 3);
}

// The caller hangs up in the greeting, on a line that tells it by busy tone or by silence: no
// file, no command run, a log line and a no-message row. A message with a 6 s pause is kept
// whole, and its command runs.
void MessagesTest::ExpectOnlyTheRealMessageKept() {
    ProgramHarness& harness = m_harness;
    const std::string& speech = m_speech;
    const std::string hook = harness.Root() / "hook";
    WriteFile(hook, "#!/bin/sh\necho \"$VANTORO_KIND $VANTORO_FILE\" >>\"$0.out\"\n");
    std::filesystem::permissions(hook, std::filesystem::perms::owner_all);
    WriteFile(harness.Home() + "/vantoro.ini",
              "[vantoro]\nring=2\ntime=1\n[notify]\ncommand=" + hook + "\n");
    harness.SetFaxWindowMs(1000);
    const std::string paused = harness.Root() / "paused.wav";
    ASSERT_EQ(std::system(("sox -q " + speech + " " + paused + ".a.wav pad 0 6 && sox -q " +
                           paused + ".a.wav " + speech + " " + paused)
                              .c_str()),
              0);
    const double speechS = double(ReadSamples(speech).size()) / 8000;
    auto program = harness.Start();
    Call({"--number", "5551", "--hangup-after", "0.5"});
    ASSERT_TRUE(harness.WaitForLog("来电者未留言即挂机", 30000)) << harness.Log();
    Call({"--number", "5552", "--say", paused, "--say-after", "4", "--hangup-after",
          std::to_string(4 + 2 * speechS + 6 + 0.5)});
    const auto files = harness.WaitForFiles("wav", ".wav", 1, kProgramStepMs);
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
    ASSERT_EQ(files.size(), 1u) << harness.Log();
    EXPECT_EQ(Count(harness.Log(), "来电者未留言即挂机"), 1u);
    EXPECT_EQ(ReadFile(hook + ".out"), "message " + files[0] + "\n");
    // Both halves of the speech and the pause between them, from about 1 s into the recording,
    // up to where the caller's last word ended: not the 0.5 s before the hang-up, nor the line's
    // busy tone or silence after it.
    const std::vector<int16_t> message = ReadSamples(files[0]);
    EXPECT_GT(Rms(message, 1 + speechS + 6 + 0.2, 1 + speechS + 6 + speechS - 0.2), 300.0);
    const auto [said, saidEnd] = LoudSpan(message);
    const auto [spoke, spokeEnd] = LoudSpan(ReadSamples(paused));
    EXPECT_NEAR(saidEnd - said, spokeEnd - spoke, 0.1) << "the whole of the speech";
    EXPECT_GE(double(message.size()) / 8000 - saidEnd, 0.0);
    EXPECT_LE(double(message.size()) / 8000 - saidEnd, 0.5) << harness.Log();
    const auto rows = Rows(ReadFile(harness.Home() + "/calls.tsv"));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][1] + " " + rows[1][2] + " " + rows[1][4], "5551 no-message ");
    EXPECT_EQ(rows[2][2], "message");
}

TEST_F(MessagesTest, NoMessageWhenTheCallerHangsUpInTheGreetingOnBusyTone) {
    ExpectOnlyTheRealMessageKept();
}

class SilentHangupTest : public MessagesTest {
protected:
    SilentHangupTest() : MessagesTest("silence") {}
};

TEST_F(SilentHangupTest, NoMessageWhenTheCallerHangsUpInTheGreetingOnSilence) {
    ExpectOnlyTheRealMessageKept();
}

}  // namespace

// The program answering SIP calls end to end: sipp and spandsp's fax machine (through a second
// bridge that dials) call vantoro-sipline, which joins them to the soft modem under the headless
// program on the real line library.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "tests/support/child_process.h"
#include "tests/support/fax_pages.h"
#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr int kStepMs = kProgramStepMs;
constexpr int kCallMs = 90000;
constexpr int kRate = 8000;
const std::string kWaiting = kWaitingLine;
const std::string kScenarios = SIPLINE_TEST_DIR;

// A port nobody uses now, for SIP or a sipp media port.
int FreePort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// Seconds of a WAV's 16-bit samples in which a tone of `hz` holds 80 % of the energy (Goertzel
// over 50 ms windows).
double ToneSeconds(const std::string& path, double hz) {
    const std::string bytes = ReadFile(path);
    const size_t data = bytes.find("data");
    if (data == std::string::npos) return 0;
    std::vector<int16_t> s((bytes.size() - data - 8) / 2);
    std::memcpy(s.data(), bytes.data() + data + 8, s.size() * 2);
    const size_t window = kRate / 20;
    const double k = 2 * std::cos(2 * M_PI * hz / kRate);
    double seconds = 0;
    for (size_t at = 0; at + window <= s.size(); at += window) {
        double s1 = 0, s2 = 0, energy = 0;
        for (size_t i = at; i < at + window; ++i) {
            const double s0 = s[i] + k * s1 - s2;
            s2 = s1;
            s1 = s0;
            energy += double(s[i]) * s[i];
        }
        const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
        if (energy > 0 && 2 * power / (double(window) * energy) > 0.8) seconds += 0.05;
    }
    return seconds;
}

class SipLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_modem.Start(false));
        m_harness.UseModem(m_modem.LinkPath());
        m_harness.SetRings(1, 1);
        m_program = m_harness.Start();
        ASSERT_TRUE(m_program->WaitForStdoutLine(kWaiting, kStepMs)) << m_program->Stderr();
        m_bridge = Bridge({"--listen", Sip(), "--socket", m_modem.SocketPath()});
    }
    void TearDown() override {
        EXPECT_EQ(ProgramHarness::Exit(*m_program), 0);
        if (m_bridge->Running()) EXPECT_EQ(m_bridge->Stop(kStepMs), 0) << m_bridge->Stderr();
    }

    std::string Sip() const { return "127.0.0.1:" + std::to_string(m_sipPort); }
    std::unique_ptr<ChildProcess> Bridge(std::vector<std::string> args) {
        const int rtp = FreePort() & ~1;
        args.insert(args.begin(), ToolPath("vantoro-sipline"));
        args.insert(args.end(),
                    {"--rtp-ports", std::to_string(rtp) + "-" + std::to_string(rtp + 9)});
        auto bridge = std::make_unique<ChildProcess>(args);
        EXPECT_TRUE(bridge->Start());
        EXPECT_TRUE(bridge->WaitForStderr("listening on", kStepMs)) << bridge->Stderr();
        return bridge;
    }
    // sipp on a scenario of this folder, its `[name]`s replaced by `values` (sipp takes no
    // keyword in an rtp_stream).
    std::unique_ptr<ChildProcess> Sipp(
        const std::string& scenario,
        const std::vector<std::pair<std::string, std::string>>& values = {}) {
        std::string text = ReadFile(kScenarios + "/" + scenario);
        for (const auto& [name, value] : values) {
            for (size_t at; (at = text.find("[" + name + "]")) != std::string::npos;)
                text.replace(at, name.size() + 2, value);
        }
        WriteFile(m_root / scenario, text);
        // sipp redraws its screen on stdout all the time: a file takes it, not a pipe.
        const std::string command =
            "exec sipp " + Sip() + " -sf " + (m_root / scenario) + " -m 1 -s fax -i 127.0.0.1 -p " +
            std::to_string(FreePort()) + " -mp " + std::to_string(FreePort() & ~1) +
            " -nostdin -timeout 80s -timeout_error >" + (m_root / scenario) + ".out";
        auto sipp =
            std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", command});
        EXPECT_TRUE(sipp->Start());
        return sipp;
    }
    bool WaitAfter(size_t from, const std::string& line, int timeoutMs) {
        return m_program->WaitForStdoutLine(line, timeoutMs, from);
    }
    size_t Lines() const { return m_program->StdoutLines().size(); }

    ModemHarness m_modem{600};
    ProgramHarness m_harness;
    const TempFolder& m_root = m_harness.Root();
    int m_sipPort = FreePort();
    std::unique_ptr<ChildProcess> m_program;
    std::unique_ptr<ChildProcess> m_bridge;
};

// sipp calls with PCMU, then PCMA: the program answers at the first ring, greets, and records
// what sipp streams after the tone; a T.38 offer in the call is refused with 488 and the call
// goes on; a second caller meanwhile gets 486 and never rings the modem.
TEST_F(SipLineTest, SippCallersLeaveTheirMessageInBothLaws) {
    const std::vector<std::string> expected = {"电话机振铃...",  "电话机振铃...", "正在应答呼叫",
                                               "正在播放欢迎词", "正在录制留言",  "对方已经挂机",
                                               kWaiting};
    for (const auto& [pt, law] : {std::pair{"0", "u-law"}, std::pair{"8", "a-law"}}) {
        const std::string wav = m_root / (std::string(law) + ".wav");
        ASSERT_EQ(system(("sox -n -r 8000 -c 1 -e " + std::string(law) + " " + wav +
                          " synth 3 sine 700 vol 0.5")
                             .c_str()),
                  0);
        const size_t from = Lines();
        auto caller = Sipp("caller.xml", {{"pt", pt}, {"wav", wav}});
        ASSERT_TRUE(WaitAfter(from, "正在应答呼叫", kStepMs))
            << m_bridge->Stderr() << caller->Stderr();
        auto second = Sipp("busy.xml");
        EXPECT_EQ(second->WaitForExit(kStepMs), 0) << second->Stdout() << second->Stderr();
        EXPECT_EQ(caller->WaitForExit(kCallMs), 0) << caller->Stdout() << caller->Stderr();
        ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs));
        std::vector<std::string> lines = m_program->StdoutLines();
        EXPECT_EQ(std::vector<std::string>(lines.begin() + long(from), lines.end()), expected);
    }
    std::vector<std::string> messages = m_harness.Files("wav");
    ASSERT_EQ(messages.size(), 2u);
    for (const std::string& message : messages) EXPECT_NEAR(ToneSeconds(message, 700), 3.0, 0.2);
    ASSERT_EQ(m_bridge->Stop(kStepMs), 0);
    const std::string log = m_bridge->Stderr();
    EXPECT_NE(log.find("number '5550123'"), std::string::npos) << log;
    EXPECT_EQ(log.find("number '5550999'"), std::string::npos) << "the second caller rang";
    EXPECT_NE(log.find("refused a new offer (T.38 only)"), std::string::npos) << log;
}

// spandsp's fax machine calls through a bridge that dials: a clean line, one that re-orders
// packets within 40 ms, and one that loses 0.2 % of them.
class SipFaxTest : public SipLineTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SipFaxTest, FaxArrives) {
    const std::vector<Page> sent = {SparsePage(400, 1)};
    ASSERT_TRUE(WriteTiff(m_root / "sent.tif", sent, false));
    std::vector<std::string> args = {"--listen",        "127.0.0.1:" + std::to_string(FreePort()),
                                     "--dial",          "sip:fax@" + Sip(),
                                     "--accept-socket", m_root / "dial.sock"};
    const std::string impair = GetParam();
    // Seed 57 loses packets 607 and 711, 12 s and 14 s into the call: in the page data, where
    // concealment keeps the carrier; a loss in a V.21 frame or the training can cost the call.
    if (!impair.empty()) args.insert(args.end(), {"--impair", impair + ",seed=57"});
    // A provider's gateway that hears the fax offers T.38; refused, the fax goes on in G.711.
    if (impair.empty()) args.insert(args.end(), {"--offer-t38-after", "2"});
    auto dialler = Bridge(args);
    ChildProcess caller(
        {ToolPath("vantoro-call"), "--socket", m_root / "dial.sock", "--fax", m_root / "sent.tif"});
    ASSERT_TRUE(caller.Start());
    ASSERT_EQ(caller.WaitForExit(kCallMs + 30000), 0) << caller.Stderr() << dialler->Stderr();
    EXPECT_EQ(caller.StdoutLines().back(), "RESULT fax ok pages=1 rate=9600");
    ASSERT_TRUE(m_program->WaitForStdoutLine("接收传真成功", kStepMs)) << m_program->Stdout();
    std::vector<std::string> tiffs = m_harness.Files("fax", ".tif");
    ASSERT_EQ(tiffs.size(), 1u);
    DecodedTiff received = ReadTiff(tiffs[0]);
    ASSERT_EQ(received.pages.size(), 1u) << received.problems;
    if (impair.find("loss") == std::string::npos) {
        EXPECT_TRUE(received.pages == sent);
    }
    ASSERT_EQ(m_bridge->Stop(kStepMs), 0);
    if (impair.empty()) {
        EXPECT_NE(m_bridge->Stderr().find("refused a new offer (T.38 only)"), std::string::npos);
    }
    EXPECT_EQ(dialler->Stop(kStepMs), 0);
}

INSTANTIATE_TEST_SUITE_P(Lines, SipFaxTest, ::testing::Values("", "jitter=40", "loss=0.2"));

}  // namespace

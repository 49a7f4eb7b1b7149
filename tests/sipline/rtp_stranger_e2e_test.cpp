// Whose RTP the call hears, end to end: a stranger who sprays the bridge's RTP ports while the
// line rings and through the call is never recorded nor fills the bridge's log; the caller is
// heard from the address of its offer, or, behind NAT, from where it proves to send from; an
// offer of PCMU under a dynamic payload type is taken; an offer to hold or multicast is refused
// with the reason.

#include <spandsp.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "tests/sipline/sipline_fixture.h"

namespace {

constexpr int kPacketSamples = 160;
constexpr uint8_t kDynamicPcmu = 96;
constexpr double kCallerHz = 700, kCallerSpeechHz = 1000, kStrangerHz = 1500;
// Long enough for the greeting, the tone and the caller's audio, and a little more.
constexpr int kCallAfterAnswerMs = 26000;

// A loopback UDP socket that sends u-law RTP, one 20 ms packet at a time.
class RtpSource {
public:
    explicit RtpSource(int port = 0) : m_fd(socket(AF_INET, SOCK_DGRAM, 0)) {
        const sockaddr_in addr = Ipv4(INADDR_LOOPBACK, port);
        bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
    ~RtpSource() { close(m_fd); }
    RtpSource(const RtpSource&) = delete;
    RtpSource& operator=(const RtpSource&) = delete;

    // Packet `seq` of a tone of `hz` (0: silence) to each even port of the bridge's ten.
    void Send(int base, uint32_t ssrc, uint16_t seq, double hz) {
        uint8_t packet[12 + kPacketSamples] = {0x80, kDynamicPcmu};
        const uint32_t timestamp = uint32_t(seq) * kPacketSamples;
        for (int i = 0; i < 2; ++i) packet[2 + i] = uint8_t(seq >> (8 - 8 * i));
        for (int i = 0; i < 4; ++i) {
            packet[4 + i] = uint8_t(timestamp >> (24 - 8 * i));
            packet[8 + i] = uint8_t(ssrc >> (24 - 8 * i));
        }
        for (int i = 0; i < kPacketSamples; ++i)
            packet[12 + i] = linear_to_ulaw(
                int16_t(8000 * std::sin(2 * M_PI * hz * (timestamp + uint32_t(i)) / 8000)));
        SendToAll(base, packet, sizeof packet);
    }
    // An RTCP sender report from `ssrc`, to each odd port of the ten.
    void SendReport(int base, uint32_t ssrc) {
        uint8_t report[28] = {0x80, 200, 0, 6};  // SR, no report blocks, 7 words
        for (int i = 0; i < 4; ++i) report[4 + i] = uint8_t(ssrc >> (24 - 8 * i));
        SendToAll(base + 1, report, sizeof report);
    }

private:
    void SendToAll(int base, const uint8_t* bytes, size_t size) {
        for (int port = base; port < base + 10; port += 2) {
            const sockaddr_in to = Ipv4(INADDR_LOOPBACK, port);
            sendto(m_fd, bytes, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
    }

    int m_fd;
};

// Whether the caller sends from the port its offer names, or from another (a NAT's).
class RtpStrangerTest : public SipLineTest, public ::testing::WithParamInterface<bool> {
protected:
    // Rings for the stranger to spray, and one more in which it stops before the answer.
    void SetUp() override {
        m_rings = 3;
        SipLineTest::SetUp();
    }
    // Calls `sendPacket` every 20 ms until `done`, on a clock of its own: on a loaded machine
    // a late wake-up does not slow the packets down on average.
    static void SendUntil(const std::function<bool()>& done,
                          const std::function<void()>& sendPacket) {
        auto next = std::chrono::steady_clock::now();
        for (; !done(); std::this_thread::sleep_until(next += std::chrono::milliseconds(20)))
            sendPacket();
    }
};

TEST_P(RtpStrangerTest, OnlyTheCallerIsRecorded) {
    const bool behindNat = GetParam();
    m_bridge = AnsweringBridge();
    const int offeredPort = FreePorts(2);
    RtpSource caller(behindNat ? FreePort() : offeredPort), stranger;
    const size_t from = Lines();
    auto sipp = Sipp("dynamic_caller.xml", {{"number", "5550123"},
                                            {"rtp_port", std::to_string(offeredPort)},
                                            {"call_ms", std::to_string(kCallAfterAnswerMs)}});
    uint16_t seq = 0, n = 0;
    // What used to take the call: in sequence, one SSRC, the offered type, while it rings (until
    // the second ring of three shows).
    SendUntil([&] { return m_program->WaitForStdoutLines(from + 3, 1).size() >= from + 3; },
              [&] { stranger.Send(m_rtpBase, 0x5eed, seq++, kStrangerHz); });
    // On through the answer, the caller speaks (a pitch no hang-up detector takes for a tone of
    // the exchange), and the stranger goes on with a new SSRC every packet and report.
    SendUntil([&] { return m_program->WaitForStdoutLine("正在录制留言", 1, from); },
              [&] {
                  stranger.Send(m_rtpBase, 0x5eed0000u + seq, seq, kStrangerHz);
                  stranger.SendReport(m_rtpBase, 0x5eed0000u + seq);
                  ++seq;
                  caller.Send(m_rtpBase, 0xca11, n++, kCallerSpeechHz);
              });
    // Half a second of silence (a steady sound from the start of the recording to its end would
    // be the line's and no message), the tone for 3 s, a second with a new SSRC every packet,
    // and on until the caller hangs up.
    int i = 0;
    SendUntil([&] { return !sipp->Running(); },
              [&] {
                  const bool tone = i >= 25 && i < 175, ssrcPerPacket = i >= 175 && i < 225;
                  caller.Send(m_rtpBase, ssrcPerPacket ? 0xca110000u + n : 0xca11, n,
                              tone     ? kCallerHz
                              : i < 25 ? 0
                                       : kCallerSpeechHz);
                  ++i, ++n;
              });
    ExpectMessageCall(*sipp, from);
    ASSERT_EQ(m_harness.Files("wav").size(), 1u) << m_harness.Log();
    const std::vector<int16_t> message = ReadSamples(m_harness.Files("wav")[0]);
    EXPECT_NEAR(FindTone(message, kCallerHz).seconds, 3.0, 0.2);
    EXPECT_LT(FindTone(message, kStrangerHz).seconds, 0.1);
    ASSERT_EQ(m_bridge->Stop(kStepMs), 0);
    const std::string log = m_bridge->Stderr();
    EXPECT_NE(log.find("datagrams that came before the answer"), std::string::npos) << log;
    EXPECT_EQ(Count(log, "media from "), 1u) << log;
    EXPECT_NE(log.find(behindNat ? "(not the offer's: behind NAT)" : "(the offer's address)"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find(", 0 datagrams from other sources ignored"), std::string::npos) << log;
    // The stack's warnings about new sources: a few, not one a packet or report.
    EXPECT_LE(Count(log, "rtcp_sess"), 8u) << log;
    EXPECT_LT(Count(log, "\n"), 60u) << log;
}

INSTANTIATE_TEST_SUITE_P(Callers, RtpStrangerTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "BehindNat" : "Direct"; });

// Hold the old way (0.0.0.0), multicast and broadcast: each is refused with 488 and a Warning
// that says why, the log says it once for the caller's address, and the modem never rings.
TEST_F(SipLineTest, OffersThatAreNotUnicastAreRefusedWithTheReason) {
    m_bridge = AnsweringBridge();
    const size_t from = Lines();
    for (const char* address : {"0.0.0.0", "224.0.1.75", "255.255.255.255"}) {
        auto caller = Sipp("unicast_refused.xml", {{"address", address}});
        EXPECT_EQ(caller->WaitForExit(kStepMs), 0) << address << "\n" << m_bridge->Stderr();
    }
    ASSERT_EQ(m_bridge->Stop(kStepMs), 0);
    const std::string log = m_bridge->Stderr();
    EXPECT_EQ(Count(log, "an offer it cannot take: its address is 0.0.0.0, multicast or broadcast"),
              1u)
        << log;
    EXPECT_EQ(Lines(), from) << "the modem rang";
}

}  // namespace

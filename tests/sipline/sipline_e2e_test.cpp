// The program answering SIP calls end to end: sipp and spandsp's fax machine (through a second
// bridge that dials) call vantoro-sipline, which joins them to the soft modem under the headless
// program on the real line library.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <memory>
#include <thread>

#include "tests/sipline/sipline_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/fax_pages.h"
#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

// This host's address on its default route, or "" without one.
std::string OwnAddress() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = Ipv4(0xcb007101, 9);  // 203.0.113.1, a documentation address
    socklen_t len = sizeof addr;
    char text[INET_ADDRSTRLEN] = "";
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    close(fd);
    return text;
}

// A second of silence as RTP from a port of its own to the even ports from `base` on, as a
// stranger on the network might send it: played, it would cut the call's own audio.
void SendStrayRtp(int base) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = Ipv4(INADDR_LOOPBACK);
    uint8_t packet[12 + 160];
    std::memset(packet, 0xff, sizeof packet);  // u-law silence, SSRC ffffffff
    for (uint8_t n = 0; n < 50; ++n, usleep(20000)) {
        packet[0] = 0x80;  // version 2, payload type 0, sequence and timestamp n
        packet[1] = packet[2] = packet[4] = packet[5] = packet[6] = 0;
        packet[3] = n;
        packet[7] = uint8_t(n * 160);
        for (int port = base; port < base + 10; port += 2) {
            to.sin_port = htons(uint16_t(port));
            sendto(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
    }
    close(fd);
}

// sipp calls with PCMU, then PCMA: the program answers at the first ring, greets, and records
// what sipp streams after the tone, whatever else reaches the call's RTP port; a T.38 offer in
// the call is taken and the call goes back to audio as a voice call after it; a second caller
// meanwhile gets 486 and never rings the modem. Then a number in [block] is hung up at once, and
// a caller who hangs up before the tone leaves nothing. calls.tsv has each call with its number,
// which the modem tells only after the ring the program answers.
TEST_F(SipLineTest, SippCallersLeaveTheirMessageInBothLaws) {
    // Read as the line waits again after the first call.
    const std::string ini = m_harness.Home() + "/vantoro.ini";
    WriteFile(ini, ReadFile(ini) + "[block]\nnumbers=5550777\n");
    m_bridge = AnsweringBridge();
    for (const std::string pt : {"0", "8"}) {
        const size_t from = Lines();
        auto caller = ToneCaller(pt);
        ASSERT_TRUE(WaitAfter(from, "正在应答呼叫", kStepMs)) << m_bridge->Stderr();
        auto second = Sipp("refused.xml", {{"status", "486"}});
        EXPECT_EQ(second->WaitForExit(kStepMs), 0);
        if (pt == "0") {
            sleep(11);  // into the caller's 3 s of tone, which starts 10 s after the answer
            SendStrayRtp(m_rtpBase);
        }
        ExpectMessageCall(*caller, from);
    }
    const auto callFrom = [&](const std::string& number, int hangUpAfterMs) {
        return Sipp("dynamic_caller.xml", {{"number", number},
                                           {"rtp_port", std::to_string(FreePorts(2))},
                                           {"call_ms", std::to_string(hangUpAfterMs)}});
    };
    size_t from = Lines();
    const auto blockedAt = std::chrono::steady_clock::now();
    ASSERT_EQ(callFrom("5550777", 30000)->WaitForExit(kStepMs), 0) << "not hung up";
    const std::chrono::duration<double> blockedS = std::chrono::steady_clock::now() - blockedAt;
    EXPECT_LT(blockedS.count(), 2.5) << "not hung up within 2 s of its first ring";
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs));
    from = Lines();
    // Gone 6 s after the answer, in the tone before the recording: nothing is kept of the call.
    EXPECT_EQ(callFrom("5550123", 6000)->WaitForExit(kCallMs), 0);
    ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs));
    const std::string calls = ReadFile(m_harness.Home() + "/calls.tsv");
    EXPECT_EQ(Count(calls, "\t5550123\tmessage\t"), 2u) << calls;
    EXPECT_EQ(Count(calls, "\t5550777\tblocked\t"), 1u) << calls;
    EXPECT_EQ(Count(calls, "\t5550123\tno-message\t"), 1u) << calls;
    std::vector<std::string> messages = m_harness.Files("wav");
    ASSERT_EQ(messages.size(), 2u);
    // Each ends with the tone: the 6 s of quiet before the BYE and the busy tone after it are cut.
    for (const std::string& message : messages) {
        const std::vector<int16_t> samples = ReadSamples(message);
        EXPECT_NEAR(FindTone(samples, 700).seconds, 3.0, 0.2);
        const double afterTone = double(samples.size()) / 8000 - LoudSpan(samples).second;
        EXPECT_GE(afterTone, 0.0);
        EXPECT_LE(afterTone, 0.5);
    }
    ASSERT_EQ(m_bridge->Stop(kStepMs), 0);
    const std::string log = m_bridge->Stderr();
    EXPECT_NE(log.find("number '5550123'"), std::string::npos) << log;
    EXPECT_EQ(log.find("number '5550999'"), std::string::npos) << "the second caller rang";
    EXPECT_EQ(Count(log, "back to G.711 from T.38"), 2u) << log;
    EXPECT_EQ(Count(log, "call media: T.38"), 2u) << log;
}

// An INVITE without an offer gets ours in the 200 OK and the answer in the ACK; a re-INVITE to
// the other law is answered with it; OPTIONS in the call gets 200.
TEST_F(SipLineTest, LateOfferAndReInviteToTheOtherLaw) {
    m_bridge = AnsweringBridge();
    auto caller = Sipp("late_offer.xml", {});
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0);
    ASSERT_EQ(m_bridge->Stop(kStepMs), 0);
    EXPECT_NE(m_bridge->Stderr().find("number '493055577'"), std::string::npos);
}

// The same over TCP.
TEST_F(SipLineTest, LateOfferOverTcp) {
    m_bridge = AnsweringBridge({"--transport", "tcp"});
    auto caller = Sipp("late_offer.xml", {}, "127.0.0.1", 0, "t1");
    EXPECT_EQ(caller->WaitForExit(kStepMs), 0) << m_bridge->Stderr();
}

// A registrar that is down refuses the first REGISTER: the bridge waits its back-off (at least
// half a minute, not a loop of requests) and registers when the registrar is back.
TEST_F(SipLineTest, RegistrationBacksOffWhileTheRegistrarIsDown) {
    const int registrarPort = FreePort();
    const std::string passwordFile = PasswordFile("pw");
    auto down = Sipp("unavailable.xml", {}, "127.0.0.1", registrarPort);
    m_bridge = Bridge({"--listen", kAnyLoopbackPort, "--socket", m_modem.SocketPath(), "--account",
                       "sip:alice@127.0.0.1:" + std::to_string(registrarPort), "--password-file",
                       passwordFile});
    ASSERT_TRUE(
        m_bridge->WaitForStderr("refused: 503 Service Unavailable; trying again later", kStepMs));
    EXPECT_EQ(down->WaitForExit(kStepMs), 0);
    auto registrar = Sipp("registrar.xml", {{"password", "pw"}}, "127.0.0.1", registrarPort);
    EXPECT_FALSE(m_bridge->WaitForStderr("registered with", 28000));
    EXPECT_TRUE(m_bridge->WaitForStderr("registered with", 35000)) << m_bridge->Stderr();
    ASSERT_EQ(m_bridge->Stop(kStepMs), 0);
    EXPECT_EQ(registrar->WaitForExit(kStepMs), 0) << "not un-registered";
}

// Listening on any address, the bridge takes the address it reaches the registrar from, not
// loopback, and registers from there.
TEST_F(SipLineTest, ListeningAnywhereRegistersFromTheRouteToTheRegistrar) {
    const std::string own = OwnAddress();
    if (own.empty() || own.rfind("127.", 0) == 0) GTEST_SKIP() << "no address but loopback";
    const int registrarPort = FreePort();
    auto registrar = Sipp("registrar.xml", {{"password", "pw"}}, own, registrarPort);
    m_bridge = Bridge({"--listen", "0.0.0.0:0", "--socket", m_modem.SocketPath(), "--account",
                       "sip:alice@" + own + ":" + std::to_string(registrarPort), "--password-file",
                       PasswordFile("pw")},
                      false);
    EXPECT_TRUE(m_bridge->WaitForStderr("listening on " + own + ":", kStepMs));
    EXPECT_TRUE(m_bridge->WaitForStderr("registered with " + own, kStepMs)) << m_bridge->Stderr();
    ASSERT_EQ(m_bridge->Stop(kStepMs), 0);
    EXPECT_EQ(registrar->WaitForExit(kStepMs), 0) << "not un-registered";
}

// Started with no network, the bridge listens on loopback and keeps trying to register. When the
// host gets an address toward the registrar, it ends with 75 so that it is started again, and the
// next start listens there. In a network namespace of its own, where root may add that address.
TEST(SipNetworkTest, AnAddressThatComesLaterStartsTheBridgeAgain) {
    if (system("unshare -n true 2>/dev/null") != 0) GTEST_SKIP() << "no network namespaces here";
    TempFolder folder;
    const std::string password = folder / "password";
    WriteFile(password, "pw\n");
    chmod(password.c_str(), 0600);
    const std::string bridge = ToolPath("vantoro-sipline") +
                               " --listen 0.0.0.0:5070 --socket /nowhere.sock --account "
                               "sip:alice@10.99.0.1 --password-file " +
                               password;
    ChildProcess script({"/usr/bin/unshare", "-n", "/bin/sh", "-c",
                         "ip link set lo up; " + bridge +
                             " & sleep 2; ip addr add 10.99.0.2/24 dev lo; wait $!; "
                             "echo status $? >&2; exec timeout 2 " +
                             bridge},
                        {"XDG_CONFIG_HOME=" + (folder / "config")});
    ASSERT_TRUE(script.Start());
    script.WaitForExit(40000);
    const std::string log = script.Stderr();
    for (const char* line : {"listening on 127.0.0.1:5070", "cannot register with 10.99.0.1 yet",
                             "this host's address changed from 127.0.0.1 to 10.99.0.2: starting "
                             "again",
                             "status 75", "listening on 10.99.0.2:5070"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

// baresip, an independent user agent, run headless: it dials, speaks a WAV from the answer on
// (a 700 Hz tone 10 s in, after the greeting and the tone) and hangs up after 18 s.
TEST_F(SipLineTest, BaresipCallerLeavesItsMessage) {
    m_bridge = AnsweringBridge();
    const std::string config = m_root / "baresip", wav = m_root / "speech.wav";
    ASSERT_EQ(
        system(("mkdir -p " + config + " && sox -n -r 8000 -b 16 -c 1 " + wav +
                " synth 10 sine 700 vol 0 : synth 3 sine 700 vol 0.5 : synth 8 sine 700 vol 0")
                   .c_str()),
        0);
    WriteFile(config + "/accounts", "<sip:caller@127.0.0.1>;regint=0;audio_codecs=PCMU\n");
    WriteFile(config + "/contacts", "");
    WriteFile(config + "/config", "sip_listen 127.0.0.1:" + std::to_string(FreePort()) +
                                      "\naudio_source aufile," + wav + "\naudio_player aufile," +
                                      (m_root / "heard.wav") +
                                      "\naudio_alert aufile,/dev/null\n"
                                      "module_path /usr/lib/baresip/modules\nmodule stdio.so\n"
                                      "module g711.so\nmodule aufile.so\nmodule account.so\n"
                                      "module menu.so\n");
    const size_t from = Lines();
    ChildProcess caller({"/bin/sh", "-c",
                         "exec baresip -f " + config + " -e '/dial sip:fax@" + Sip() +
                             "' -t 18 </dev/null >" + config + "/out 2>&1"});
    ASSERT_TRUE(caller.Start());
    ExpectMessageCall(caller, from);
    ASSERT_EQ(m_harness.Files("wav").size(), 1u);
    EXPECT_NEAR(FindTone(ReadSamples(m_harness.Files("wav")[0]), 700).seconds, 3.0, 0.2)
        << ReadFile(config + "/out");
}

// With an account in line.ini and no modem, the line library runs the soft modem and the bridge
// for the program's life: the bridge registers with digest authentication, refreshes before the
// 10 s granted run out, takes calls from the registrar's address and the one allow= names,
// refuses one from elsewhere with 403, and takes the registration back when the program ends. The
// password file must be ours with no access for others, and the password never shows.
class SoftLineTest : public SipLineTest {
protected:
    void SetUp() override {
        const std::string passwordFile = m_root / "sip-password";
        WriteFile(passwordFile, std::string(kPassword) + "\n");
        chmod(passwordFile.c_str(), 0644);
        m_harness.SetRings(1, 1);
        ASSERT_TRUE(m_harness.UseShortGreeting());
        WriteFile(m_root / "config/vantoro/line.ini",
                  "[sip]\naccount=sip:alice@127.0.0.1:" + std::to_string(m_registrarPort) +
                      "\npassword-file=" + passwordFile + "\nlisten=" + kAnyLoopbackPort +
                      "\nallow=192.0.2.7, 127.0.0.3\n");
        auto refused = Bridge({}, false);
        EXPECT_EQ(refused->WaitForExit(kStepMs), 78);  // EX_CONFIG
        EXPECT_NE(refused->Stderr().find("no access for group or others"), std::string::npos);
        chmod(passwordFile.c_str(), 0600);
        m_registrar =
            Sipp("registrar.xml", {{"password", kPassword}}, "127.0.0.1", m_registrarPort);
        m_program = m_harness.Start();
        ASSERT_TRUE(m_program->WaitForStdoutLine(kWaiting, kStepMs)) << m_program->Stderr();
        m_sipPort = ReadyPort(*m_program);
        ASSERT_NE(m_sipPort, 0) << m_program->Stderr();
    }
    void TearDown() override {
        if (m_program->Running()) ProgramHarness::Exit(*m_program);
    }

    static constexpr char kPassword[] = "s3cret-Pw";
    int m_registrarPort = FreePort();
    std::unique_ptr<ChildProcess> m_registrar;
};

TEST_F(SoftLineTest, RegistersAndTakesCallsFromTheRegistrarOnly) {
    ASSERT_TRUE(m_program->WaitForStderr("registered with 127.0.0.1 (for 10 s)", kStepMs));
    auto stranger = Sipp("refused.xml", {{"status", "403"}}, "127.0.0.2");
    EXPECT_EQ(stranger->WaitForExit(kStepMs), 0);
    const size_t before = Lines();
    auto allowed = Sipp("late_offer.xml", {}, "127.0.0.3");
    EXPECT_EQ(allowed->WaitForExit(kStepMs), 0) << "allow= did not let 127.0.0.3 call";
    // It hung up in the greeting: the exchange's busy tone ends the message after it.
    ASSERT_TRUE(WaitAfter(before, kWaiting, kCallMs)) << StatusLines();
    const size_t from = Lines();
    auto caller = ToneCaller("0");
    ExpectMessageCall(*caller, from);
    EXPECT_NEAR(FindTone(ReadSamples(m_harness.Files("wav").back()), 700).seconds, 3.0, 0.2);
    EXPECT_EQ(ProgramHarness::Exit(*m_program), 0);
    EXPECT_EQ(m_registrar->WaitForExit(kStepMs), 0) << "not un-registered";
    const std::string log = m_program->Stderr();
    EXPECT_NE(log.find("refused a call from 127.0.0.2: not the registrar"), std::string::npos);
    EXPECT_GE(Count(log, "registered with"), 3u) << log;  // the first and two refreshes
    EXPECT_EQ(log.find(kPassword), std::string::npos);
}

// Another program holds the SIP port, so the bridge cannot start: the line library starts it again
// after pauses that double, not every 2 s.
class SoftLinePortTest : public SipLineTest {
protected:
    void SetUp() override {}
    void TearDown() override {
        if (m_program && m_program->Running()) ProgramHarness::Exit(*m_program);
    }
};

TEST_F(SoftLinePortTest, ABridgeThatCannotStartIsRetriedAfterGrowingPauses) {
    const int taken = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = Ipv4(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    ASSERT_EQ(bind(taken, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&addr), &size), 0);
    m_sipPort = ntohs(addr.sin_port);
    WriteFile(m_root / "config/vantoro/line.ini",
              "[sip]\naccount=sip:alice@127.0.0.1:" + std::to_string(FreePort()) +
                  "\npassword-file=" + PasswordFile("pw") + "\nlisten=" + Sip() + "\n");
    m_program = m_harness.Start();
    EXPECT_TRUE(m_program->WaitForStderr("the SIP bridge ended; starting it again in 8 s", 20000));
    const std::string log = m_program->Stderr();
    EXPECT_EQ(Count(log, "the SIP bridge ended"), 3u) << log;
    EXPECT_NE(log.find("Address already in use"), std::string::npos) << log;
    close(taken);
}

// spandsp's fax machine calls through a bridge that dials. Over T.38 (the dialling bridge is the
// provider's gateway that hears the fax and re-INVITEs), with the caller's host pausing it for
// 150 ms every second: 3 pages on a clean network and 3 where it loses 2 % of the UDPTL,
// pixel-exact through redundancy, and again with V.17, error correction and MMR (t38+ecm: the
// program in its fast mode); 1 page where the answering bridge (t38=request) offers T.38 on hearing
// its modem answer, and 1 where that offer is refused and the fax goes on in G.711. Over G.711: 1
// page on a line that re-orders packets within 40 ms and on one that loses 0.2 % of them. A row is
// its medium (t38, t38+ecm, request) and the impairment, or the impairment of a G.711 line alone.
class SipFaxTest : public SipLineTest, public ::testing::WithParamInterface<const char*> {
protected:
    SipFaxTest() { m_fastFax = std::string(GetParam()).rfind("t38+ecm", 0) == 0; }
};
// Loses two packets in the data of each page of the ECM call below (12.9 s and 16.5-17 s after
// the answer), a few tenths of a second from its ends, and none in the training.
const std::string kEcmLoss = "loss=1,seed=65060";

// The figure before `what` in the bridge's call media line.
long CallMediaFigure(const std::string& log, const std::string& what) {
    const size_t line = log.rfind("call media: T.38");
    const size_t at = line == std::string::npos ? line : log.find(what, line);
    if (at == std::string::npos) return -1;
    const size_t start = log.find_last_not_of("0123456789", at - 2) + 1;
    return std::strtol(log.c_str() + start, nullptr, 10);
}

// Stops a process for 150 ms every second while it lives, as a loaded host does.
class HostPauses {
public:
    explicit HostPauses(pid_t pid)
        : m_thread([this, pid] {
              for (int ms = 10; !m_stop; ms = (ms + 10) % 1000) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
                  if (ms != 0 || kill(pid, SIGSTOP) != 0) continue;
                  std::this_thread::sleep_for(std::chrono::milliseconds(150));
                  kill(pid, SIGCONT);
                  ++m_count;
              }
          }) {}
    ~HostPauses() {
        m_stop = true;
        m_thread.join();
    }
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::thread m_thread;  // last: it runs on the members above
};

TEST_P(SipFaxTest, FaxArrives) {
    const std::string param = GetParam();
    const std::string medium = param.substr(0, param.find(','));
    const bool offered = medium.rfind("t38", 0) == 0;
    const bool ecm = medium == "t38+ecm";
    const bool requested = medium == "request";
    const bool refused = param == "request,refused";
    const bool t38 = offered || (requested && !refused);
    const std::string impair = offered     ? param.substr(std::min(param.size(), medium.size() + 1))
                               : requested ? ""
                                           : param;
    std::vector<Page> sent = {SparsePage(400, 1)};
    if (offered) sent.insert(sent.end(), {SparsePage(400, 2), SparsePage(400, 3)});
    ASSERT_TRUE(WriteTiff(m_root / "sent.tif", sent, false));
    m_bridge = requested ? AnsweringBridge({"--t38", "request"}) : AnsweringBridge();
    std::vector<std::string> args = {"--listen",         kAnyLoopbackPort,  "--dial",
                                     "sip:fax@" + Sip(), "--accept-socket", m_root / "dial.sock"};
    // Seed 57 loses packets 607 and 711, 12 s and 14 s into the call: in the page data, where
    // concealment keeps the carrier. A G.711 row with a seed of its own damages a V.21 frame.
    const bool ownSeed = !t38 && impair.find("seed=") != std::string::npos;
    if (!impair.empty())
        args.insert(args.end(), {"--impair", ownSeed || t38 ? impair : impair + ",seed=57"});
    if (offered) args.insert(args.end(), {"--offer-t38-after", "2"});
    if (refused) args.insert(args.end(), {"--t38", "off"});
    auto dialler = Bridge(args);
    std::vector<std::string> call = {
        ToolPath("vantoro-call"), "--socket", m_root / "dial.sock", "--number", "5557001", "--fax",
        m_root / "sent.tif"};
    if (ecm) call.insert(call.end(), {"--v17", "--ecm"});
    ChildProcess caller(call);
    ASSERT_TRUE(caller.Start());
    {
        std::unique_ptr<HostPauses> pauses;
        if (offered) pauses = std::make_unique<HostPauses>(caller.Pid());
        ASSERT_EQ(caller.WaitForExit(kCallMs + 30000), 0) << caller.Stderr() << dialler->Stderr();
        EXPECT_TRUE(!pauses || pauses->m_count > 20);
    }
    const std::string result = ecm ? " rate=14400 ecm=1 coding=MMR" : " rate=9600 ecm=0 coding=MH";
    EXPECT_EQ(caller.StdoutLines().back(),
              "RESULT fax ok pages=" + std::to_string(sent.size()) + result)
        << "dialling bridge:\n"
        << dialler->Stderr() << "answering bridge:\n"
        << m_bridge->Stderr();
    std::vector<std::string> tiffs = m_harness.WaitForFiles("fax", ".tif", 1, kStepMs);
    ASSERT_EQ(tiffs.size(), 1u) << m_program->Stdout();
    EXPECT_TRUE(m_program->WaitForStdoutLine("接收传真成功", kStepMs));
    if (ownSeed) {
        const std::string log = m_harness.Log();
        const bool recovered = log.find("损坏") != std::string::npos ||
                               log.find("重发") != std::string::npos ||
                               log.find("未收到") != std::string::npos;
        EXPECT_TRUE(recovered) << "no frame was damaged: the row lost its point\n" << log;
    }
    DecodedTiff received = ReadTiff(tiffs[0]);
    ASSERT_EQ(received.pages.size(), sent.size()) << received.problems;
    if (t38 || impair.find("loss") == std::string::npos) {
        EXPECT_TRUE(received.pages == sent);
    }
    ASSERT_EQ(m_bridge->Stop(kStepMs), 0);
    const std::string log = m_bridge->Stderr();
    EXPECT_NE(log.find("number '5557001'"), std::string::npos);
    EXPECT_EQ(dialler->Stop(kStepMs), 0);
    if (!t38) {
        EXPECT_NE(log.find("call media: G.711"), std::string::npos) << log;
        EXPECT_EQ(refused, log.find("no T.38 from the far end") != std::string::npos) << log;
        return;
    }
    EXPECT_GT(CallMediaFigure(log, "IFPs in"), 100) << log;
    EXPECT_GT(CallMediaFigure(dialler->Stderr(), "IFPs in"), 10) << dialler->Stderr();
    if (!impair.empty()) {
        EXPECT_GT(CallMediaFigure(log, "recovered by redundancy"), 0) << log;
        EXPECT_EQ(CallMediaFigure(log, "lost"), 0) << log;
    }
}

// A fax machine that speaks T.38 itself, as a provider's fax server does, calls over SIP and
// re-INVITEs to T.38 at once: its pages arrive pixel-exact through the answering bridge's gateway.
TEST_F(SipLineTest, NativeT38SenderFaxArrives) {
    const std::vector<Page> sent = {SparsePage(400, 4), SparsePage(400, 5)};
    ASSERT_TRUE(WriteTiff(m_root / "sent.tif", sent, false));
    m_bridge = AnsweringBridge();
    auto sender = Bridge({"--listen", kAnyLoopbackPort, "--dial", "sip:fax@" + Sip(), "--t38-fax",
                          m_root / "sent.tif", "--offer-t38-after", "1"});
    EXPECT_TRUE(sender->WaitForStderr("call media:", kCallMs)) << sender->Stderr();
    EXPECT_NE(sender->Stderr().find("T.38 fax ok pages=2 rate=9600"), std::string::npos)
        << sender->Stderr() << m_bridge->Stderr();
    std::vector<std::string> tiffs = m_harness.WaitForFiles("fax", ".tif", 1, kStepMs);
    ASSERT_EQ(tiffs.size(), 1u) << m_program->Stdout();
    EXPECT_TRUE(m_program->WaitForStdoutLine("接收传真成功", kStepMs)) << m_harness.Log();
    EXPECT_TRUE(ReadTiff(tiffs[0]).pages == sent);
    ASSERT_EQ(m_bridge->Stop(kStepMs), 0);
    EXPECT_GT(CallMediaFigure(m_bridge->Stderr(), "IFPs in"), 100) << m_bridge->Stderr();
    EXPECT_EQ(sender->Stop(kStepMs), 0);
}

// The fast mode over a line that loses 1 % of the packets toward the modem: a caller with error
// correction and MMR has the damaged frames sent again (PPR), and the pages arrive pixel-exact.
class SipEcmFaxTest : public SipLineTest {
protected:
    SipEcmFaxTest() { m_fastFax = true; }
};

// Rows of pseudo-random pixels: in MMR longer than raw, so that the page data last about 10 s
// and the seeded loss hits them however the call's start falls.
Page NoisyPage(int rows) {
    Page page(rows, std::vector<uint8_t>(kRowBytes, 0));
    uint32_t state = 1;
    for (auto& row : page) {
        for (uint8_t& byte : row) byte = uint8_t((state = state * 1103515245u + 12345u) >> 24);
    }
    return page;
}

TEST_F(SipEcmFaxTest, LostPacketsAreSentAgainAndThePagesArrivePixelExact) {
    const std::vector<Page> sent = {NoisyPage(48), SparsePage(1100, 2)};
    ASSERT_TRUE(WriteTiff(m_root / "sent.tif", sent, false));
    m_bridge = AnsweringBridge();
    auto dialler = Bridge({"--listen", kAnyLoopbackPort, "--dial", "sip:fax@" + Sip(),
                           "--accept-socket", m_root / "dial.sock", "--impair", kEcmLoss});
    ChildProcess caller({ToolPath("vantoro-call"), "--socket", m_root / "dial.sock", "--fax",
                         m_root / "sent.tif", "--v17", "--ecm"});
    ASSERT_TRUE(caller.Start());
    ASSERT_EQ(caller.WaitForExit(kCallMs + 60000), 0) << caller.Stderr();
    EXPECT_EQ(caller.StdoutLines().back().find("RESULT fax ok pages=2 rate="), 0u);
    EXPECT_NE(caller.StdoutLines().back().find(" ecm=1 coding=MMR"), std::string::npos);
    const std::vector<std::string> tiffs = m_harness.WaitForFiles("fax", ".tif", 1, kStepMs);
    ASSERT_EQ(tiffs.size(), 1u) << m_program->Stdout();
    const std::string log = m_harness.Log();
    EXPECT_NE(log.find("发送PPR"), std::string::npos) << "no frame was lost\n" << log;
    const DecodedTiff received = ReadTiff(tiffs[0]);
    EXPECT_EQ(received.problems, "");
    EXPECT_TRUE(received.pages == sent);
    EXPECT_EQ(dialler->Stop(kStepMs), 0);
}

INSTANTIATE_TEST_SUITE_P(Lines, SipFaxTest,
                         ::testing::Values("t38", "t38,loss=2,seed=3", "t38+ecm,loss=2,seed=7",
                                           "request", "request,refused", "jitter=40", "loss=0.2",
                                           "loss=0.5,seed=2"));

}  // namespace

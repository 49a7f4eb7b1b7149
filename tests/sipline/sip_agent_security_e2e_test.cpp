// The SIP bridge against strangers and mistakes: who may call with and without an account, what
// a flood of INVITEs gets back, who may end a call, and configuration errors that must never
// show a password. The peers here are hand-written SIP on loopback addresses of their own, so
// that every response is counted.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "tests/sipline/sipline_fixture.h"

namespace {

// Long enough for libre's first two retransmissions (T1 500 ms, then 1 s) of a response.
constexpr int kRetransmitWindowMs = 2500;
constexpr int kExitConfig = 78;  // EX_CONFIG
constexpr char kSecret[] = "Hunter2-zq";

// One SIP dialog's identity as the peer that starts it sees it.
struct Dialog {
    Dialog(std::string id, std::string tag) : callId(std::move(id)), fromTag(std::move(tag)) {}
    std::string callId, fromTag, toTag;
    int cseq = 1;
};

// A UDP SIP peer on a loopback address of its own.
class Peer {
public:
    Peer(const std::string& address, int bridgePort) : m_address(address), m_bridge(bridgePort) {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in me = Ipv4(address, 0);
        socklen_t len = sizeof me;
        bind(m_fd, reinterpret_cast<sockaddr*>(&me), sizeof me);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&me), &len);
        m_port = ntohs(me.sin_port);
    }
    ~Peer() { close(m_fd); }

    // A request without an offer (the bridge then makes one) in `dialog`.
    void Send(const std::string& method, const Dialog& dialog) {
        const std::string me = m_address + ":" + std::to_string(m_port);
        const std::string target = "sip:fax@127.0.0.1:" + std::to_string(m_bridge);
        SendRaw(method + " " + target + " SIP/2.0\r\nVia: SIP/2.0/UDP " + me + ";branch=z9hG4bK" +
                std::to_string(++m_branches) + dialog.callId + ";rport\r\nFrom: <sip:5550123@" +
                me + ">;tag=" + dialog.fromTag + "\r\nTo: <" + target + ">" +
                (dialog.toTag.empty() ? "" : ";tag=" + dialog.toTag) +
                "\r\nCall-ID: " + dialog.callId + "\r\nCSeq: " + std::to_string(dialog.cseq) + " " +
                method + "\r\nContact: <sip:peer@" + me +
                ">\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n");
    }
    void SendRaw(const std::string& datagram) {
        const sockaddr_in to = Ipv4("127.0.0.1", m_bridge);
        sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
    // The next datagram within `ms`, or "".
    std::string Next(int ms) {
        pollfd p{m_fd, POLLIN, 0};
        char buffer[4096];
        const ssize_t n = poll(&p, 1, ms) == 1 ? recv(m_fd, buffer, sizeof buffer, 0) : 0;
        return std::string(buffer, size_t(std::max<ssize_t>(n, 0)));
    }
    // How many responses of each status arrive within `ms`.
    std::map<int, int> Statuses(int ms) {
        std::map<int, int> counts;
        for (std::string got; !(got = Next(ms)).empty();) ++counts[std::stoi(got.substr(8, 3))];
        return counts;
    }
    // Waits for the response `status`; it, or "" when none came.
    std::string Expect(int status, int ms) {
        std::string got;
        while (!(got = Next(ms)).empty() &&
               got.rfind("SIP/2.0 " + std::to_string(status), 0) != 0) {
        }
        return got;
    }

private:
    std::string m_address;
    int m_bridge, m_fd, m_port = 0, m_branches = 0;
};

std::string ToTagOf(const std::string& response) {
    const size_t tag = response.find(";tag=", response.find("\r\nTo:"));
    return response.substr(tag + 5, response.find_first_of(";\r", tag + 5) - tag - 5);
}

class SipAgentSecurityTest : public ::testing::Test {
protected:
    SipAgentSecurityTest() { std::filesystem::create_directories(m_folder / "config/vantoro"); }
    // The bridge with a line.ini of its own (`lineIni`, none when empty) and `args`.
    std::unique_ptr<ChildProcess> Bridge(std::vector<std::string> args,
                                         const std::string& lineIni = "") {
        if (!lineIni.empty()) WriteFile(m_folder / "config/vantoro/line.ini", lineIni);
        args.insert(args.begin(), ToolPath("vantoro-sipline"));
        const int rtp = FreePorts(10);
        args.insert(args.end(),
                    {"--rtp-ports", std::to_string(rtp) + "-" + std::to_string(rtp + 9)});
        auto bridge = std::make_unique<ChildProcess>(
            args, std::vector<std::string>{"XDG_CONFIG_HOME=" + (m_folder / "config")});
        EXPECT_TRUE(bridge->Start());
        return bridge;
    }
    std::string PasswordFile(mode_t mode) {
        const std::string path = m_folder / "sip-password";
        WriteFile(path, std::string(kSecret) + "\n");
        chmod(path.c_str(), mode);
        return path;
    }
    std::string Listen() const { return "127.0.0.1:" + std::to_string(m_sipPort); }

    TempFolder m_folder;
    int m_sipPort = FreePort();
};

// Without an account, allow= decides: a request from 127.0.0.2 gets one 403 and nothing more,
// one from 127.0.0.3 is answered.
TEST_F(SipAgentSecurityTest, WithoutAnAccountAllowDecidesWhoMayCall) {
    auto bridge =
        Bridge({"--listen", Listen(), "--socket", "/nowhere.sock", "--allow", "127.0.0.3"});
    ASSERT_TRUE(bridge->WaitForStderr("listening on " + Listen(), kStepMs));
    Peer stranger("127.0.0.2", m_sipPort), allowed("127.0.0.3", m_sipPort);
    stranger.Send("INVITE", Dialog("stranger-call", "s1"));
    allowed.Send("OPTIONS", Dialog("allowed-options", "a1"));
    EXPECT_EQ(stranger.Statuses(kRetransmitWindowMs), (std::map<int, int>{{403, 1}}));
    EXPECT_EQ(allowed.Statuses(500), (std::map<int, int>{{200, 1}}));
    ASSERT_EQ(bridge->Stop(kStepMs), 0);
    EXPECT_NE(bridge->Stderr().find("refused a call from 127.0.0.2: not an address allow="),
              std::string::npos)
        << bridge->Stderr();
    EXPECT_EQ(bridge->Stderr().find("anyone who reaches"), std::string::npos);
}

// With an account, while a call rings: a stranger's BYE in the call's dialog is refused and the
// call goes on; INVITEs from the registrar's address get one 486 each, never sent again; a
// stranger's burst of 40 gets its 20 refusals and one 503, the rest nothing, and one log line;
// 200 datagrams that are not SIP leave a few lines; the caller's BYE ends the call.
TEST_F(SipAgentSecurityTest, StrangersCannotEndTheCallAndAFloodGetsLittleBack) {
    ModemHarness modem(600);
    ASSERT_TRUE(modem.Start());
    auto bridge = Bridge({"--listen", Listen(), "--socket", modem.SocketPath(), "--account",
                          "sip:alice@127.0.0.1:" + std::to_string(FreePort()), "--password-file",
                          PasswordFile(0400)});
    ASSERT_TRUE(bridge->WaitForStderr("listening on " + Listen(), kStepMs));
    Peer caller("127.0.0.1", m_sipPort), stranger("127.0.0.5", m_sipPort);
    Dialog call("the-call", "c1");
    caller.Send("INVITE", call);
    const std::string progress = caller.Expect(183, kStepMs);
    ASSERT_FALSE(progress.empty()) << bridge->Stderr();
    call.toTag = ToTagOf(progress);
    call.cseq = 2;

    stranger.Send("BYE", call);
    EXPECT_EQ(stranger.Statuses(1000), (std::map<int, int>{{403, 1}}));
    Peer second("127.0.0.1", m_sipPort);
    for (const char* id : {"second-1", "second-2", "second-3"})
        second.Send("INVITE", Dialog(id, id));
    EXPECT_EQ(second.Statuses(kRetransmitWindowMs), (std::map<int, int>{{486, 3}}));
    Peer flooder("127.0.0.4", m_sipPort);
    for (int n = 0; n < 40; ++n) flooder.Send("INVITE", Dialog("flood-" + std::to_string(n), "f"));
    EXPECT_EQ(flooder.Statuses(1000), (std::map<int, int>{{403, 20}, {503, 1}}));
    Peer garbler("127.0.0.6", m_sipPort);
    for (int n = 0; n < 200; ++n) garbler.SendRaw("NOT SIP\r\n\r\n\x1b[31m");

    EXPECT_TRUE(bridge->Running()) << bridge->Stderr();
    EXPECT_EQ(bridge->Stderr().find("call ended"), std::string::npos) << "the stranger's BYE";
    caller.Send("BYE", call);
    EXPECT_FALSE(caller.Expect(200, kStepMs).empty());
    EXPECT_TRUE(bridge->WaitForStderr("call ended: the far end hung up", kStepMs));
    ASSERT_EQ(bridge->Stop(kStepMs), 0);
    const std::string log = bridge->Stderr();
    EXPECT_EQ(Count(log, "refused a call from 127.0.0.4"), 1u) << log;
    EXPECT_EQ(Count(log, "127.0.0.4"), 1u) << log;
    EXPECT_EQ(Count(log, "refused a request (BYE) from 127.0.0.5: not the registrar (403)"), 1u)
        << log;
    EXPECT_EQ(Count(log, "refused a call from 127.0.0.1: a call is up (486)"), 1u) << log;
    EXPECT_LE(Count(log, "\n"), 40u) << log;  // 200 undecodable datagrams among them
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
}

// Mistakes in the settings end the bridge with status 78 and one line that names the key but
// never its value; a password file the owner alone may read (0400) is fine.
TEST_F(SipAgentSecurityTest, ConfigurationErrorsNeverShowAValue) {
    const std::string registrar = "127.0.0.1:" + std::to_string(FreePort());
    const std::string account = "[sip]\naccount=sip:alice@" + registrar + "\n";
    const std::string secret = kSecret;
    const struct {
        std::string lineIni;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {account + "password=" + secret + "\n", {}, "[sip] password is not read"},
        {"[sip]\n", {"--password", secret}, "password is not read: keep the password in a file"},
        {"[sip]\n" + secret + "\nlisten=" + secret + "\n", {}, "bad value for listen"},
        {"[sip]\nallow=127.0.0.3," + secret + "\n", {}, "bad value for allow"},
        {"[sip]\naccount=sip:alice:" + secret + "@" + registrar + "\n",
         {},
         "bad value for account"},
        {"[sip]\n" + secret + "=1\n", {}, "unknown key"},
        {account + "password-file=" + secret + "\n", {}, "cannot read the file password-file="},
        {account + "password-file=" + PasswordFile(0640) + "\n", {}, "no access for group"},
    };
    for (const auto& c : cases) {
        auto bridge = Bridge(c.args, c.lineIni);
        EXPECT_EQ(bridge->WaitForExit(kStepMs), kExitConfig) << c.message;
        const std::string out = bridge->Stdout() + bridge->Stderr();
        EXPECT_EQ(out.find(secret), std::string::npos) << out;
        EXPECT_EQ(Count(out, "\n"), 1u) << out;
        EXPECT_EQ(bridge->Stderr().rfind("vantoro-sipline: ", 0), 0u) << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.message << "\n" << out;
    }
    auto accepted = Bridge({"--listen", Listen(), "--socket", "/nowhere.sock"},
                           account + "password-file=" + PasswordFile(0400) + "\n");
    EXPECT_TRUE(accepted->WaitForStderr("listening on", kStepMs)) << accepted->Stderr();
    accepted->Stop(kStepMs);
}

// The program runs the bridge for an account whose password was put into line.ini: the bridge
// says why it cannot start, and the password shows nowhere, in no output and no log.
TEST(SoftLinePasswordTest, APasswordInLineIniShowsNowhere) {
    ProgramHarness harness;
    harness.SetRings(1, 1);
    WriteFile(harness.Root() / "config/vantoro/line.ini",
              "[sip]\naccount=sip:alice@127.0.0.1:" + std::to_string(FreePort()) + "\npassword=" +
                  kSecret + "\nlisten=127.0.0.1:" + std::to_string(FreePort()) + "\n");
    auto program = harness.Start();
    ASSERT_TRUE(
        program->WaitForStderr("vantoro-sipline: " + (harness.Root() / "config/vantoro/line.ini") +
                                   ": [sip] password is not read",
                               kStepMs))
        << program->Stderr();
    EXPECT_TRUE(program->WaitForStderr("the SIP bridge ended", kStepMs));
    ProgramHarness::Exit(*program);
    for (const std::string& text : {program->Stdout(), program->Stderr(), harness.Log()})
        EXPECT_EQ(text.find(kSecret), std::string::npos) << text;
}

// Without an account the bridge listens on loopback even where the host has a route out; told
// to listen on any address it takes the outward one and says that anyone there may call. In a
// network namespace of its own, where root may give the host that route.
TEST(SipListenTest, WithoutAnAccountOnlyThisHostMayCallUnlessListenSaysOtherwise) {
    if (system("unshare -n true 2>/dev/null") != 0) GTEST_SKIP() << "no network namespaces here";
    TempFolder folder;
    const std::string bridge =
        ToolPath("vantoro-sipline") + " --socket /nowhere.sock --rtp-ports 25100-25109";
    ChildProcess script({"/usr/bin/unshare", "-n", "/bin/sh", "-c",
                         "ip link set lo up && ip addr add 10.99.0.2/24 dev lo && "
                         "ip route add default via 10.99.0.1 && timeout 1 " +
                             bridge + "; timeout 1 " + bridge + " --listen 0.0.0.0:5070"},
                        {"XDG_CONFIG_HOME=" + (folder / "config")});
    ASSERT_TRUE(script.Start());
    script.WaitForExit(kStepMs);
    const std::string log = script.Stderr();
    EXPECT_NE(log.find("listening on 127.0.0.1:5060\n"), std::string::npos) << log;
    EXPECT_NE(log.find("listening on 10.99.0.2:5070\n"), std::string::npos) << log;
    EXPECT_EQ(Count(log, "anyone who reaches 10.99.0.2:5070 may call"), 1u) << log;
}

// Started with few descriptors (256), the bridge serves fewer connections than it may open:
// those past what it serves are closed, and neither spin the loop nor each write to the log.
TEST_F(SipAgentSecurityTest, ConnectionsPastTheDescriptorLimitCostLittle) {
    ChildProcess bridge({"/usr/bin/prlimit", "--nofile=256", ToolPath("vantoro-sipline"),
                         "--listen", Listen(), "--socket", "/nowhere.sock", "--transport", "tcp"},
                        {"XDG_CONFIG_HOME=" + (m_folder / "config")});
    ASSERT_TRUE(bridge.Start());
    ASSERT_TRUE(bridge.WaitForStderr("listening on", kStepMs));
    std::vector<int> connections;
    const sockaddr_in to = Ipv4("127.0.0.1", m_sipPort);
    for (int n = 0; n < 400; ++n, usleep(1000)) {  // the bridge's listen queue is short
        connections.push_back(socket(AF_INET, SOCK_STREAM, 0));
        connect(connections.back(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    EXPECT_TRUE(bridge.WaitForStderr("Max 192 fds", kStepMs)) << bridge.Stderr();
    const auto cpuTicks = [&] {
        std::ifstream stat("/proc/" + std::to_string(bridge.Pid()) + "/stat");
        std::string field;
        long ticks = 0;
        for (int n = 1; n <= 15 && stat >> field; ++n) ticks += n >= 14 ? std::stol(field) : 0;
        return ticks;
    };
    const long before = cpuTicks();
    sleep(2);  // a window to measure the CPU in, while the connections are held
    EXPECT_LT(cpuTicks() - before, sysconf(_SC_CLK_TCK) / 5) << "the loop spins";
    for (int fd : connections) close(fd);
    ASSERT_EQ(bridge.Stop(kStepMs), 0);
    EXPECT_LE(Count(bridge.Stderr(), "\n"), 25u) << bridge.Stderr();
}

}  // namespace

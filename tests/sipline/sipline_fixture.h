#pragma once
// What the SIP line's end-to-end tests share: a virtual modem under the headless program, and
// the bridge and sipp callers around it.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

inline constexpr int kStepMs = kProgramStepMs;
inline constexpr int kCallMs = 90000;
inline const std::string kWaiting = kWaitingLine;
inline const std::string kScenarios = SIPLINE_TEST_DIR;
// A bridge's SIP address where the system chooses the port: no other test can take it meanwhile.
inline const std::string kAnyLoopbackPort = "127.0.0.1:0";

inline sockaddr_in Ipv4(uint32_t address, int port = 0) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(address);
    addr.sin_port = htons(uint16_t(port));
    return addr;
}

inline sockaddr_in Ipv4(const std::string& address, int port) {
    sockaddr_in addr = Ipv4(INADDR_ANY, port);
    inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    return addr;
}

// A port nobody uses now, for SIP or a sipp media port.
inline int FreePort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = Ipv4(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// An even port with the `count` ports from it unused now, for RTP: the even neighbour of a free
// port may be taken by another test running at the same time.
inline int FreePorts(int count) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int first = FreePort() & ~1;
        std::vector<int> fds;
        bool free = first + count <= 65536;
        for (int port = first; free && port < first + count; ++port) {
            fds.push_back(socket(AF_INET, SOCK_DGRAM, 0));
            sockaddr_in addr = Ipv4(INADDR_LOOPBACK, port);
            free = bind(fds.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        }
        for (int fd : fds) close(fd);
        if (free) return first;
    }
    return 0;
}

// The SIP port of the ready line of a bridge writing to `process`'s standard error (the bridge, or
// the program whose line library started it); 0 when it did not come in time.
inline int ReadyPort(ChildProcess& process) {
    const std::string ready = "vantoro-sipline: ready, SIP on ";
    if (!process.WaitForStderr(ready, kStepMs)) return 0;
    const std::string& log = process.Stderr();
    const size_t end = log.find('\n', log.rfind(ready));
    const size_t colon = log.rfind(':', end);
    return std::atoi(log.substr(colon + 1, end - colon - 1).c_str());
}

class SipLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_modem.Start());
        m_harness.UseModem(m_modem.LinkPath());
        m_harness.SetRings(m_rings, 1);
        if (m_fastFax) {
            const std::string ini = m_harness.Home() + "/vantoro.ini";
            WriteFile(ini, ReadFile(ini) + "[fax]\nmode=fast\n");
        }
        ASSERT_TRUE(m_harness.UseShortGreeting());  // recording begins 7.6 s after the answer
        m_program = m_harness.Start();
        ASSERT_TRUE(m_program->WaitForStdoutLine(kWaiting, kStepMs)) << m_program->Stderr();
    }
    void TearDown() override {
        if (m_program) {
            EXPECT_EQ(ProgramHarness::Exit(*m_program), 0);
        }
        if (m_bridge && m_bridge->Running()) {
            EXPECT_EQ(m_bridge->Stop(kStepMs), 0);
        }
    }

    std::string Sip() const { return "127.0.0.1:" + std::to_string(m_sipPort); }
    // The bridge with the folders of the program (its line.ini) and `args`; it listens unless
    // `listening` is false.
    std::unique_ptr<ChildProcess> Bridge(std::vector<std::string> args, bool listening = true) {
        const int rtp = m_rtpBase = FreePorts(10);
        args.insert(args.begin(), ToolPath("vantoro-sipline"));
        args.insert(args.end(),
                    {"--rtp-ports", std::to_string(rtp) + "-" + std::to_string(rtp + 9)});
        auto bridge = std::make_unique<ChildProcess>(
            args, std::vector<std::string>{"XDG_CONFIG_HOME=" + (m_root / "config")});
        EXPECT_TRUE(bridge->Start());
        if (listening) {
            m_bridgePort = ReadyPort(*bridge);
            EXPECT_NE(m_bridgePort, 0) << bridge->Stderr();
        }
        return bridge;
    }
    // The bridge that answers on the modem's line socket; Sip() is where it takes calls.
    std::unique_ptr<ChildProcess> AnsweringBridge(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--listen", kAnyLoopbackPort, "--socket", m_modem.SocketPath()});
        auto bridge = Bridge(args);
        m_sipPort = m_bridgePort;
        return bridge;
    }
    // sipp on a scenario of this folder, its `[name]`s replaced by `values` (sipp takes no
    // keyword in an rtp_stream), calling the bridge from `from`, or serving on `port`, over
    // `transport` (sipp's -t).
    std::unique_ptr<ChildProcess> Sipp(
        const std::string& scenario, const std::vector<std::pair<std::string, std::string>>& values,
        const std::string& from = "127.0.0.1", int port = 0, const std::string& transport = "u1") {
        std::string text = ReadFile(kScenarios + "/" + scenario);
        for (const auto& [name, value] : values) {
            for (size_t at; (at = text.find("[" + name + "]")) != std::string::npos;)
                text.replace(at, name.size() + 2, value);
        }
        const std::string path = m_root / (scenario + std::to_string(++m_sipps));
        WriteFile(path, text);
        // sipp redraws its screen on stdout all the time: a file takes it, not a pipe.
        const std::string command = "exec sipp " + (port ? std::string() : Sip()) + " -sf " + path +
                                    " -m 1 -s fax -t " + transport + " -i " + from + " -p " +
                                    std::to_string(port ? port : FreePort()) + " -mp " +
                                    std::to_string(FreePorts(4)) +
                                    " -nostdin -timeout 80s -timeout_error >" + path + ".out";
        auto sipp =
            std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", command});
        EXPECT_TRUE(sipp->Start());
        return sipp;
    }
    // sipp speaking 3 s of a 700 Hz tone 10 s after the answer, as PCMU (payload type 0) or
    // PCMA (8).
    std::unique_ptr<ChildProcess> ToneCaller(const std::string& pt,
                                             const std::string& from = "127.0.0.1") {
        const std::string wav = m_root / ("tone" + pt + ".wav");
        const std::string law = pt == "0" ? "u-law" : "a-law";
        EXPECT_EQ(system(("sox -n -r 8000 -c 1 -e " + law + " " + wav + " synth 3 sine 700 vol 0.5")
                             .c_str()),
                  0);
        return Sipp("caller.xml", {{"pt", pt}, {"wav", wav}, {"quiet_ms", "7000"}}, from);
    }
    // A password file as the bridge accepts it.
    std::string PasswordFile(const std::string& password) {
        const std::string path = m_root / "sip-password";
        WriteFile(path, password + "\n");
        chmod(path.c_str(), 0600);
        return path;
    }
    bool WaitAfter(size_t from, const std::string& line, int timeoutMs) {
        return m_program->WaitForStdoutLine(line, timeoutMs, from);
    }
    size_t Lines() const { return m_program->StdoutLines().size(); }
    std::string StatusLines() const {
        std::string all;
        for (const std::string& line : m_program->StdoutLines()) all += line + "\n";
        return all;
    }
    // A message call from `caller`: the program's lines from `from` on are one answered call.
    void ExpectMessageCall(ChildProcess& caller, size_t from) {
        // The first ring shows twice: as the call is offered, and as it rings.
        std::vector<std::string> expected(size_t(m_rings) + 1, "电话机振铃...");
        expected.insert(expected.end(), {"正在应答呼叫", "正在播放欢迎词", "正在录制留言",
                                         "对方已经挂机", kWaiting});
        EXPECT_EQ(caller.WaitForExit(kCallMs), 0) << caller.Stderr();
        ASSERT_TRUE(WaitAfter(from, kWaiting, kStepMs));
        std::vector<std::string> lines = m_program->StdoutLines();
        EXPECT_EQ(std::vector<std::string>(lines.begin() + long(from), lines.end()), expected);
    }

    int m_rings = 1;         // the program answers at this ring
    bool m_fastFax = false;  // the program receives in [fax] mode=fast (V.17, ECM, MMR)
    ModemHarness m_modem{600};
    ProgramHarness m_harness;
    const TempFolder& m_root = m_harness.Root();
    // Where the answering bridge takes calls: a port the system chose, read back from it.
    int m_sipPort = 0;
    int m_bridgePort = 0;  // the last bridge's SIP port
    int m_sipps = 0;
    int m_rtpBase = 0;  // the last bridge's RTP ports are the ten from here
    std::unique_ptr<ChildProcess> m_program;
    std::unique_ptr<ChildProcess> m_bridge;
};

// An INVITE flood against the answering bridge during a fax call: spandsp's fax machine calls
// the soft modem (vantoro-vmodem --answer-fax) through two bridges on loopback, and once the call
// is up one address (127.0.0.9) sends 20,000 INVITEs in about 9 s, each a new call. Printed:
// whether the fax completed, the answering bridge's memory growth and CPU seconds over the
// flood, and how many packets it sent back per INVITE.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

#include "tests/support/fax_pages.h"
#include "tests/support/modem_harness.h"

namespace {

constexpr int kInvites = 20000;
constexpr int kFloodMs = 9000;
constexpr int kBatchMs = 10;
constexpr int kSettleMs = 2000;
constexpr double kRssGoalMb = 5;
constexpr double kCpuGoalS = 2;
constexpr char kFloodAddress[] = "127.0.0.9";
constexpr int kAnsweringPort = 25072;

double CpuSeconds(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    schedstat >> ns;
    return ns / 1e9;
}

// A field of /proc/PID/status in kB (VmRSS, VmHWM).
double StatusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1));
    }
    return -1;
}

std::string Invite(int n, int fromPort) {
    const std::string id = std::to_string(n), from = kFloodAddress;
    const std::string to = "sip:fax@127.0.0.1:" + std::to_string(kAnsweringPort);
    const std::string sdp = "v=0\r\no=flood " + id + " 1 IN IP4 " + from + "\r\ns=-\r\nc=IN IP4 " +
                            from + "\r\nt=0 0\r\nm=audio 40000 RTP/AVP 0\r\n";
    return "INVITE " + to + " SIP/2.0\r\nVia: SIP/2.0/UDP " + from + ":" +
           std::to_string(fromPort) + ";branch=z9hG4bK-flood-" + id +
           ";rport\r\nFrom: <sip:5550000@" + from + ">;tag=f" + id + "\r\nTo: <" + to +
           ">\r\nCall-ID: flood-" + id + "@" + from + "\r\nCSeq: 1 INVITE\r\nContact: <sip:flood@" +
           from + ":" + std::to_string(fromPort) +
           ">\r\nMax-Forwards: 70\r\nContent-Type: application/sdp\r\nContent-Length: " +
           std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

struct Flood {
    int sent = 0;
    int answers = 0;
    std::map<std::string, int> byStatus;
};

void Drain(int fd, Flood& flood) {
    char reply[4096];
    for (ssize_t got; (got = recv(fd, reply, sizeof reply, MSG_DONTWAIT)) > 0;) {
        ++flood.answers;
        const std::string text(reply, size_t(got));
        ++flood.byStatus[text.substr(8, 3)];
    }
}

// The INVITEs at an even pace from one socket, counting what comes back to it.
Flood FloodFrom(const char* address) {
    Flood flood;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in me{}, to{};
    me.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, address, &me.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(kAnsweringPort);
    socklen_t length = sizeof me;
    if (bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&me), &length) != 0)
        return flood;
    const int port = ntohs(me.sin_port);
    const auto start = std::chrono::steady_clock::now();
    const int batches = kFloodMs / kBatchMs;
    for (int batch = 0; batch < batches; ++batch) {
        for (; flood.sent < kInvites * (batch + 1) / batches; ++flood.sent) {
            const std::string invite = Invite(flood.sent, port);
            sendto(fd, invite.data(), invite.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to);
        }
        Drain(fd, flood);
        std::this_thread::sleep_until(start + std::chrono::milliseconds(kBatchMs * (batch + 1)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    Drain(fd, flood);
    close(fd);
    return flood;
}

// A bridge that reads no line.ini of the user's.
std::unique_ptr<ChildProcess> Bridge(const TempFolder& folder, std::vector<std::string> args) {
    args.insert(args.begin(), ToolPath("vantoro-sipline"));
    auto bridge = std::make_unique<ChildProcess>(
        args, std::vector<std::string>{"XDG_CONFIG_HOME=" + (folder / "config")});
    if (!bridge->Start() || !bridge->WaitForStderr("listening on", 5000)) return nullptr;
    return bridge;
}

}  // namespace

int main() {
    ModemHarness modem(1000, {"--answer-fax", "/dev/null"});
    if (!modem.Start()) return 1;
    const TempFolder& folder = modem.Folder();
    const std::string page = folder / "page.tif";
    if (!WriteTiff(page, {SparsePage(1100, 1)}, false)) return 1;
    auto answering = Bridge(folder, {"--listen", "127.0.0.1:" + std::to_string(kAnsweringPort),
                                     "--socket", modem.SocketPath(), "--rtp-ports", "25040-25049"});
    auto dialling =
        Bridge(folder, {"--listen", "127.0.0.1:25074", "--dial",
                        "sip:fax@127.0.0.1:" + std::to_string(kAnsweringPort), "--accept-socket",
                        folder / "dial.sock", "--rtp-ports", "25050-25059"});
    if (!answering || !dialling) return 1;
    ChildProcess caller(
        {ToolPath("vantoro-call"), "--socket", folder / "dial.sock", "--fax", page});
    if (!caller.Start() || !answering->WaitForStderr("-> connected", 30000)) {
        std::fprintf(stderr, "bench_sipline_flood: no call\n%s", answering->Stderr().c_str());
        return 1;
    }
    const pid_t pid = answering->Pid();
    const double rss0 = StatusKb(pid, "VmRSS"), cpu0 = CpuSeconds(pid);
    const Flood flood = FloodFrom(kFloodAddress);
    const double rss1 = StatusKb(pid, "VmRSS"), peak = StatusKb(pid, "VmHWM");
    const double cpu = CpuSeconds(pid) - cpu0;
    const bool faxed = caller.WaitForExit(180000) == 0 && !caller.StdoutLines().empty() &&
                       caller.StdoutLines().back().rfind("RESULT fax ok pages=1", 0) == 0;
    answering->Stop(5000);
    const double growthMb = (rss1 - rss0) / 1024;
    std::printf("INVITE flood: %d INVITEs from %s in %.0f s during a fax call\n", flood.sent,
                kFloodAddress, kFloodMs / 1000.0);
    std::printf("fax completed: %s\n", faxed ? "yes" : "no");
    std::printf("bridge RSS growth: %.2f MB (%.1f -> %.1f MB, peak %.1f MB; goal < %.0f MB)\n",
                growthMb, rss0 / 1024, rss1 / 1024, peak / 1024, kRssGoalMb);
    std::printf("bridge CPU seconds over the flood: %.2f (goal < %.0f)\n", cpu, kCpuGoalS);
    std::printf("packets sent back per INVITE: %.4f (", double(flood.answers) / flood.sent);
    for (const auto& [status, count] : flood.byStatus)
        std::printf(" %s x %d", status.c_str(), count);
    std::printf(" )\n");
    size_t logLines = 0;
    for (char c : answering->Stderr()) logLines += c == '\n';
    std::printf("bridge log lines in all: %zu\n", logLines);
    return faxed && growthMb < kRssGoalMb && cpu < kCpuGoalS ? 0 : 1;
}

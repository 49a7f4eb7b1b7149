// The SIP bridge measured against the virtual line it stands in for: spandsp's fax machine on the
// soft modem (vantoro-vmodem --answer-fax) is called once directly and once through two bridges
// (one dialling, one answering) on loopback. Printed: the answering bridge's CPU seconds per
// second during a call, the delay the bridges add to the answer tone, and the time of a 1-page
// fax both ways.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/support/fax_pages.h"
#include "tests/support/modem_harness.h"

namespace {

constexpr double kCpuGoal = 0.005;
constexpr double kFaxTimeGoal = 1.05;
constexpr int kJitterMs = 60;
constexpr int kAnswerToneHz = 2100;

// CPU seconds a process has run, from the scheduler's nanosecond account.
double CpuSeconds(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    schedstat >> ns;
    return ns / 1e9;
}

struct Run {
    double faxSeconds = -1, toneAt = -1, bridgeCpu = -1;
};

// One fax call on `socket`; with `bridge`, its CPU share from 5 s to 15 s into the call.
Run Fax(ModemHarness& modem, const std::string& socket, const std::string& page,
        ChildProcess* bridge) {
    Run run;
    const std::string heard = modem.Folder() / "heard.wav";
    const auto start = std::chrono::steady_clock::now();
    ChildProcess caller(
        {ToolPath("vantoro-call"), "--socket", socket, "--fax", page, "--record", heard});
    if (!caller.Start()) return run;
    if (bridge) {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const double cpu0 = CpuSeconds(bridge->Pid());
        std::this_thread::sleep_for(std::chrono::seconds(10));
        run.bridgeCpu = (CpuSeconds(bridge->Pid()) - cpu0) / 10;
    }
    if (caller.WaitForExit(180000) != 0 ||
        caller.StdoutLines().back().rfind("RESULT fax ok pages=1", 0) != 0)
        return run;
    run.faxSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The answer tone's start, to the 10 ms.
    run.toneAt = FindTone(ReadSamples(heard), kAnswerToneHz, 0, 0.01).start;
    return run;
}

std::unique_ptr<ChildProcess> Bridge(std::vector<std::string> args) {
    args.insert(args.begin(), ToolPath("vantoro-sipline"));
    auto bridge = std::make_unique<ChildProcess>(args);
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
    const Run direct = Fax(modem, modem.SocketPath(), page, nullptr);

    auto answering =
        Bridge({"--listen", "127.0.0.1:25062", "--socket", modem.SocketPath(), "--rtp-ports",
                "25000-25009", "--jitter-ms", std::to_string(kJitterMs)});
    auto dialling = Bridge({"--listen", "127.0.0.1:25064", "--dial", "sip:fax@127.0.0.1:25062",
                            "--accept-socket", folder / "dial.sock", "--rtp-ports", "25010-25019",
                            "--jitter-ms", std::to_string(kJitterMs)});
    if (!answering || !dialling) return 1;
    const Run sip = Fax(modem, folder / "dial.sock", page, answering.get());
    if (direct.faxSeconds < 0 || sip.faxSeconds < 0) {
        std::fprintf(stderr, "bench_sipline: a fax failed\n%s", answering->Stderr().c_str());
        return 1;
    }
    const double addedMs = (sip.toneAt - direct.toneAt) * 1000;
    std::printf("bridge CPU seconds per second during a call: %.4f (goal <= %.3f)\n", sip.bridgeCpu,
                kCpuGoal);
    std::printf("delay added to the answer tone: %.0f ms (goal <= %d ms, jitter-ms + 20)\n",
                addedMs, kJitterMs + 20);
    std::printf("1-page fax: over SIP %.1f s, virtual line %.1f s, ratio %.3f (goal <= %.2f)\n",
                sip.faxSeconds, direct.faxSeconds, sip.faxSeconds / direct.faxSeconds,
                kFaxTimeGoal);
    return sip.bridgeCpu <= kCpuGoal && addedMs <= kJitterMs + 20 &&
                   sip.faxSeconds / direct.faxSeconds <= kFaxTimeGoal
               ? 0
               : 1;
}

#include "tests/support/modem_harness.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

std::string ToolPath(const std::string& name) { return BuildFolder() + "/" + name; }

ModemHarness::ModemHarness(int ringIntervalMs, std::vector<std::string> extraArgs)
    : m_ringIntervalMs(ringIntervalMs), m_extraArgs(std::move(extraArgs)) {}

bool ModemHarness::Start() {
    std::vector<std::string> argv = {ToolPath("vantoro-vmodem"),
                                     "--link",
                                     LinkPath(),
                                     "--socket",
                                     SocketPath(),
                                     "--ring-interval",
                                     std::to_string(m_ringIntervalMs)};
    // The tests were written against a modem that reports the caller's hang-up itself.
    if (std::find(m_extraArgs.begin(), m_extraArgs.end(), "--personality") == m_extraArgs.end())
        argv.insert(argv.end(), {"--personality", "ideal"});
    argv.insert(argv.end(), m_extraArgs.begin(), m_extraArgs.end());
    m_modem = std::make_unique<ChildProcess>(argv);
    if (!m_modem->Start()) return false;
    long long deadline = MonotonicMs() + 5000;
    while (MonotonicMs() < deadline && (!FileExists(LinkPath()) || !FileExists(SocketPath())))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return FileExists(LinkPath()) && FileExists(SocketPath());
}

std::unique_ptr<ChildProcess> ModemHarness::Call(std::vector<std::string> args) {
    std::vector<std::string> argv = {ToolPath("vantoro-call"), "--socket", SocketPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto call = std::make_unique<ChildProcess>(argv);
    call->Start();
    return call;
}

bool WriteToneWav(const std::string& path, double seconds, int hz, int rate) {
    std::string cmd = "sox -q -n -r " + std::to_string(rate) + " -b 16 -c 1 '" + path + "' synth " +
                      std::to_string(seconds) + " sine " + std::to_string(hz) + " vol 0.5";
    return std::system(cmd.c_str()) == 0;
}

std::vector<int16_t> ReadSamples(const std::string& path) {
    std::string bytes = ReadFile(path);
    size_t data = bytes.find("data");
    if (data == std::string::npos) return {};
    std::vector<int16_t> samples((bytes.size() - data - 8) / 2);
    std::memcpy(samples.data(), bytes.data() + data + 8, samples.size() * 2);
    return samples;
}

double Rms(const std::vector<int16_t>& samples, double from, double to) {
    constexpr int kRate = 8000;
    double sum = 0;
    size_t first = size_t(from * kRate), last = std::min(samples.size(), size_t(to * kRate));
    for (size_t i = first; i < last; ++i) sum += double(samples[i]) * samples[i];
    return last > first ? std::sqrt(sum / double(last - first)) : 0;
}

bool FaxCall::Start(std::vector<Page> sentPages, bool fineResolution,
                    std::vector<std::string> callerArgs) {
    pages = std::move(sentPages);
    fine = fineResolution;
    std::string tiff = modem.Folder() / "sent.tif";
    if (!WriteTiff(tiff, pages, fine) || !modem.Start()) return false;
    callerArgs.insert(callerArgs.begin(), {"--fax", tiff});
    caller = modem.Call(callerArgs);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the call rings
    receiver = std::make_unique<ChildProcess>(std::vector<std::string>{
        ToolPath("vantoro-faxrx"), "--log", LogPath(), modem.LinkPath(), Raw()});
    return caller->Running() && receiver->Start();
}

void FaxCall::Wait(int receiverTimeoutMs) {
    if (!receiver) return;
    receiverExit = receiver->WaitForExit(receiverTimeoutMs);
    callerExit = caller->WaitForExit(30000);
}

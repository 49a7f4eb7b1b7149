#include "tests/support/modem_harness.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/serial_port.h"

std::string ToolPath(const std::string& name) { return BuildFolder() + "/" + name; }

ModemHarness::ModemHarness(int ringIntervalMs, std::vector<std::string> extraArgs)
    : m_ringIntervalMs(ringIntervalMs), m_extraArgs(std::move(extraArgs)) {}

ModemHarness::~ModemHarness() {
    if (m_fd >= 0) close(m_fd);
}

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

bool ModemHarness::OpenPty() {
    m_fd = platform::SerialOpenRaw(LinkPath().c_str(), 115200);
    return m_fd >= 0;
}

void ModemHarness::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        pollfd pfd{m_fd, POLLOUT, 0};
        poll(&pfd, 1, 100);
    }
}

bool ModemHarness::ReadSome(int timeoutMs) {
    pollfd pfd{m_fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0) return false;
    char buf[8192];
    ssize_t n = read(m_fd, buf, sizeof(buf));
    if (n <= 0) return false;
    m_buffer.append(buf, size_t(n));
    return true;
}

bool ModemHarness::Expect(const std::string& text, int timeoutMs, std::string* got) {
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        size_t at = m_buffer.find(text);
        if (at != std::string::npos) {
            size_t end = at + text.size();
            if (got) *got = m_buffer.substr(0, end);
            m_buffer.erase(0, end);
            return true;
        }
        long long left = deadline - MonotonicMs();
        if (left <= 0) return false;
        ReadSome(int(left));
    }
}

std::string ModemHarness::ReadFor(int ms) {
    long long deadline = MonotonicMs() + ms;
    for (long long left; (left = deadline - MonotonicMs()) > 0;) ReadSome(int(left));
    std::string out;
    out.swap(m_buffer);
    return out;
}

std::string ModemHarness::Command(const std::string& command, int timeoutMs) {
    Send(command + "\r");
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        for (std::string final : {"OK\r\n", "ERROR\r\n", "VCON\r\n", "CONNECT\r\n"}) {
            size_t at = m_buffer.find(final);
            if (at != std::string::npos) {
                std::string got = m_buffer.substr(0, at + final.size());
                m_buffer.erase(0, got.size());
                return got;
            }
        }
        long long left = deadline - MonotonicMs();
        if (left <= 0) {
            std::string got;
            got.swap(m_buffer);
            return got;
        }
        ReadSome(int(left));
    }
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

bool WriteSpeechWav(const std::string& path, const std::string& words) {
    const std::string command = "espeak-ng -w '" + path + ".22k.wav' '" + words + "' && sox -q '" +
                                path + ".22k.wav' -r 8000 -b 16 -c 1 '" + path + "'";
    return std::system(command.c_str()) == 0;
}

std::string Unshield(const std::string& stream, std::string* events) {
    std::string out;
    for (size_t i = 0; i < stream.size(); ++i) {
        if (stream[i] != '\x10') {
            out.push_back(stream[i]);
            continue;
        }
        if (++i >= stream.size()) break;
        char c = stream[i];
        if (c == '\x10')
            out.push_back('\x10');
        else if (c == '\x1a')
            out.append("\x10\x10");
        else if (c == '\x03')
            break;
        else if (events)
            events->push_back(c);
    }
    return out;
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

std::pair<double, double> LoudSpan(const std::vector<int16_t>& samples, double rms) {
    double first = -1, last = 0;
    for (size_t at = 0; at + 160 <= samples.size(); at += 160) {
        if (Rms(samples, double(at) / 8000, double(at + 160) / 8000) <= rms) continue;
        if (first < 0) first = double(at) / 8000;
        last = double(at + 160) / 8000;
    }
    return {std::max(first, 0.0), last};
}

HeardTone FindTone(const std::vector<int16_t>& samples, double hz, double from,
                   double windowSeconds) {
    constexpr int kRate = 8000;
    const size_t window = std::max<size_t>(1, size_t(windowSeconds * kRate));
    const double k = 2 * std::cos(2 * M_PI * hz / kRate);
    HeardTone heard;
    for (size_t at = size_t(from * kRate); at + window <= samples.size(); at += window) {
        double s1 = 0, s2 = 0, energy = 0;
        for (size_t i = at; i < at + window; ++i) {
            const double s0 = samples[i] + k * s1 - s2;
            s2 = s1;
            s1 = s0;
            energy += double(samples[i]) * samples[i];
        }
        const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
        if (energy <= 0 || 2 * power / (double(window) * energy) < 0.8) continue;
        if (heard.start < 0) heard.start = double(at) / kRate;
        heard.seconds += double(window) / kRate;
    }
    return heard;
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
    std::vector<std::string> argv = {ToolPath("vantoro-faxrx"), "--log", LogPath()};
    argv.insert(argv.end(), receiverOptions.begin(), receiverOptions.end());
    argv.insert(argv.end(), {modem.LinkPath(), Raw()});
    receiver = std::make_unique<ChildProcess>(argv);
    return caller->Running() && receiver->Start();
}

void FaxCall::Wait(int receiverTimeoutMs) {
    if (!receiver) return;
    receiverExit = receiver->WaitForExit(receiverTimeoutMs);
    callerExit = caller->WaitForExit(30000);
}

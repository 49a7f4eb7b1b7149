// The line library's hang-up detector: its CPU seconds per second of recording, and, on the
// Conexant virtual modem (which never reports a hang-up), for each tone the line may carry
// after the caller's hang-up, the seconds from the hang-up to the end of the call and how much
// of the line after the caller's last sound is left at the end of the stored message.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "tapi/hangup_detector.h"
#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr double kGoal = 0.01;  // the whole program while recording, CPU s per s
constexpr int kRate = 8000;
constexpr double kBenchSeconds = 600;
// The recording begins about 14 s after the answer: a quiet start, then talk to the hang-up.
constexpr double kTalkFromS = 16, kHangupAfterS = 20;
constexpr double kTailGoalS = 0.5;

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Speech-like received audio: a voiced sound with its harmonics, words and pauses.
double DetectorCpuPerSecond() {
    std::vector<int16_t> second(kRate);
    tapi::HangupDetector detector(8);
    double start = ThreadCpuSeconds();
    for (int s = 0; s < int(kBenchSeconds); ++s) {
        for (int i = 0; i < kRate; ++i) {
            double t = double(s * kRate + i) / kRate, value = 0;
            for (int h = 1; h <= 8; ++h) value += 2000.0 / h * std::sin(2 * M_PI * 140 * h * t);
            second[i] = static_cast<int16_t>(i < kRate * 3 / 4 ? value : 0);
        }
        for (int16_t sample : second) detector.Listen(sample);
        if (detector.Heard() != tapi::HangupDetector::Verdict::None) detector.Reset();
    }
    return (ThreadCpuSeconds() - start) / kBenchSeconds;
}

struct HangupRun {
    double secondsToEnd = -1;  // from the caller's hang-up to the call's end
    double tailSeconds = -1;   // the message after the caller's last sound
};

// The caller talks (a 1 kHz tone) from soon after the recording begins until it hangs up.
HangupRun RunHangup(const std::string& hangupTone) {
    HangupRun run;
    ModemHarness modem(600, {"--personality", "cx93010", "--hangup-tone", hangupTone});
    if (!modem.Start()) return run;
    ProgramHarness program;
    program.UseModem(modem.LinkPath());
    program.SetRings(1);
    auto vantoro = program.Start();
    if (!vantoro->WaitForStdoutLine(kWaitingLine, kProgramStepMs)) return run;
    const std::string talk = program.Root() / "talk.wav";
    if (!WriteToneWav(talk, kHangupAfterS, 1000)) return run;
    auto caller = modem.Call({"--say", talk, "--say-after", std::to_string(kTalkFromS),
                              "--hangup-after", std::to_string(kHangupAfterS)});
    if (!vantoro->WaitForStdoutLine("正在录制留言", 30000)) return run;
    if (caller->WaitForExit(30000) != 0) return run;
    auto hungUp = std::chrono::steady_clock::now();
    if (!vantoro->WaitForStdoutLine("对方已经挂机", 30000)) return run;
    auto ended = std::chrono::steady_clock::now();
    run.secondsToEnd = std::chrono::duration<double>(ended - hungUp).count();
    const std::vector<std::string> messages = program.WaitForFiles("wav", ".wav", 1, 10000);
    ProgramHarness::Exit(*vantoro);
    if (messages.size() != 1) {
        std::fprintf(stderr, "no message stored:\n%s\n", program.Log().c_str());
        return run;
    }
    const std::vector<int16_t> message = ReadSamples(messages[0]);
    const HeardTone talked = FindTone(message, 1000);
    if (talked.start < 0) return run;
    run.tailSeconds = double(message.size()) / kRate - (talked.start + talked.seconds);
    return run;
}

}  // namespace

int main() {
    double cpu = DetectorCpuPerSecond();
    std::printf(
        "hang-up detector CPU seconds per second of recording: %.5f (program goal <= %.2f)\n", cpu,
        kGoal);
    bool ok = cpu <= kGoal;
    for (const char* tone : {"cn-busy", "us-reorder", "eu-busy", "dialtone", "silence"}) {
        const HangupRun run = RunHangup(tone);
        const double goal = std::string(tone) == "silence" ? 9 : 5;
        std::printf(
            "cx93010 --hangup-tone %-10s  hang-up to end of call: %5.2f s (goal <= %.0f), "
            "left in the message after the caller: %5.2f s (goal <= %.1f)\n",
            tone, run.secondsToEnd, goal, run.tailSeconds, kTailGoalS);
        ok = ok && run.secondsToEnd >= 0 && run.secondsToEnd <= goal && run.tailSeconds >= -0.1 &&
             run.tailSeconds <= kTailGoalS;
    }
    return ok ? 0 : 1;
}

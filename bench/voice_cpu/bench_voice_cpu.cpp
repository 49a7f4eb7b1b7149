// CPU seconds the program spends per wall second while it plays the greeting and while it
// records a message, on the virtual modem in real time; the virtual modem's figure beside it.
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/modem_harness.h"

namespace {

constexpr double kGoal = 0.01;

// User plus system CPU seconds of a running process, from /proc.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
        if (index >= 14) ticks += std::stod(field);  // utime, stime
    }
    return ticks / double(sysconf(_SC_CLK_TCK));
}

struct Share {
    double program, modem;
};

// The CPU share of both processes over `seconds` of wall time.
Share Measure(ChildProcess& program, ChildProcess& modem, double seconds) {
    double program0 = CpuSeconds(program.Pid()), modem0 = CpuSeconds(modem.Pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return {(CpuSeconds(program.Pid()) - program0) / seconds,
            (CpuSeconds(modem.Pid()) - modem0) / seconds};
}

}  // namespace

int main() {
    ModemHarness modem(600);
    if (!modem.Start()) return 1;
    const TempFolder& folder = modem.Folder();
    WriteFile(folder / "vantoro.ini", "[vantoro]\nring=1\ntime=5\n");
    std::string talk = folder / "talk.wav";
    if (!WriteToneWav(talk, 10, 700)) return 1;
    ChildProcess program({ToolPath("vantoro"), "--headless", "--home", folder.Path()},
                         {"XDG_RUNTIME_DIR=" + folder.Path(), "XDG_STATE_HOME=" + (folder / "st"),
                          "VANTORO_MODEM=" + modem.LinkPath(), "TMPDIR=" + folder.Path()});
    if (!program.Start() || !program.WaitForStdoutLine("等待呼叫...", 10000)) return 1;
    auto caller = modem.Call({"--say", talk, "--say-after", "15", "--hangup-after", "27"});
    if (!program.WaitForStdoutLine("正在播放欢迎词", 20000)) return 1;
    Share greeting = Measure(program, modem.Process(), 7.0);
    if (!program.WaitForStdoutLine("正在录制留言", 20000)) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Share recording = Measure(program, modem.Process(), 10.0);
    caller->WaitForExit(30000);
    program.Stop(5000);

    std::printf("vantoro CPU seconds per second, greeting:  %.4f (goal <= %.2f; vmodem %.4f)\n",
                greeting.program, kGoal, greeting.modem);
    std::printf("vantoro CPU seconds per second, recording: %.4f (goal <= %.2f; vmodem %.4f)\n",
                recording.program, kGoal, recording.modem);
    return greeting.program <= kGoal && recording.program <= kGoal ? 0 : 1;
}

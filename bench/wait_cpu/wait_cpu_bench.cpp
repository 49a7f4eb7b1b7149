// CPU used by the program's timed wait, next to the old spinning wait, over the same 5 s.

#include <sys/resource.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "line/tapi_line.h"
#include "platform/clock.h"
#include "platform/messages.h"

namespace {

constexpr uint32_t kWaitMs = 5000;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

template <typename Wait>
double CpuShare(Wait wait) {
    double cpuBefore = CpuSeconds();
    uint32_t start = platform::TickCountMs();
    wait();
    double wall = platform::TicksSince(start, platform::TickCountMs()) / 1000.0;
    return (CpuSeconds() - cpuBefore) / wall;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    CTapiLine line;

    double blocking = CpuShare([&] { line.Wait(kWaitMs); });
    double spinning = CpuShare([] {
        uint32_t start = platform::TickCountMs();
        while (!platform::TickDeadlinePassed(start, kWaitMs)) platform::PumpOneMessage();
    });
    std::printf("5 s wait: CPU share %.4f (blocking wait) vs %.4f (spinning wait)\n", blocking,
                spinning);
    std::printf("ratio spinning/blocking: %.0fx\n", spinning / (blocking > 1e-6 ? blocking : 1e-6));
    return 0;
}

// CPU time of vantoro-faxrx per second of fax reception, against the virtual modem and spandsp's
// calling fax machine in real time; the virtual modem's own figure is printed beside it.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tests/support/modem_harness.h"

int main(int argc, char** argv) {
    int pageCount = argc > 1 ? std::atoi(argv[1]) : 2;
    std::vector<Page> pages;
    for (int number = 0; number < pageCount; ++number) pages.push_back(SparsePage(600, number));
    FaxCall call;
    if (!call.Start(pages, false, {})) return 1;
    auto start = std::chrono::steady_clock::now();
    call.Wait();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    call.modem.Process().Stop(5000);

    double receiverCpu = call.receiver->CpuSeconds();
    double modemCpu = call.modem.Process().CpuSeconds();
    std::printf("fax of %d pages received %s in %.1f s\n", pageCount,
                call.receiverExit == 0 ? "ok" : "with an error", wall);
    std::printf("vantoro-faxrx  CPU per second of reception: %.5f (%.3f s)\n", receiverCpu / wall,
                receiverCpu);
    std::printf("vantoro-vmodem CPU per second of reception: %.5f (%.3f s, for comparison)\n",
                modemCpu / wall, modemCpu);
    std::printf("receiver / modem CPU ratio: %.3f\n", modemCpu > 0 ? receiverCpu / modemCpu : 0.0);
    return call.receiverExit == 0 ? 0 : 1;
}

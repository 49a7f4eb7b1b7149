// A page over a noisy line, received by vantoro-faxrx and by spandsp's own fax terminal at the
// same time on the same noise: the pixels each stored page differs from the page sent, and
// whether libtiff reads ours without a complaint. Usage: bench_fax_noise [--page FILE.tif]
// [SNR_DB...] (default: a sparse page of bars, 15 and 18 dB)
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/modem_harness.h"

namespace {

struct Outcome {
    bool ok = false;
    size_t pixels = 0;
    size_t rows = 0;
    std::string problems;
};

Outcome Compare(const std::string& tiff, const Page& sent) {
    Outcome outcome;
    DecodedTiff decoded = ReadTiff(tiff);
    outcome.problems = decoded.problems;
    if (decoded.pages.size() != 1) return outcome;
    outcome.ok = true;
    outcome.rows = decoded.pages[0].size();
    outcome.pixels = DifferingPixels(decoded.pages[0], sent);
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> snrs;
    Page sent = SparsePage(1100, 7);
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--page" && i + 1 < argc) {
            const DecodedTiff page = ReadTiff(argv[++i]);
            if (page.pages.empty()) return 2;
            sent = page.pages[0];
            continue;
        }
        snrs.push_back(argv[i]);
    }
    if (snrs.empty()) snrs = {"15", "18"};
    bool allWithinGoal = true;
    for (const std::string& snr : snrs) {
        TempFolder folder;
        const std::string referenceTiff = folder / "reference.tif";
        ModemHarness reference(500, {"--answer-fax", referenceTiff});
        FaxCall call;
        if (!reference.Start() || !call.Start({sent}, false, {"--snr", snr})) return 1;
        if (!WriteTiff(folder / "sent.tif", {sent}, false)) return 1;
        auto referenceCaller = reference.Call({"--fax", folder / "sent.tif", "--snr", snr});
        call.Wait();
        referenceCaller->WaitForExit(150000);
        reference.Process().Stop(5000);

        Outcome ours;
        const std::string ourTiff = folder / "ours.tif";
        ChildProcess convert({ToolPath("vantoro-rawtotiff"), call.Raw(), ourTiff});
        if (call.receiverExit == 0 && convert.Start() && convert.WaitForExit(30000) == 0)
            ours = Compare(ourTiff, sent);
        const Outcome theirs = Compare(referenceTiff, sent);
        std::printf(
            "%s dB: program %s, %zu rows, %zu pixels differ%s%s\n", snr.c_str(),
            ours.ok ? "ok" : "failed", ours.rows, ours.pixels,
            ours.problems.empty() ? "" : "; libtiff: ", ours.problems.substr(0, 200).c_str());
        std::printf("%s dB: spandsp terminal %s, %zu rows, %zu pixels differ (%zu rows sent)\n",
                    snr.c_str(), theirs.ok ? "ok" : "failed", theirs.rows, theirs.pixels,
                    sent.size());
        const double ratio = theirs.pixels ? double(ours.pixels) / double(theirs.pixels) : 0;
        std::printf("%s dB: damage ratio program / spandsp %.3f (goal <= 0.5)\n", snr.c_str(),
                    ratio);
        allWithinGoal =
            allWithinGoal && ours.ok && ours.problems.empty() && 2 * ours.pixels <= theirs.pixels;
    }
    return allWithinGoal ? 0 : 1;
}

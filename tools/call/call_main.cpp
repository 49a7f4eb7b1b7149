#include <cstdio>
#include <cstdlib>
#include <string>

#include "line_protocol/line_protocol.h"
#include "tools/call/caller.h"

namespace {

void usage() {
    std::fprintf(
        stderr,
        "usage: vantoro-call [options]\n"
        "  --socket PATH              the vmodem's line socket (default %s)\n"
        "  --number DIGITS            caller id sent with the call\n"
        "  --give-up-after-rings N    hang up unanswered after N rings (default 10)\n"
        "  --hangup-after SECONDS     hang up this long after the answer\n"
        "  --say FILE.wav             speak this 8 kHz 16-bit mono WAV after the answer\n"
        "  --say-after SECONDS        start speaking the --say file this long after the answer\n"
        "  --record FILE.wav          record what the line brought (8 kHz 16-bit mono)\n"
        "  --fax FILE.tif             be a calling fax machine sending this TIFF\n"
        "  --snr DB                   white noise toward the modem at this SNR (signal -14 dBm0)\n"
        "  --rate BPS                 fax: first rate 2400, 4800, 7200 or 9600\n"
        "  --no-cng                   fax: send no calling tone\n"
        "  --v17                      fax: offer V.17 (7200 to 14400 bit/s) as well\n"
        "  --ecm                      fax: offer error correction, and MR and MMR coding\n"
        "  --coding mh|mr|mmr         fax: the best coding offered (default MH, MMR with --ecm)\n"
        "  --cng-after SECONDS        fax: start (with calling tone) this long after the answer\n"
        "  --handset-after-rings K    the telephone takes the call at ring K, before the modem\n"
        "  --trace                    log the call (and spandsp's T.30) to stderr\n",
        line_protocol::defaultSocketPath().c_str());
}

bool parseDouble(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    CallOptions options;
    bool codingGiven = false;
    options.socketPath = line_protocol::defaultSocketPath();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        double number = 0;
        if (arg == "--socket" && hasValue) {
            options.socketPath = argv[++i];
        } else if (arg == "--number" && hasValue) {
            options.number = argv[++i];
            if (options.number.find_first_not_of("0123456789") != std::string::npos) {
                std::fprintf(stderr, "vantoro-call: --number takes digits only\n");
                return 2;
            }
        } else if (arg == "--give-up-after-rings" && hasValue && parseDouble(argv[++i], number) &&
                   number >= 1) {
            options.giveUpAfterRings = int(number);
        } else if (arg == "--hangup-after" && hasValue && parseDouble(argv[++i], number)) {
            options.hangupAfterSeconds = number;
        } else if (arg == "--say" && hasValue) {
            options.sayPath = argv[++i];
        } else if (arg == "--say-after" && hasValue && parseDouble(argv[++i], number)) {
            options.sayAfterSeconds = number;
        } else if (arg == "--record" && hasValue) {
            options.recordPath = argv[++i];
        } else if (arg == "--fax" && hasValue) {
            options.faxPath = argv[++i];
        } else if (arg == "--snr" && hasValue && parseDouble(argv[++i], number)) {
            options.snrDb = number;
        } else if (arg == "--rate" && hasValue && parseDouble(argv[++i], number) &&
                   FaxSender::validRate(int(number))) {
            options.rateBps = int(number);
        } else if (arg == "--v17") {
            options.offer.v17 = true;
        } else if (arg == "--ecm") {
            options.offer.ecm = true;
            if (!codingGiven) options.offer.coding = FaxCoding::kMmr;
        } else if (arg == "--coding" && hasValue &&
                   parseFaxCoding(argv[++i], options.offer.coding)) {
            codingGiven = true;
        } else if (arg == "--no-cng") {
            options.noCng = true;
        } else if (arg == "--cng-after" && hasValue && parseDouble(argv[++i], number)) {
            options.cngAfterSeconds = number;
        } else if (arg == "--handset-after-rings" && hasValue && parseDouble(argv[++i], number) &&
                   number >= 1) {
            options.handsetAfterRings = int(number);
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    if (!options.faxPath.empty() && !options.sayPath.empty()) {
        std::fprintf(stderr, "vantoro-call: --fax and --say exclude each other\n");
        return 2;
    }
    if (options.socketPath.empty()) {
        std::fprintf(stderr,
                     "vantoro-call: no private runtime folder for the line socket; "
                     "name it with --socket\n");
        return 2;
    }
    Caller caller(options);
    if (!caller.prepare()) return 1;
    caller.run();
    std::printf("%s\n", caller.resultLine().c_str());
    return 0;
}

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "line_protocol/line_protocol.h"
#include "vmodem/vmodem.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: vantoro-vmodem [--link PATH] [--socket PATH] [--ring-interval MS] "
                 "[--vcon] [--trace]\n"
                 "                      [--personality NAME] [--hangup-tone TONE] "
                 "[--country HH] [--answer-fax FILE]\n"
                 "  --link PATH          make PATH a symlink to the modem's pseudo-terminal\n"
                 "  --socket PATH        where vantoro-call dials in (default %s)\n"
                 "  --ring-interval MS   time between two RINGs (default 6000)\n"
                 "  --vcon               answer AT+VLS=1 with VCON instead of OK\n"
                 "  --trace              log commands, events and T.31 to stderr\n"
                 "  --trace-carriers     log when each side's fax signal starts and stops (ms)\n"
                 "  --answer-fax FILE    spandsp's fax machine answers every call at its first\n"
                 "                       ring and receives into FILE (a TIFF), for comparison\n"
                 "  --personality NAME   the voice chipset to play (default cx93010):\n"
                 "                       %s\n"
                 "                       cx93010  Conexant: never reports busy, dial tone or\n"
                 "                                silence; AT+VSD's time reads back as 0\n"
                 "                       usr5637  USRobotics: short +VSM listing, caller id\n"
                 "                                DATE=1203 before the first RING, DLE s\n"
                 "                       mt5634   MultiTech: AT+VSM needs all four parameters\n"
                 "                       md566x   Intel: 1 = 16-bit linear, 128 = signed 8-bit\n"
                 "                       rc56     Rockwell: records and plays 7200 samples/s\n"
                 "                                whatever AT+VSM asks; AT#CID, no AT+VCID\n"
                 "                       ideal    reports DLE b a second after every hang-up\n"
                 "  --hangup-tone TONE   what the line carries after the caller hangs up\n"
                 "                       (default busy, that of the country AT+GCI holds):\n"
                 "                       %s\n"
                 "  --country HH         the T.35 country code AT+GCI? answers after a reset\n"
                 "                       (default: the hang-up tone's; cn-busy 26 China,\n"
                 "                       eu-busy 04 Germany, the others B5 USA)\n",
                 line_protocol::defaultSocketPath().c_str(), personalityNames().c_str(),
                 hangupToneNames().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    VmodemOptions options;
    options.socketPath = line_protocol::defaultSocketPath();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--link" && hasValue) {
            options.link = argv[++i];
        } else if (arg == "--socket" && hasValue) {
            options.socketPath = argv[++i];
        } else if (arg == "--ring-interval" && hasValue) {
            char* end = nullptr;
            long ms = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || ms < 100 || ms > 60000) {
                std::fprintf(stderr, "vantoro-vmodem: ring interval must be 100..60000 ms\n");
                return 2;
            }
            options.ringIntervalMs = int(ms);
        } else if (arg == "--answer-fax" && hasValue) {
            options.answerFaxPath = argv[++i];
        } else if (arg == "--personality" && hasValue) {
            options.personality = findPersonality(argv[++i]);
            if (!options.personality) {
                std::fprintf(stderr, "vantoro-vmodem: no personality '%s' (%s)\n", argv[i],
                             personalityNames().c_str());
                return 2;
            }
        } else if (arg == "--hangup-tone" && hasValue) {
            if (!hangupToneFromName(argv[++i], options.hangupTone)) {
                std::fprintf(stderr, "vantoro-vmodem: no hang-up tone '%s' (%s)\n", argv[i],
                             hangupToneNames().c_str());
                return 2;
            }
        } else if (arg == "--country" && hasValue) {
            std::string code = argv[++i];
            std::transform(code.begin(), code.end(), code.begin(),
                           [](unsigned char c) { return char(std::toupper(c)); });
            if (!isListedCountry(code)) {
                std::fprintf(stderr, "vantoro-vmodem: no T.35 country code '%s'\n", argv[i]);
                return 2;
            }
            options.country = code;
        } else if (arg == "--vcon") {
            options.vconOnAnswer = true;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--trace-carriers") {
            options.traceCarriers = true;
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    if (options.socketPath.empty()) {
        std::fprintf(stderr,
                     "vantoro-vmodem: no private runtime folder for the line socket; "
                     "name one with --socket\n");
        return 2;
    }
    VirtualModem modem(options);
    if (!modem.open()) return 1;
    std::printf("vantoro-vmodem: %s modem on %s%s%s, calls on %s\n", options.personality->name,
                modem.slavePath().c_str(), options.link.empty() ? "" : ", link ",
                options.link.c_str(), options.socketPath.c_str());
    std::fflush(stdout);
    return modem.run();
}

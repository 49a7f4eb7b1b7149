#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/vmodem/line_protocol.h"
#include "tools/vmodem/vmodem.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: vantoro-vmodem [--link PATH] [--socket PATH] [--ring-interval MS] "
                 "[--vcon] [--trace]\n"
                 "  --link PATH          make PATH a symlink to the modem's pseudo-terminal\n"
                 "  --socket PATH        where vantoro-call dials in (default %s)\n"
                 "  --ring-interval MS   time between two RINGs (default 6000)\n"
                 "  --vcon               answer AT+VLS=1 with VCON instead of OK\n"
                 "  --trace              log commands, events and T.31 to stderr\n"
                 "  --answer-fax FILE    spandsp's fax machine answers every call at its first\n"
                 "                       ring and receives into FILE (a TIFF), for comparison\n",
                 line_protocol::defaultSocketPath().c_str());
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
        } else if (arg == "--vcon") {
            options.vconOnAnswer = true;
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
    VirtualModem modem(options);
    if (!modem.open()) return 1;
    std::printf("vantoro-vmodem: modem on %s%s%s, calls on %s\n", modem.slavePath().c_str(),
                options.link.empty() ? "" : ", link ", options.link.c_str(),
                options.socketPath.c_str());
    std::fflush(stdout);
    return modem.run();
}

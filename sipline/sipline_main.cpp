#include <sysexits.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sipline/bridge.h"
#include "sipline/sip_agent.h"
#include "sipline/sipline_config.h"

namespace {

void usage() {
    std::printf(
        "usage: vantoro-sipline [options]   (line.ini [sip] gives the defaults: %s)\n"
        "  --listen ADDR:PORT         SIP address (default 0.0.0.0:5060 with an account,\n"
        "                             127.0.0.1:5060 without; port 0: any free one)\n"
        "  --socket PATH              the soft modem's line socket\n"
        "  --rtp-ports A-B            RTP ports (default 20000-20999)\n"
        "  --jitter-ms MS             fixed jitter buffer delay (default 160)\n"
        "  --account sip:USER@HOST[:PORT] --password-file FILE   register there\n"
        "  --allow ADDR[,ADDR]        who may call (with an account: besides the registrar)\n"
        "  --transport udp|tcp\n"
        "  --t38 accept|request|off   T.38 when the far end offers it (default), also\n"
        "                             offered when the soft modem answers a fax, or never\n"
        "test mode:\n"
        "  --dial URI --accept-socket PATH   serve the line socket to vantoro-call and call URI\n"
        "  --impair jitter=MS,loss=PERCENT,seed=N   impair the RTP sent\n"
        "  --offer-t38-after SECONDS  offer T.38 in the call, as a provider's gateway may\n"
        "  --t38-fax TIFF             with --dial and no --accept-socket: send TIFF as a T.38\n"
        "                             fax machine once the far end takes T.38\n",
        LineIniPath().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage();
            return 0;
        }
    }
    SiplineConfig config;
    std::string error;
    if (!LoadConfig(argc, argv, config, error)) {
        // One line and a status of its own, for whoever started the bridge to show.
        std::fprintf(stderr, "vantoro-sipline: %s\n", error.c_str());
        return EX_CONFIG;
    }
    SipAgent agent;
    Bridge bridge(agent, config.bridge);
    if (!agent.start(config.sip, bridge, error) || !bridge.start(error)) {
        std::fprintf(stderr, "vantoro-sipline: %s\n", error.c_str());
        return 1;
    }
    // One line for whoever waits for the bridge (a test, a script): it takes calls from now on.
    std::fprintf(stderr, "vantoro-sipline: ready, SIP on %s:%u\n", agent.localAddress().c_str(),
                 unsigned(agent.sipPort()));
    return agent.run();
}

#pragma once
// The bridge's settings: the [sip] section of the line library's line.ini, then the command
// line, which overrides it.

#include <string>
#include <vector>

#include "sipline/bridge.h"
#include "sipline/sip_agent.h"

struct SiplineConfig {
    SipAgentOptions sip;
    BridgeOptions bridge;
    std::string passwordFile;
};

// $XDG_CONFIG_HOME/vantoro/line.ini (default ~/.config/vantoro/line.ini).
std::string LineIniPath();

// Reads line.ini's [sip] section, then the arguments; false with a message in `error`.
bool LoadConfig(int argc, char** argv, SiplineConfig& config, std::string& error);

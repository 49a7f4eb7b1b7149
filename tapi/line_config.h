#pragma once
// Where the line service finds its modem: the environment variable VANTORO_MODEM, else the key
// `modem` of $XDG_CONFIG_HOME/vantoro/line.ini. This is the service's own setting, like a modem
// chosen in a control panel; the answering machine's settings file never names a device.

#include <cstdint>
#include <string>
#include <vector>

namespace tapi {

// An offered call whose rings stop is over after this long: somewhat longer than the 6 s ring
// cycle, because a line says nothing when the caller gives up before the answer.
constexpr uint32_t kDefaultRingTimeoutMs = 8000;

// A call whose line stays silent this long is over: long enough for a caller's pause.
constexpr uint32_t kDefaultSilenceS = 8;

struct LineConfig {
    std::string modemPath;  // empty: no modem configured
    uint32_t ringTimeoutMs = kDefaultRingTimeoutMs;
    std::string country;            // T.35 country code in hex for AT+GCI, empty: the modem's own
    std::vector<std::string> init;  // vendor commands after the fixed set-up, one per init= line
    uint32_t silenceS = kDefaultSilenceS;  // 0: silence never ends a call
};

// `key=value` lines (init= may repeat); [sections], blank lines and lines starting with '#' or ';'
// are skipped.
LineConfig ParseLineConfig(const std::string& text);

// The path of line.ini, following the XDG base directory rules.
std::string LineConfigPath();

// The file (when readable) with VANTORO_MODEM over its `modem` key.
LineConfig LoadLineConfig();

}  // namespace tapi

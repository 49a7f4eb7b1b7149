#include "tapi/line_config.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/ini_reader.h"

namespace tapi {
namespace {

constexpr const char* kModemKey = "modem";
constexpr const char* kRingTimeoutKey = "ring-timeout-ms";
constexpr const char* kCountryKey = "country";
constexpr const char* kInitKey = "init";
constexpr const char* kSilenceKey = "silence-s";
constexpr unsigned long kMaxSilenceS = 3600;

bool ParseMilliseconds(const std::string& text, uint32_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long parsed = std::strtoul(text.c_str(), nullptr, 10);
    if (parsed == 0 || parsed > 3600000UL) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool ParseSeconds(const std::string& text, uint32_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long parsed = std::strtoul(text.c_str(), nullptr, 10);
    if (parsed > kMaxSilenceS) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

// T.35 country codes are one byte: two hex digits.
bool IsCountryCode(const std::string& text) {
    return text.size() == 2 &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

}  // namespace

LineConfig ParseLineConfig(const std::string& text) {
    LineConfig config;
    // The line's keys count in any section: the header is optional, and users name it freely.
    for (const platform::IniEntry& entry : platform::ParseIni(text)) {
        const std::string& key = entry.key;
        const std::string& value = entry.value;
        if (key == kModemKey) {
            config.modemPath = value;
        } else if (key == kRingTimeoutKey) {
            ParseMilliseconds(value, config.ringTimeoutMs);
        } else if (key == kCountryKey && IsCountryCode(value)) {
            config.country = value;
        } else if (key == kInitKey && !value.empty()) {
            config.init.push_back(value);
        } else if (key == kSilenceKey) {
            ParseSeconds(value, config.silenceS);
        }
    }
    return config;
}

std::string LineConfigPath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.config";
    } else {
        return {};
    }
    return base + "/vantoro/line.ini";
}

LineConfig LoadLineConfig() {
    LineConfig config;
    std::string path = LineConfigPath();
    if (!path.empty()) {
        std::ifstream file(path);
        if (file) {
            std::ostringstream text;
            text << file.rdbuf();
            config = ParseLineConfig(text.str());
        }
    }
    if (const char* modem = std::getenv("VANTORO_MODEM"); modem && *modem) {
        config.modemPath = modem;
    }
    return config;
}

}  // namespace tapi

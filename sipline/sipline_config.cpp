#include "sipline/sipline_config.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "vmodem/line_protocol.h"

namespace {

constexpr int kMaxJitterMs = 1000;
constexpr char kSection[] = "[sip]";

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool toInt(const std::string& text, long min, long max, long& value) {
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value >= min && value <= max;
}

std::map<std::string, std::string> readSection(const std::string& path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    bool inSection = false;
    for (std::string line; std::getline(in, line);) {
        line = trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            inSection = line == kSection;
            continue;
        }
        const size_t eq = line.find('=');
        if (inSection && eq != std::string::npos)
            values[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    return values;
}

// The password, from the first line of a file that only its owner, we, can read.
bool readPassword(const std::string& path, std::string& password, std::string& error) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        error = "cannot read the password file " + path;
        return false;
    }
    if (st.st_uid != getuid() || (st.st_mode & 0777) != 0600) {
        error =
            "the password file " + path + " must be ours and mode 0600 (chmod 600 " + path + ")";
        return false;
    }
    std::ifstream in(path);
    if (!std::getline(in, password) || trim(password).empty()) {
        error = "the password file " + path + " has no password on its first line";
        return false;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

class Setter {
public:
    Setter(SiplineConfig& config, std::string& error) : c(config), m_error(error) {}

    bool set(const std::string& key, const std::string& value) {
        long number = 0;
        if (key == "listen") return listen(value);
        if (key == "socket")
            c.bridge.socketPath = value;
        else if (key == "rtp-ports")
            return ports(value);
        else if (key == "jitter-ms" && toInt(value, 0, kMaxJitterMs, number))
            c.bridge.jitterMs = int(number);
        else if (key == "account") {
            c.sip.account.uri = value;
            c.sip.hasAccount = !value.empty();
        } else if (key == "password-file")
            c.passwordFile = value;
        else if (key == "allow")
            return allow(value);
        else if (key == "transport" && (value == "udp" || value == "tcp"))
            c.sip.transport = value == "tcp" ? Transport::Tcp : Transport::Udp;
        else if (key == "dial") {
            c.bridge.dialUri = value;
            c.bridge.role = BridgeRole::Dial;
        } else if (key == "accept-socket")
            c.bridge.socketPath = value;
        else if (key == "impair" && ParseImpair(value, c.bridge.impair))
            return true;
        else if (key == "offer-t38-after" && toInt(value, 1, 3600, number))
            c.bridge.offerT38AfterS = int(number);
        else
            return fail(key, value);
        return true;
    }

private:
    bool fail(const std::string& key, const std::string& value) {
        m_error = "bad value for " + key + ": '" + value + "'";
        return false;
    }
    bool listen(const std::string& value) {
        const size_t colon = value.rfind(':');
        long port = 0;
        if (colon == std::string::npos || !toInt(value.substr(colon + 1), 0, 65535, port))
            return fail("listen", value);
        c.sip.listenAddress = value.substr(0, colon);
        c.sip.listenPort = uint16_t(port);
        return true;
    }
    bool ports(const std::string& value) {
        const size_t dash = value.find('-');
        long low = 0, high = 0;
        if (dash == std::string::npos || !toInt(value.substr(0, dash), 1024, 65534, low) ||
            !toInt(value.substr(dash + 1), low + 1, 65535, high))
            return fail("rtp-ports", value);
        c.bridge.rtpMinPort = uint16_t(low);
        c.bridge.rtpMaxPort = uint16_t(high);
        return true;
    }
    bool allow(const std::string& value) {
        std::istringstream in(value);
        c.sip.account.allow.clear();
        for (std::string item; std::getline(in, item, ',');) {
            const std::string address = trim(item);
            in_addr parsed{};
            if (address.empty()) continue;
            // Calls are matched by the address they come from: a name would never match.
            if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return fail("allow", address);
            c.sip.account.allow.push_back(address);
        }
        return true;
    }

    SiplineConfig& c;
    std::string& m_error;
};

}  // namespace

std::string LineIniPath() {
    // The line library's rule: a relative XDG_CONFIG_HOME is ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    const std::string base =
        config && *config == '/' ? config : std::string(home ? home : "") + "/.config";
    return base + "/vantoro/line.ini";
}

bool LoadConfig(int argc, char** argv, SiplineConfig& config, std::string& error) {
    config.bridge.socketPath = line_protocol::defaultSocketPath();
    Setter setter(config, error);
    for (const auto& [key, value] : readSection(LineIniPath())) {
        if (key == "dial" || key == "accept-socket" || key == "impair" || key == "offer-t38-after")
            continue;  // for tests, on the command line only
        if (!setter.set(key, value)) {
            error = LineIniPath() + ": " + error;
            return false;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || i + 1 >= argc) {
            error = "unknown option " + arg;
            return false;
        }
        if (!setter.set(arg.substr(2), argv[++i])) return false;
    }
    if (config.bridge.role == BridgeRole::Dial) config.sip.hasAccount = false;
    if (config.sip.hasAccount &&
        !readPassword(config.passwordFile, config.sip.account.password, error))
        return false;
    return true;
}

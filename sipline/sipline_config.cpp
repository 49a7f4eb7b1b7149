#include "sipline/sipline_config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "line_protocol/line_protocol.h"
#include "platform/ini_reader.h"

namespace {

constexpr int kMaxJitterMs = 1000;
constexpr char kSection[] = "sip";
constexpr char kLoopbackAddress[] = "127.0.0.1";
constexpr size_t kMaxPasswordFileBytes = 4096;
constexpr size_t kMaxKeyNameBytes = 32;

bool toInt(const std::string& text, long min, long max, long& value) {
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value >= min && value <= max;
}

// Later lines win over earlier ones of the same key.
std::map<std::string, std::string> readSection(const std::string& path) {
    std::map<std::string, std::string> values;
    for (const platform::IniEntry& entry :
         platform::IniSection(platform::ReadIniFile(path), kSection))
        values[entry.key] = entry.value;
    return values;
}

// The start of a regular file of ours that nobody else may open (the owner's own bits are the
// owner's business: 0400 and 0600 are both fine). No message names the file: a password put
// into password-file= by mistake must not reach the journal.
bool readPrivateFile(const std::string& path, std::string& text, std::string& error) {
    // Non-blocking, so that a FIFO is refused instead of waited on.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = std::string("cannot read the file password-file= names: ") + std::strerror(errno);
        return false;
    }
    struct stat st {};
    const bool private_ = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid() &&
                          (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
    char buffer[kMaxPasswordFileBytes];
    const ssize_t got = private_ ? read(fd, buffer, sizeof buffer) : 0;
    close(fd);
    if (!private_)
        error =
            "the file password-file= names must be yours, with no access for group or others "
            "(chmod 600 it)";
    else if (got > 0)
        text.assign(buffer, size_t(got));
    return private_;
}

// The password, from the first line of that file.
bool readPassword(const std::string& path, std::string& password, std::string& error) {
    std::string text;
    if (path.empty()) {
        error = "an account needs password-file=, a file with the password on its first line";
        return false;
    }
    if (!readPrivateFile(path, text, error)) return false;
    password = text.substr(0, text.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (platform::TrimBlanks(password).empty()) {
        error = "the file password-file= names has no password on its first line";
        return false;
    }
    return true;
}

// A key name as a message may show it: a line that is not a key (a password pasted alone,
// say) never comes back out.
std::string keyName(const std::string& key) {
    const bool plain = !key.empty() && key.size() <= kMaxKeyNameBytes &&
                       std::all_of(key.begin(), key.end(), [](char c) {
                           return std::islower(static_cast<unsigned char>(c)) ||
                                  std::isdigit(static_cast<unsigned char>(c)) || c == '-' ||
                                  c == '_';
                       });
    return plain ? key : "(a key that is not one)";
}

bool looksLikePassword(const std::string& key) {
    return key != "password-file" &&
           (key.find("pass") != std::string::npos || key.find("secret") != std::string::npos);
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
        else if (key == "account")
            return account(value);
        else if (key == "password-file")
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
        else if (key == "t38")
            return t38(value);
        else if (key == "t38-fax")
            c.bridge.t38FaxPath = value;
        else if (looksLikePassword(key))
            return fail(keyName(key) +
                        " is not read: keep the password in a file of its own, "
                        "readable by you alone, and name it with password-file=");
        else if (!known(key))
            return fail("unknown key " + keyName(key));
        else
            return badValue(key);
        return true;
    }

    bool listenGiven() const { return m_listenGiven; }

private:
    static bool known(const std::string& key) {
        for (const char* name : {"jitter-ms", "transport", "impair", "offer-t38-after"}) {
            if (key == name) return true;
        }
        return false;
    }
    bool fail(const std::string& message) {
        m_error = message;
        return false;
    }
    // The value stays out of the message: it may be a password in the wrong place.
    bool badValue(const std::string& key, const std::string& expected = "") {
        return fail("bad value for " + key + (expected.empty() ? "" : " (" + expected + ")"));
    }
    bool listen(const std::string& value) {
        const size_t colon = value.rfind(':');
        long port = 0;
        in_addr parsed{};
        if (colon == std::string::npos || !toInt(value.substr(colon + 1), 0, 65535, port) ||
            inet_pton(AF_INET, value.substr(0, colon).c_str(), &parsed) != 1)
            return badValue("listen", "IPV4-ADDRESS:PORT");
        c.sip.listenAddress = value.substr(0, colon);
        c.sip.listenPort = uint16_t(port);
        m_listenGiven = true;
        return true;
    }
    bool account(const std::string& value) {
        const size_t at = value.find('@');
        const bool form = value.rfind("sip:", 0) == 0 && at != std::string::npos && at > 4 &&
                          at + 1 < value.size();
        // sip:USER:PASSWORD@HOST is a URI, but the password does not belong in line.ini.
        if (!value.empty() && (!form || value.find(':', 4) < at))
            return badValue("account", "sip:USER@HOST[:PORT]");
        c.sip.account.uri = value;
        c.sip.hasAccount = !value.empty();
        return true;
    }
    bool t38(const std::string& value) {
        if (value == "accept")
            c.bridge.t38 = T38Policy::Accept;
        else if (value == "request")
            c.bridge.t38 = T38Policy::Request;
        else if (value == "off")
            c.bridge.t38 = T38Policy::Off;
        else
            return badValue("t38", "accept, request or off");
        return true;
    }
    bool ports(const std::string& value) {
        const size_t dash = value.find('-');
        long low = 0, high = 0;
        if (dash == std::string::npos || !toInt(value.substr(0, dash), 1024, 65534, low) ||
            !toInt(value.substr(dash + 1), low + 1, 65535, high))
            return badValue("rtp-ports", "LOW-HIGH, from 1024 to 65535");
        c.bridge.rtpMinPort = uint16_t(low);
        c.bridge.rtpMaxPort = uint16_t(high);
        return true;
    }
    bool allow(const std::string& value) {
        std::istringstream in(value);
        c.sip.allow.clear();
        for (std::string item; std::getline(in, item, ',');) {
            const std::string address = platform::TrimBlanks(item);
            in_addr parsed{};
            if (address.empty()) continue;
            // Calls are matched by the address they come from: a name would never match.
            if (inet_pton(AF_INET, address.c_str(), &parsed) != 1)
                return badValue("allow", "IPv4 addresses separated by commas, no names");
            c.sip.allow.push_back(address);
        }
        return true;
    }

    SiplineConfig& c;
    std::string& m_error;
    bool m_listenGiven = false;
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
        if (key == "dial" || key == "accept-socket" || key == "impair" ||
            key == "offer-t38-after" || key == "t38-fax")
            continue;  // for tests, on the command line only
        if (!setter.set(key, value)) {
            error = LineIniPath() + ": [sip] " + error;
            return false;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            error = "an argument that is not an option (options read --NAME VALUE)";
            return false;
        }
        if (i + 1 >= argc) {
            error = "option --" + keyName(arg.substr(2)) + " has no value";
            return false;
        }
        if (!setter.set(arg.substr(2), argv[++i])) {
            error = "on the command line: " + error;
            return false;
        }
    }
    if (config.bridge.role == BridgeRole::Dial) config.sip.hasAccount = false;
    // Without an account nothing says who may call: only this host, unless listen= says so.
    if (!config.sip.hasAccount && !setter.listenGiven())
        config.sip.listenAddress = kLoopbackAddress;
    if (config.sip.hasAccount &&
        !readPassword(config.passwordFile, config.sip.account.password, error))
        return false;
    return true;
}

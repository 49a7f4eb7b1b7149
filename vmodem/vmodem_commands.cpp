// The V.250 / V.253 command interpreter of the virtual modem in voice and data classes.
#include <algorithm>
#include <cctype>

#include "vmodem/vmodem.h"

namespace {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kBackspace = 0x08;
constexpr size_t kMaxLine = 256;
constexpr int kLineRateHz = 8000;
constexpr int kMaxVsdTime = 255;  // tenths of a second
// T.35 country codes the chipsets list for +GCI; B5 (USA) is their factory default.
constexpr const char* kCountries =
    "(00,04,09,0A,0F,16,1B,20,26,2D,31,36,3C,3D,42,46,50,53,54,57,59,61,64,69,6C,73,7B,82,84,89,"
    "8A,8B,9C,9F,A0,A5,A6,A9,AD,AE,B3,B4,B5,B7,B8,F9,FA,FB,FC,FD,FE)";

bool parseNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 6) return false;
    value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

std::vector<std::string> splitArgs(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        parts.push_back(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return parts;
        start = comma + 1;
    }
}

Extended splitExtended(const std::string& cmd) {
    Extended e;
    size_t i = 1;
    while (i < cmd.size() && (std::isalnum(static_cast<unsigned char>(cmd[i])) || cmd[i] == '+'))
        ++i;
    e.name = cmd.substr(0, i);
    std::string rest = cmd.substr(i);
    if (rest == "?")
        e.kind = Extended::Kind::Read;
    else if (rest == "=?")
        e.kind = Extended::Kind::Test;
    else if (!rest.empty() && rest[0] == '=') {
        e.kind = Extended::Kind::Set;
        e.args = rest.substr(1);
    } else if (!rest.empty())
        e.name.clear();
    return e;
}

}  // namespace

void VirtualModem::commandByte(uint8_t byte) {
    if (m_lineDle) {
        // A DLE pair from the DTE in command state (a late DLE ! for example) is dropped.
        m_lineDle = false;
        return;
    }
    if (byte == kDle) {
        m_lineDle = true;
        return;
    }
    if (m_echo) send(std::string(1, char(byte)));
    if (byte == '\r') {
        std::string line;
        line.swap(m_line);
        executeLine(line);
    } else if (byte == kBackspace) {
        if (!m_line.empty()) m_line.pop_back();
    } else if (byte != '\n' && m_line.size() < kMaxLine) {
        m_line.push_back(char(byte));
    }
}

void VirtualModem::executeLine(const std::string& raw) {
    std::string line;
    for (char c : raw) {
        if (c != ' ') line.push_back(char(std::toupper(static_cast<unsigned char>(c))));
    }
    if (line.size() < 2 || line.compare(0, 2, "AT") != 0) return;
    trace("command " + line);
    if (line == "AT+FCLASS=1") {
        enterFaxClass(line);
        return;
    }
    std::string rest = line.substr(2);
    size_t pos = 0;
    while (pos < rest.size()) {
        std::string cmd;
        if (rest[pos] == '+' || rest[pos] == '#' || rest[pos] == '!') {
            size_t end = rest.find(';', pos);
            cmd = rest.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            pos = end == std::string::npos ? rest.size() : end + 1;
        } else {
            size_t end = pos + 1;
            if (rest[pos] == '&' && end < rest.size()) ++end;
            if (rest[pos] == 'S') {
                while (end < rest.size() && std::isdigit(static_cast<unsigned char>(rest[end])))
                    ++end;
                if (end < rest.size() && rest[end] == '?')
                    ++end;
                else if (end < rest.size() && rest[end] == '=')
                    ++end;
            }
            while (end < rest.size() && std::isdigit(static_cast<unsigned char>(rest[end]))) ++end;
            cmd = rest.substr(pos, end - pos);
            pos = end;
        }
        bool finalSent = false;
        ResultCode result = executeCommand(cmd, finalSent);
        if (finalSent) return;
        if (result != ResultCode::Ok) {
            sendResult(result);
            return;
        }
    }
    sendResult(ResultCode::Ok);
}

ResultCode VirtualModem::executeCommand(const std::string& cmd, bool& finalSent) {
    if (cmd.empty()) return ResultCode::Ok;
    if (cmd[0] == '+' || cmd[0] == '#') return executeExtended(cmd, finalSent);
    if (cmd[0] == '!') return writeRegister(cmd);
    if (cmd[0] == '&')
        return executeBasic(cmd.size() > 1 ? char(cmd[1] | 0x80) : '&',
                            cmd.substr(std::min<size_t>(2, cmd.size())), finalSent);
    return executeBasic(cmd[0], cmd.substr(1), finalSent);
}

// '&X' commands arrive as X | 0x80.
ResultCode VirtualModem::executeBasic(char letter, const std::string& arg, bool& finalSent) {
    int value = 0;
    bool hasValue = parseNumber(arg, value);
    if (!arg.empty() && !hasValue && letter != 'S') return ResultCode::Error;
    switch (letter) {
        case 'E':
            m_echo = value != 0;
            return ResultCode::Ok;
        case 'V':
            m_verbose = value != 0;
            return ResultCode::Ok;
        case 'Q':
            m_quiet = value != 0;
            return ResultCode::Ok;
        case 'H':
            if (value == 0)
                goOnHook();
            else
                goOffHook();
            return ResultCode::Ok;
        case 'Z':
            goOnHook();
            resetProfile();
            return ResultCode::Ok;
        case 'I':
            if (value == 0)
                sendInfo("56000");
            else if (value == 3)
                sendInfo(personality().identity);
            else
                return ResultCode::Error;
            return ResultCode::Ok;
        case 'L':
        case 'M':
        case 'X':
            return ResultCode::Ok;
        case 'S':
            if (!arg.empty() && arg.back() == '?') sendInfo("000");
            return ResultCode::Ok;
        case char('F' | 0x80):
            resetProfile();
            return ResultCode::Ok;
        case char('C' | 0x80):
        case char('D' | 0x80):
        case char('K' | 0x80):
            return ResultCode::Ok;
        case 'A':
            // Answering is a Class 1 matter here (T.31); voice calls are answered with AT+VLS=1.
            return ResultCode::Error;
        default:
            (void)finalSent;
            return ResultCode::Error;
    }
}

// One handler per command name, as the interpreter of a real modem keeps its table.
ResultCode VirtualModem::executeExtended(const std::string& cmd, bool& finalSent) {
    using Handler = ResultCode (VirtualModem::*)(const Extended&, bool&);
    struct Command {
        const char* name;
        Handler handler;
    };
    static const Command kCommands[] = {
        {"+FCLASS", &VirtualModem::serviceClassCommand},
        {"+VCID", &VirtualModem::callerIdCommand},
        {"#CID", &VirtualModem::callerIdCommand},
        {"+VIT", &VirtualModem::voiceSettingCommand},
        {"+VGT", &VirtualModem::voiceSettingCommand},
        {"+VGR", &VirtualModem::voiceSettingCommand},
        {"+VNH", &VirtualModem::voiceSettingCommand},
        {"+VRA", &VirtualModem::voiceSettingCommand},
        {"+VRN", &VirtualModem::voiceSettingCommand},
        {"+IFC", &VirtualModem::flowControlCommand},
        {"+VSD", &VirtualModem::silenceDetectionCommand},
        {"+GCI", &VirtualModem::countryCommand},
        {"+VLS", &VirtualModem::lineSelectCommand},
        {"+VSM", &VirtualModem::sampleModeCommand},
        {"+VTX", &VirtualModem::streamCommand},
        {"+VRX", &VirtualModem::streamCommand},
        {"+GMI", &VirtualModem::identityCommand},
        {"+GMM", &VirtualModem::identityCommand},
        {"+GMR", &VirtualModem::identityCommand},
    };
    const Extended e = splitExtended(cmd);
    for (const Command& command : kCommands) {
        if (e.name == command.name) return (this->*command.handler)(e, finalSent);
    }
    return ResultCode::Error;
}

ResultCode VirtualModem::serviceClassCommand(const Extended& e, bool&) {
    int value = 0;
    switch (e.kind) {
        case Extended::Kind::Test:
            sendInfo("0,1,8");
            return ResultCode::Ok;
        case Extended::Kind::Read:
            sendInfo(std::to_string(m_fclass));
            return ResultCode::Ok;
        case Extended::Kind::Set:
            if (!parseNumber(e.args, value) || (value != 0 && value != 8)) return ResultCode::Error;
            m_fclass = value;
            m_mode = StreamMode::Command;
            return ResultCode::Ok;
        case Extended::Kind::Action:
            break;
    }
    return ResultCode::Error;
}

ResultCode VirtualModem::callerIdCommand(const Extended& e, bool&) {
    int value = 0;
    if (!acceptsCallerIdCommand(e.name)) return ResultCode::Error;
    switch (e.kind) {
        case Extended::Kind::Test:
            sendInfo("(0-2)");
            return ResultCode::Ok;
        case Extended::Kind::Read:
            sendInfo(std::to_string(m_vcid));
            return ResultCode::Ok;
        case Extended::Kind::Set:
            if (!parseNumber(e.args, value) || value > 2) return ResultCode::Error;
            m_vcid = value;
            return ResultCode::Ok;
        case Extended::Kind::Action:
            break;
    }
    return ResultCode::Error;
}

// Gains, levels and the voice line's other settings: accepted and not acted on.
ResultCode VirtualModem::voiceSettingCommand(const Extended& e, bool&) {
    int value = 0;
    switch (e.kind) {
        case Extended::Kind::Test:
            sendInfo("(0-255)");
            return ResultCode::Ok;
        case Extended::Kind::Read:
            sendInfo(e.name == "+VGT" || e.name == "+VGR" ? "128" : "0");
            return ResultCode::Ok;
        case Extended::Kind::Set:
            return parseNumber(e.args, value) && value <= 255 ? ResultCode::Ok : ResultCode::Error;
        case Extended::Kind::Action:
            break;
    }
    return ResultCode::Error;
}

ResultCode VirtualModem::flowControlCommand(const Extended& e, bool&) {
    int value = 0;
    switch (e.kind) {
        case Extended::Kind::Test:
            sendInfo("(0-2),(0-2)");
            return ResultCode::Ok;
        case Extended::Kind::Read:
            sendInfo("2,2");
            return ResultCode::Ok;
        case Extended::Kind::Set: {
            std::vector<std::string> args = splitArgs(e.args);
            if (args.size() > 2) return ResultCode::Error;
            for (const std::string& a : args) {
                if (!parseNumber(a, value) || value > 2) return ResultCode::Error;
            }
            return ResultCode::Ok;
        }
        case Extended::Kind::Action:
            break;
    }
    return ResultCode::Error;
}

ResultCode VirtualModem::silenceDetectionCommand(const Extended& e, bool&) {
    switch (e.kind) {
        case Extended::Kind::Test:
            sendInfo("(0-255),(0-255)");
            return ResultCode::Ok;
        case Extended::Kind::Read: {
            int time = personality().silenceEvent ? m_vsdTime : 0;
            sendInfo(std::to_string(m_vsdLevel) + "," + std::to_string(time));
            return ResultCode::Ok;
        }
        case Extended::Kind::Set:
            return setSilenceDetection(e.args);
        case Extended::Kind::Action:
            break;
    }
    return ResultCode::Error;
}

ResultCode VirtualModem::countryCommand(const Extended& e, bool&) {
    switch (e.kind) {
        case Extended::Kind::Test:
            sendInfo(std::string("+GCI: ") + kCountries);
            return ResultCode::Ok;
        case Extended::Kind::Read:
            sendInfo("+GCI: " + m_country);
            return ResultCode::Ok;
        case Extended::Kind::Set:
            return setCountry(e.args);
        case Extended::Kind::Action:
            break;
    }
    return ResultCode::Error;
}

ResultCode VirtualModem::lineSelectCommand(const Extended& e, bool& finalSent) {
    int value = 0;
    if (m_fclass != 8) return ResultCode::Error;
    switch (e.kind) {
        case Extended::Kind::Test:
            sendInfo("0,1");
            return ResultCode::Ok;
        case Extended::Kind::Read:
            sendInfo(m_offHook ? "1" : "0");
            return ResultCode::Ok;
        case Extended::Kind::Set:
            if (!parseNumber(e.args, value) || value > 1) return ResultCode::Error;
            if (value == 0) {
                goOnHook();
                return ResultCode::Ok;
            }
            if (!answerCall()) goOffHook();
            if (m_options.vconOnAnswer) {
                sendInfo("VCON");
                finalSent = true;
            }
            return ResultCode::Ok;
        case Extended::Kind::Action:
            break;
    }
    return ResultCode::Error;
}

ResultCode VirtualModem::sampleModeCommand(const Extended& e, bool&) {
    switch (e.kind) {
        case Extended::Kind::Test:
            for (const char* line : personality().listing) sendInfo(line);
            return ResultCode::Ok;
        case Extended::Kind::Read:
            sendInfo(std::to_string(m_vsmFormat) + "," + std::to_string(modemRate()) + ",0,0");
            return ResultCode::Ok;
        case Extended::Kind::Set:
            return setSampleMode(e.args);
        case Extended::Kind::Action:
            break;
    }
    return ResultCode::Error;
}

ResultCode VirtualModem::streamCommand(const Extended& e, bool& finalSent) {
    if (e.kind != Extended::Kind::Action || m_fclass != 8 || !m_offHook) return ResultCode::Error;
    sendResult(ResultCode::Connect);
    finalSent = true;
    m_streamDle = false;
    m_quietSamples = 0;
    m_silenceReported = false;
    startConverters();
    if (e.name == "+VTX") {
        m_mode = StreamMode::Transmit;
        m_transmitAborted = false;
        m_transmitBuffer.clear();
    } else {
        m_mode = StreamMode::Receive;
    }
    trace(std::string("stream ") + toString(m_mode));
    return ResultCode::Ok;
}

ResultCode VirtualModem::identityCommand(const Extended& e, bool&) {
    if (e.kind != Extended::Kind::Action) return ResultCode::Error;
    sendInfo(e.name == "+GMI" ? "Vantoro" : e.name == "+GMM" ? "vantoro-vmodem" : "1.0");
    return ResultCode::Ok;
}

ResultCode VirtualModem::setSampleMode(const std::string& text) {
    std::vector<std::string> args = splitArgs(text);
    int code = 0;
    if (args.empty() || args.size() > 4 || !parseNumber(args[0], code)) return ResultCode::Error;
    if (personality().vsmNeedsAllParams && args.size() < 4) return ResultCode::Error;
    const VoiceFormat* format = findFormat(personality(), code);
    if (!format) return ResultCode::Error;
    int rate = kLineRateHz;
    if (args.size() > 1 && !args[1].empty() && !parseNumber(args[1], rate))
        return ResultCode::Error;
    if (std::find(format->rates.begin(), format->rates.end(), rate) == format->rates.end())
        return ResultCode::Error;
    for (size_t i = 2; i < args.size(); ++i) {
        int zero = 0;
        if (!args[i].empty() && (!parseNumber(args[i], zero) || zero != 0))
            return ResultCode::Error;
    }
    m_vsmFormat = code;
    m_vsmRate = rate;
    trace("voice format " + std::to_string(code) + " (" + toString(format->codec) + ") at " +
          std::to_string(modemRate()) + " Hz");
    startConverters();
    return ResultCode::Ok;
}

ResultCode VirtualModem::setSilenceDetection(const std::string& text) {
    std::vector<std::string> args = splitArgs(text);
    int level = m_vsdLevel;
    int time = m_vsdTime;
    if (args.size() > 2 || (!args[0].empty() && !parseNumber(args[0], level)) ||
        (args.size() > 1 && !parseNumber(args[1], time)) || level > 255 || time > kMaxVsdTime)
        return ResultCode::Error;
    m_vsdLevel = level;
    m_vsdTime = time;
    return ResultCode::Ok;
}

bool isListedCountry(const std::string& code) {
    if (code.size() != 2 || !std::isxdigit(static_cast<unsigned char>(code[0])) ||
        !std::isxdigit(static_cast<unsigned char>(code[1])))
        return false;
    // The list is written "(00,09,...)": a code is listed when it follows "(" or ",".
    const std::string listed = kCountries;
    size_t at = listed.find(code);
    while (at != std::string::npos && listed[at - 1] != '(' && listed[at - 1] != ',')
        at = listed.find(code, at + 1);
    return at != std::string::npos;
}

ResultCode VirtualModem::setCountry(const std::string& text) {
    if (!isListedCountry(text)) return ResultCode::Error;
    m_country = text;
    trace("country " + m_country);
    return ResultCode::Ok;
}

// "!rrrr=vv": the register is not modelled, only that the chipset takes the command.
ResultCode VirtualModem::writeRegister(const std::string& cmd) {
    size_t equals = cmd.find('=');
    auto hex = [](const std::string& text) {
        return !text.empty() && text.size() <= 4 &&
               text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
    };
    if (!personality().registerWrites || equals == std::string::npos ||
        !hex(cmd.substr(1, equals - 1)) || !hex(cmd.substr(equals + 1)))
        return ResultCode::Error;
    trace("register write " + cmd);
    return ResultCode::Ok;
}

bool VirtualModem::acceptsCallerIdCommand(const std::string& name) const {
    for (const char* accepted : personality().callerIdCommands) {
        if (name == accepted) return true;
    }
    return false;
}

VoiceCodec VirtualModem::codec() const {
    const VoiceFormat* format = findFormat(personality(), m_vsmFormat);
    return format ? format->codec : VoiceCodec::Unsigned8;
}

int VirtualModem::modemRate() const {
    return personality().fixedRate ? personality().fixedRate : m_vsmRate;
}

void VirtualModem::startConverters() {
    m_toModem = RateConverter(kLineRateHz, modemRate());
    m_toLine = RateConverter(modemRate(), kLineRateHz);
    m_playQueue.clear();
}

void VirtualModem::resetProfile() {
    m_echo = true;
    m_verbose = true;
    m_quiet = false;
    m_fclass = 0;
    m_vcid = 0;
    m_vsmFormat = personality().defaultFormat;
    m_vsmRate = kLineRateHz;
    m_vsdLevel = 128;
    m_vsdTime = 50;
    m_country =
        m_options.country.empty() ? exchangeCountry(m_options.hangupTone) : m_options.country;
    m_mode = StreamMode::Command;
    startConverters();
}

#include "tapi/modem_parser.h"

#include <cctype>

#include "platform/ini_reader.h"

namespace tapi {

void ModemParser::Feed(const char* data, size_t size, std::vector<ModemInput>& out) {
    for (size_t i = 0; i < size; ++i) {
        char byte = data[i];
        if (m_afterDle) {
            m_afterDle = false;
            // DLE DLE and DLE ETX belong to voice data streams; in command state they carry
            // nothing.
            if (byte != kDle && byte != kEtx) out.push_back({ModemInput::Kind::Event, {}, byte});
            continue;
        }
        if (byte == kDle) {
            m_afterDle = true;
        } else if (byte == '\r' || byte == '\n') {
            if (!m_line.empty()) out.push_back({ModemInput::Kind::Line, m_line, 0, m_controlAt});
            m_line.clear();
            m_controlAt = std::string::npos;
            m_cutting = false;
        } else if (m_cutting) {
            continue;
        } else if (m_line.size() == kMaxLineBytes) {
            m_cutting = true;
            m_cutReported = false;
        } else if (static_cast<unsigned char>(byte) >= 0x20) {
            m_line += byte;
        } else if (m_controlAt == std::string::npos) {
            m_controlAt = m_line.size();
        }
    }
}

void ModemParser::Reset() {
    m_line.clear();
    m_controlAt = std::string::npos;
    m_afterDle = false;
    m_cutting = false;
}

bool ModemParser::TakeOverlongLine() {
    bool cut = !m_cutReported;
    m_cutReported = true;
    return cut;
}

const char* ModemResultName(ModemResult result) {
    switch (result) {
        case ModemResult::None:
            return "none";
        case ModemResult::Ok:
            return "OK";
        case ModemResult::Vcon:
            return "VCON";
        case ModemResult::Connect:
            return "CONNECT";
        case ModemResult::Error:
            return "ERROR";
        case ModemResult::NoCarrier:
            return "NO CARRIER";
        case ModemResult::Busy:
            return "BUSY";
        case ModemResult::NoDialtone:
            return "NO DIALTONE";
        case ModemResult::NoAnswer:
            return "NO ANSWER";
        case ModemResult::Ring:
            return "RING";
    }
    return "?";
}

ModemResult ClassifyLine(const std::string& line) {
    // Trailing blanks occur on some chipsets; "CONNECT 9600" and "RING A" carry a suffix.
    std::string text = line;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    auto startsWith = [&text](const char* word) { return text.rfind(word, 0) == 0; };
    if (text == "OK") return ModemResult::Ok;
    if (text == "VCON") return ModemResult::Vcon;
    if (text == "ERROR") return ModemResult::Error;
    if (text == "NO CARRIER") return ModemResult::NoCarrier;
    if (text == "BUSY") return ModemResult::Busy;
    if (text == "NO DIALTONE" || text == "NO DIAL TONE") return ModemResult::NoDialtone;
    if (text == "NO ANSWER") return ModemResult::NoAnswer;
    if (text == "RING" || startsWith("RING ")) return ModemResult::Ring;
    if (text == "CONNECT" || startsWith("CONNECT ")) return ModemResult::Connect;
    return ModemResult::None;
}

bool IsFinalResult(ModemResult result) {
    return result != ModemResult::None && result != ModemResult::Ring;
}

bool IsCommandEcho(const std::string& line) {
    return line.size() >= 2 && std::toupper(static_cast<unsigned char>(line[0])) == 'A' &&
           std::toupper(static_cast<unsigned char>(line[1])) == 'T';
}

bool ParseCallerIdLine(const std::string& line, std::string& key, std::string& value) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    std::string name = platform::TrimBlanks(line.substr(0, equals));
    static const char* const kKeys[] = {"DATE", "TIME", "NMBR", "NAME", "MESG", "DDN_NMBR"};
    for (const char* known : kKeys) {
        if (name == known) {
            key = name;
            value = platform::TrimBlanks(line.substr(equals + 1));
            return true;
        }
    }
    return false;
}

}  // namespace tapi

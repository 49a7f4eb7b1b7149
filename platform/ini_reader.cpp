#include "platform/ini_reader.h"

#include <fstream>
#include <sstream>

namespace platform {

std::string TrimBlanks(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool IniSectionHeader(const std::string& line, std::string* name) {
    const std::string trimmed = TrimBlanks(line);
    if (trimmed.size() < 2 || trimmed.front() != '[') return false;
    const size_t close = trimmed.find(']');
    if (close == std::string::npos) return false;
    *name = TrimBlanks(trimmed.substr(1, close - 1));
    return true;
}

std::vector<IniEntry> ParseIni(const std::string& text) {
    std::vector<IniEntry> entries;
    std::istringstream lines(text);
    std::string section;
    for (std::string line; std::getline(lines, line);) {
        line = TrimBlanks(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (IniSectionHeader(line, &section)) continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        entries.push_back(
            {section, TrimBlanks(line.substr(0, equals)), TrimBlanks(line.substr(equals + 1))});
    }
    return entries;
}

std::vector<IniEntry> ReadIniFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) return {};
    std::ostringstream text;
    text << file.rdbuf();
    return ParseIni(text.str());
}

std::vector<IniEntry> IniSection(const std::vector<IniEntry>& entries, const std::string& section) {
    std::vector<IniEntry> chosen;
    for (const IniEntry& entry : entries) {
        if (entry.section == section) chosen.push_back(entry);
    }
    return chosen;
}

}  // namespace platform

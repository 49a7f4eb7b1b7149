#pragma once
// Sectioned `key=value` text as the line service's line.ini and the settings file write it.
// Plain C++ without Qt: the line library and the standalone programs read it too.

#include <string>
#include <vector>

namespace platform {

// Without the blanks at either end (spaces, tabs, carriage returns, line feeds).
std::string TrimBlanks(const std::string& text);

// The name between the brackets of a `[name]` line, trimmed; false when the line is no header.
bool IniSectionHeader(const std::string& line, std::string* name);

struct IniEntry {
    std::string section;  // "" for keys before the first header
    std::string key;
    std::string value;
};

// Every `key=value` line in file order, keys and values trimmed; a key may repeat. Blank lines,
// lines starting with '#' or ';' and lines without '=' are skipped.
std::vector<IniEntry> ParseIni(const std::string& text);

// The file's entries; none when it cannot be read.
std::vector<IniEntry> ReadIniFile(const std::string& path);

// The entries of one section (names compared exactly), in file order.
std::vector<IniEntry> IniSection(const std::vector<IniEntry>& entries, const std::string& section);

}  // namespace platform

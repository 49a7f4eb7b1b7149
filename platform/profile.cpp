#include "platform/profile.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "platform/ini_reader.h"

namespace platform {
namespace {

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool KeyLine(const std::string& line, std::string* key, std::string* value) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    *key = TrimBlanks(line.substr(0, equals));
    *value = TrimBlanks(line.substr(equals + 1));
    return !key->empty();
}

// One line of the file: its text, and its end as it was ("\n", "\r\n", or none for a last line
// without one), so that a write gives back every line it does not change byte for byte.
struct FileLine {
    std::string text;
    std::string end;
};

bool ReadLines(const std::string& path, std::vector<FileLine>* lines) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    for (size_t start = 0; start < content.size();) {
        size_t newline = content.find('\n', start);
        FileLine line;
        if (newline == std::string::npos) newline = content.size();
        line.text = content.substr(start, newline - start);
        if (newline < content.size()) line.end = "\n";
        if (!line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.end.insert(0, "\r");
        }
        lines->push_back(line);
        start = newline + 1;
    }
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

// Replaces the file in one step: a new file beside it, written and synced, renamed over it, so a
// full disk or a crash leaves the old settings whole rather than a file cut mid-line.
bool ReplaceFile(const std::string& path, const std::string& text) {
    char resolved[PATH_MAX];
    std::string target = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
    std::string temp = target + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return false;
    struct stat old {};
    if (stat(target.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);
    bool written = WriteAll(fd, text) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (!written || rename(temp.c_str(), target.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

uint32_t ProfileIntOf(const std::string& value) {
    uint32_t result = 0;
    for (char c : value) {
        if (c < '0' || c > '9') break;
        uint64_t next = uint64_t{result} * 10u + static_cast<uint32_t>(c - '0');
        // Saturate rather than wrap: a huge value must not come out as a small valid one.
        result = next > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(next);
    }
    return result;
}

bool GetProfileString(const std::string& section, const std::string& key, std::string* value,
                      const std::string& path) {
    std::vector<FileLine> lines;
    if (!ReadLines(path, &lines)) return false;
    bool inSection = false;
    for (const FileLine& line : lines) {
        std::string name, lineKey, lineValue;
        if (IniSectionHeader(line.text, &name)) {
            inSection = EqualsNoCase(name, section);
        } else if (inSection && KeyLine(line.text, &lineKey, &lineValue) &&
                   EqualsNoCase(lineKey, key)) {
            *value = lineValue;
            return true;
        }
    }
    return false;
}

uint32_t GetProfileInt(const std::string& section, const std::string& key, uint32_t defaultValue,
                       const std::string& path) {
    std::string value;
    if (!GetProfileString(section, key, &value, path)) return defaultValue;
    return ProfileIntOf(value);
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& path) {
    std::vector<FileLine> lines;
    ReadLines(path, &lines);  // a missing file starts empty
    // New lines end the way the file's lines do.
    const std::string end = !lines.empty() && lines.front().end == "\r\n" ? "\r\n" : "\n";

    const std::string entry = key + "=" + value;
    bool inSection = false;
    size_t insertAt = std::string::npos;  // after the last line that belongs to the section
    bool done = false;
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        std::string name, lineKey, lineValue;
        if (IniSectionHeader(lines[i].text, &name)) {
            if (inSection) break;
            inSection = EqualsNoCase(name, section);
            if (inSection) insertAt = i + 1;
        } else if (inSection) {
            if (KeyLine(lines[i].text, &lineKey, &lineValue) && EqualsNoCase(lineKey, key)) {
                lines[i].text = entry;
                done = true;
            } else if (!TrimBlanks(lines[i].text).empty()) {
                insertAt = i + 1;
            }
        }
    }
    if (!done) {
        if (insertAt == std::string::npos) {
            if (!lines.empty() && lines.back().end.empty()) lines.back().end = end;
            lines.push_back({"[" + section + "]", end});
            lines.push_back({entry, end});
        } else {
            if (lines[insertAt - 1].end.empty()) lines[insertAt - 1].end = end;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), {entry, end});
        }
    }

    std::ostringstream text;
    for (const FileLine& line : lines) text << line.text << line.end;
    return ReplaceFile(path, text.str());
}

}  // namespace platform

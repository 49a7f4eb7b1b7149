#pragma once
// The modem's output in command state: result code lines and V.253 DLE events.

#include <cstddef>
#include <string>
#include <vector>

namespace tapi {

constexpr char kDle = 0x10;  // V.253 data link escape: DLE x reports event x
constexpr char kEtx = 0x03;

// V.253 event codes that follow DLE.
constexpr char kEventFaxCallingTone = 'c';
constexpr char kEventDataCallingTone = 'e';
constexpr char kEventBusy = 'b';
constexpr char kEventDialTone = 'd';
constexpr char kEventLoopBreak = 'l';
constexpr char kEventSilence = 's';        // no voice for the modem's silence time
constexpr char kEventQuiet = 'q';          // quiet after voice
constexpr char kEventHandsetOnHook = 'h';  // reported by some modems when an extension picks up
constexpr char kEventExtensionOffHook = 'P';
constexpr char kEventRing = 'R';

struct ModemInput {
    enum class Kind { Line, Event };
    Kind kind;
    std::string line;  // Kind::Line: one line without its CR/LF
    char event = 0;    // Kind::Event: the code after DLE
    // Kind::Line: where in `line` the first control byte was dropped, npos when none was.
    size_t controlAt = std::string::npos;
};

// Splits the byte stream into lines and DLE events; keeps partial lines across calls. A line is
// kept to kMaxLineBytes, the rest of it dropped: a device that sends no line ends must not
// grow the program without bound.
class ModemParser {
public:
    static constexpr size_t kMaxLineBytes = 4096;

    void Feed(const char* data, size_t size, std::vector<ModemInput>& out);
    void Reset();
    // True once for each line that was cut since the last call.
    bool TakeOverlongLine();

private:
    std::string m_line;
    size_t m_controlAt = std::string::npos;
    bool m_afterDle = false;
    bool m_cutting = false;  // the current line is full; its bytes are dropped until its end
    bool m_cutReported = true;
};

enum class ModemResult {
    None,  // an information text, not a result code
    Ok,
    Vcon,
    Connect,
    Error,
    NoCarrier,
    Busy,
    NoDialtone,
    NoAnswer,
    Ring,
};
const char* ModemResultName(ModemResult result);

ModemResult ClassifyLine(const std::string& line);
// Whether the result code ends a command (everything but None and Ring).
bool IsFinalResult(ModemResult result);
// Command echo of a modem with echo on.
bool IsCommandEcho(const std::string& line);

// Caller id lines as modems send them between rings: "NMBR = 5551234", "DATE=0612".
bool ParseCallerIdLine(const std::string& line, std::string& key, std::string& value);

}  // namespace tapi

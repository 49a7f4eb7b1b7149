#pragma once
// The program started for one test in folders of its own (program folder, settings, state,
// runtime and temporary folders) under one temporary folder that goes with the test.

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

constexpr int kProgramStepMs = 15000;
// How often `part` occurs in `text`.
size_t Count(const std::string& text, const std::string& part);
constexpr char kWaitingLine[] = "等待呼叫...";

class ProgramHarness {
public:
    ProgramHarness();
    std::string Home() const { return m_root / "home"; }
    std::string Temp() const { return m_root / "tmp"; }
    const TempFolder& Root() const { return m_root; }
    std::string Program() const { return BuildFolder() + "/vantoro"; }
    std::string Log() const { return ReadFile(m_root / "state/vantoro/Fax.Log"); }
    // Line settings naming `link` as the modem, then `more` line.ini lines.
    void UseModem(const std::string& link, const std::string& more = "") const;
    void SetRings(int rings, int minutes = 5) const;
    // Files of a folder of the program folder ("wav", "fax"), sorted; only `extension` if given.
    std::vector<std::string> Files(const std::string& folder,
                                   const std::string& extension = "") const;
    // A 1 s welcome.wav (300 Hz) instead of the built-in 7.5 s greeting, for tests of what follows.
    bool UseShortGreeting() const;
    // Test hooks the program reads at each call, passed by Start: the message limit in seconds
    // instead of the `time` minutes, the fax window after the greeting in milliseconds.
    void SetRecordLimitS(int seconds) { m_recordLimitS = seconds; }
    void SetFaxWindowMs(int ms) { m_faxWindowMs = ms; }
    // Bytes in Fax.Log now: the `from` of a WaitForLog for what comes after.
    size_t LogSize() const { return Log().size(); }
    // Waits until Fax.Log holds `text` after its first `from` bytes.
    bool WaitForLog(const std::string& text, int timeoutMs, size_t from = 0) const;
    // Waits until `folder` holds `count` files ending in `extension`, each complete: Fax.Log names
    // a stored fax, message or kept raw page file once it is written. The files there are then.
    std::vector<std::string> WaitForFiles(const std::string& folder, const std::string& extension,
                                          size_t count, int timeoutMs) const;
    // Starts `argv` (default: the program, headless) with the folders in its environment, then
    // `environment`, which may override them.
    std::unique_ptr<ChildProcess> Start(std::vector<std::string> environment = {},
                                        std::vector<std::string> argv = {}) const;
    // Ends a program with the exit command; its exit status.
    static int Exit(ChildProcess& program);

private:
    TempFolder m_root;
    int m_recordLimitS = 0;
    int m_faxWindowMs = 0;
};

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
    // Starts `argv` (default: the program, headless) with the folders in its environment, then
    // `environment`, which may override them.
    std::unique_ptr<ChildProcess> Start(std::vector<std::string> environment = {},
                                        std::vector<std::string> argv = {}) const;
    // Ends a program with the exit command; its exit status.
    static int Exit(ChildProcess& program);

private:
    TempFolder m_root;
};

#pragma once
// An open line on a scripted modem, as the program opens it.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/tapi/line_library.h"
#include "tests/tapi/scripted_modem.h"

// A common USB voice modem: Conexant-style AT+VSM=? listing, VCON on going off hook.
std::vector<ScriptedModem::Rule> VoiceModemRules();

class LineTest : public ::testing::Test {
protected:
    static constexpr DWORD_PTR kInstance = 0x5A5A;
    static constexpr int kRingTimeoutMs = 400;

    void SetUp() override;
    void TearDown() override;

    // lineInitialize .. lineSetStatusMessages on `devicePath`, with a short ring time-out.
    void OpenLine(const std::string& devicePath);
    void Shutdown();
    // Sends one RING and returns the offered call's handle.
    HCALL OfferCall(ScriptedModem& modem);
    // Answers `call` and waits for CONNECTED.
    void AnswerCall(ScriptedModem& modem, HCALL call);

    // The first event at or after `from` with this message (and first parameter, unless ~0).
    std::optional<LineEvent> Find(DWORD message, DWORD_PTR param1 = ~DWORD_PTR{0}, size_t from = 0);
    std::optional<LineEvent> WaitFor(DWORD message, DWORD_PTR param1 = ~DWORD_PTR{0},
                                     size_t from = 0, int timeoutMs = kPromptMs);
    size_t EventCount() const { return EventLog::Events().size(); }

    const LineLibrary* m_lib = nullptr;
    std::unique_ptr<LineEnvironment> m_env;
    HLINEAPP m_app = 0;
    HLINE m_line = 0;
    DWORD m_version = 0;
};

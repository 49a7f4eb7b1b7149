#pragma once
// The built libtapi32.so, reached through the program's own late-bound stubs, and an open line
// on a transcript modem with a recorder of the messages its callback receives.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "line/tapi_stubs.h"
#include "tests/support/child_process.h"
#include "tests/support/transcript_modem.h"

struct LineEvent {
    std::thread::id thread;
    DWORD device, message;
    DWORD_PTR instance, param1, param2, param3;
};

constexpr DWORD_PTR kAny = ~DWORD_PTR{0};
// Milliseconds a test may wait for something that should come at once.
constexpr int kPromptMs = 3000;

// Dispatches the test thread's events until `done` holds or `timeoutMs` passes.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs);
inline void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

// A common USB voice modem: Conexant-style AT+VSM=? listing, VCON on going off hook.
std::vector<TranscriptModem::Rule> VoiceModemRules();

class LineTest : public ::testing::Test {
public:
    static std::vector<LineEvent>& Events();
    static size_t EventCount() { return Events().size(); }
    static void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1,
                         DWORD_PTR p2, DWORD_PTR p3);

protected:
    static constexpr DWORD_PTR kInstance = 0x5A5A;
    static constexpr int kRingTimeoutMs = 400;
    static constexpr LONG kNoReply = 1;

    void SetUp() override;
    void TearDown() override;

    // lineInitialize with VANTORO_MODEM set to `modemPath` (unset when empty) and `iniText` in
    // line.ini of a fresh XDG_CONFIG_HOME; returns the number of devices.
    DWORD Initialize(const std::string& modemPath, const std::string& iniText = "");
    // lineInitialize .. lineSetStatusMessages on `devicePath`, with a short ring time-out.
    void OpenLine(const std::string& devicePath);
    void Shutdown();
    // Sends one RING and returns the offered call's handle.
    HCALL OfferCall(TranscriptModem& modem);
    enum class CallStage { Waiting, Offered, Answered };
    // Opens the line on `modem` and brings a call (none while waiting) to `stage`.
    HCALL OpenWithCall(TranscriptModem& modem, CallStage stage = CallStage::Answered);
    // Answers `call` and waits for CONNECTED.
    void AnswerCall(TranscriptModem& modem, HCALL call);
    // Waits for the LINE_REPLY of an asynchronous request: its result, or kNoReply.
    LONG Reply(LONG request, int timeoutMs = kPromptMs);

    // The first event at or after `from` with this message (and first parameter, unless kAny).
    std::optional<LineEvent> Find(DWORD message, DWORD_PTR param1 = kAny, size_t from = 0);
    std::optional<LineEvent> WaitFor(DWORD message, DWORD_PTR param1 = kAny, size_t from = 0,
                                     int timeoutMs = kPromptMs);

    TempFolder m_config;
    HLINEAPP m_app = 0;
    HLINE m_line = 0;
    DWORD m_version = 0;
};

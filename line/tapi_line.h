#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "audio/voice_channel.h"
#include "fax/fax_receiver.h"
#include "platform/messages.h"
#include "tapi/tapi.h"

// The program's one connection to the telephony service: initialises it, picks the first line
// device that is a voice modem, opens it as owner of incoming calls and turns line events into
// WM_LINE_EVENT for the main window. It makes no decisions about the call; the call flow does.
class CTapiLine {
public:
    CTapiLine();
    ~CTapiLine();
    CTapiLine(const CTapiLine&) = delete;
    CTapiLine& operator=(const CTapiLine&) = delete;

    // Whether Initialize and Open write their steps to the log; off while a lost line is tried
    // again every few seconds.
    enum class StepLog { On, Off };
    void SetStepLog(StepLog stepLog) { m_stepLog = stepLog; }

    bool Initialize(platform::HWND eventWindow);
    bool Open();
    bool Answer();
    bool MonitorFax(bool on);
    bool DropCall();
    // Stops playback and recording (the message file is completed) before the call goes.
    bool Shutdown();

    // The current call's voice: each looks up the call's wave device afresh and fails without
    // a call. PlayFile and PlayResource return when the sound has ended or was stopped.
    bool PlayFile(const std::string& path);
    bool PlayResource(uint32_t resourceId);
    bool StartRecording(const std::string& path);
    void StopPlaying();
    void StopRecording();
    void Log(const std::string& text);
    // The current call's caller id as a person reads it: the number, or why there is none;
    // empty while none has arrived.
    std::string CallerId();
    // False for a CallerId() that says why there is no number (withheld, not delivered).
    static bool IsNumber(const std::string& callerId);
    // True when the open line is there but brings no calls (a SIP line that cannot start);
    // *reason then says why, as the line library puts it.
    bool OutOfService(std::string* reason);
    void Wait(uint32_t ms);
    // Waits for the LINE_REPLY of an asynchronous request, dispatching messages meanwhile; true
    // when it reports success. A service that never replies counts as a failure after the limit.
    bool WaitForReply(LONG requestId, uint32_t timeoutMs = kReplyTimeoutMs);

    // Fax hand-over of the current call (tapi_line_fax.cpp).
    bool MakeCall();
    bool EnterPassthrough();
    bool RunFax();
    bool ReturnToVoice();
    void SetFaxTempFile(const std::string& path);
    // A reception that runs ends at its next check; AllowFax lets the next one run.
    void CancelFax() { m_faxReceiver.m_bCancel = 1; }
    void AllowFax() { m_faxReceiver.m_bCancel = 0; }
    void SetFaxMode(FaxMode mode) { m_faxReceiver.m_faxMode = mode; }
    const std::string& FaxStatus() const { return m_faxReceiver.m_strStatus; }
    bool OpenLog() { return m_faxReceiver.OpenLog(); }
    // The log goes to a copy of `fd` instead of Fax.Log (tests, tools).
    bool UseLogDescriptor(int fd) { return m_faxReceiver.UseLogDescriptor(fd); }
    bool IsLogOpen() const { return m_faxReceiver.IsLogOpen(); }
    void CloseLog() {
        if (m_faxReceiver.IsLogOpen()) m_faxReceiver.CloseLog();
    }
    static constexpr uint32_t kReplyTimeoutMs = 30000;

    static void LineCallback(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance,
                             DWORD_PTR dwParam1, DWORD_PTR dwParam2, DWORD_PTR dwParam3);

    // Kept here for the call flow, which alone reads and writes them.
    uint32_t ringsToAnswer = 3;
    uint32_t ringCount = 0;
    uint32_t recordLimitMs = 0;

    CVoiceChannel m_voiceChannel;

    HCALL CallHandle() const { return m_hCall; }
    DWORD DeviceId() const { return m_dwDeviceId; }

private:
    static constexpr DWORD kHighestApiVersion = 0x00030000;
    static constexpr DWORD kLowestApiVersion = 0x00010004;
    static constexpr DWORD kFirstCapsSize = 2301;

    LONG GetDeviceCaps();
    bool GetWaveDeviceId(const char* deviceClass, uint32_t& deviceId);
    bool DeviceQualifies() const;
    void ReleaseCaps();
    void HandleLineEvent(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwParam1, DWORD_PTR dwParam2,
                         DWORD_PTR dwParam3);
    void SendLineEvent(uintptr_t wParam);
    void LogStep(const std::string& text);
    // lineGetLineDevStatus of the open line: its LINEDEVSTATUSFLAGS_* and its out-of-service
    // reason; false when the library cannot tell.
    bool QueryStatus(DWORD* flags, std::string* reason);

    CFaxReceiver m_faxReceiver;
    LONG m_lastReplyResult = 0;
    DWORD m_lastReplyId = 0;
    platform::HWND m_hEventWindow = nullptr;
    DWORD m_dwHighestApiVersion = kHighestApiVersion;
    DWORD m_dwLowestApiVersion = kLowestApiVersion;
    DWORD m_dwDeviceCount = 0;
    DWORD m_dwApiVersion = 0;
    DWORD m_dwDeviceId = 0;
    HLINEAPP m_hLineApp = 0;
    HLINE m_hLine = 0;
    HCALL m_hCall = 0;
    bool m_bCallOwned = false;
    bool m_bFaxMonitoring = false;
    bool m_bCapsHeld = false;
    LINEEXTENSIONID m_extensionId{};
    std::vector<uint8_t> m_caps;
    StepLog m_stepLog = StepLog::On;
};

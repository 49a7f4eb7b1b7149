#pragma once
// The open line: a modem thread that blocks on the serial device, turns RING, caller id, DLE
// events and result codes into line messages, and carries out the asynchronous requests in
// order, one modem command dialogue at a time.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"
#include "platform/unique_fd.h"
#include "platform/wave_abi.h"
#include "tapi/call_audio.h"
#include "tapi/hangup_detector.h"
#include "tapi/modem_parser.h"
#include "tapi/serial_device.h"
#include "tapi/tapi.h"

namespace tapi {

struct LineMessage {
    DWORD device;  // line or call handle, 0 for LINE_REPLY
    DWORD message;
    DWORD_PTR param1;
    DWORD_PTR param2;
    DWORD_PTR param3;
};
// Called on the modem thread (and by the requesting thread for immediate completions).
using MessageSink = std::function<void(const LineMessage&)>;

// Where a call stands; Answering is the service's own step between lineAnswer and the modem's
// answer, reported to the application as still offering.
enum class CallPhase { Offering, Answering, Connected, Disconnected, Idle };

struct CallerId {
    std::string date, time, number, name;
};

// Going off or on hook can take a modem a few seconds (relays, line current).
constexpr uint32_t kHookCommandTimeoutMs = 10000;
// DTR held low this long makes a modem set to &D2 hang up and leave a stream.
constexpr uint32_t kDtrDropMs = 1000;

class LineDevice {
public:
    // `silenceS`: seconds of silence that end a call, 0 for never.
    LineDevice(SerialDevice& device, HLINE line, uint32_t ringTimeoutMs, uint32_t silenceS,
               MessageSink sink);
    ~LineDevice();
    LineDevice(const LineDevice&) = delete;
    LineDevice& operator=(const LineDevice&) = delete;

    bool Start();
    // Ends the modem thread, puts the modem on hook if a call had it off hook, answers the
    // requests still pending and forgets every call.
    void Stop();

    void SetStatusMessages(DWORD lineStates);
    LONG Answer(HCALL call, DWORD requestId);
    LONG Drop(HCALL call, DWORD requestId);
    LONG Deallocate(HCALL call);
    LONG MonitorMedia(HCALL call, DWORD mediaModes);
    LONG SetBearerMode(HCALL call, DWORD bearerMode, DWORD requestId);
    // A call for the line as it is, already off hook (the telephone or an answered call took
    // it), handed over to the application at once.
    LONG MakePassthroughCall(HCALL& call, DWORD requestId);
    // A duplicate of the serial descriptor for a call in passthrough; the caller owns it.
    LONG DuplicateCommHandle(HCALL call, int& descriptor);
    bool HasCall(HCALL call);
    // The call's caller id as it arrived so far.
    LONG GetCallerId(HCALL call, CallerId& callerId);
    // LINEDEVSTATUSFLAGS_*: connected while the device is there, in service while calls can come.
    DWORD StatusFlags();

    // The wave devices of the current call; the device id is the call handle.
    void SetVoiceCodec(VoiceCodec codec, int modemRateHz);
    // The tones of the exchange the line is in, for the hang-up heard in the received audio.
    void SetTonePlan(const TonePlan& plan);
    platform::MMRESULT WaveOpen(platform::HWAVE* device, platform::WaveDirection direction,
                                uint32_t deviceId, const platform::WAVEFORMATEX* format,
                                platform::WAVENOTIFY notify, void* context);
    platform::MMRESULT WaveAddBuffer(platform::HWAVE device, platform::WAVEHDR* header);
    platform::MMRESULT WaveStart(platform::HWAVE device);
    platform::MMRESULT WaveReset(platform::HWAVE device);
    platform::MMRESULT WaveClose(platform::HWAVE device);
    platform::MMRESULT WaveCallerEnd(platform::HWAVE device, uint32_t* samples);

private:
    // Voice: a stream start or end of the call's audio, chosen by CallAudio.
    enum class RequestKind { Answer, Drop, SetBearer, MakeCall, Voice };
    struct Request {
        RequestKind kind;
        DWORD id;  // 0: the service's own request, nobody waits for its reply
        HCALL call;
        DWORD bearerMode;
    };
    // A stream end the modem does not answer: the end code once more, then DTR dropped, then
    // ATH; a modem deaf to all of them has left the call.
    enum class Recovery { None, Resent, DtrDropped, HangingUp };
    struct InFlight {
        Request request;
        std::vector<std::string> commands;  // tried in order while the modem answers ERROR
        size_t next = 0;
        std::chrono::steady_clock::time_point deadline;
        uint32_t timeoutMs = kHookCommandTimeoutMs;
        Recovery recovery = Recovery::None;
    };
    struct Call {
        CallPhase phase;
        DWORD monitoredModes = 0;
        bool passthrough = false;
        CallerId callerId;
    };

    void Run();
    int PollTimeoutLocked() const REQUIRES(m_mutex);
    void ReadDevice(bool hungUp);
    void HandleInputLocked(const ModemInput& input) REQUIRES(m_mutex);
    void HandleRingLocked() REQUIRES(m_mutex);
    void HandleHangupLocked(DWORD disconnectMode) REQUIRES(m_mutex);
    void HandleEventLocked(char event) REQUIRES(m_mutex);
    void HandleCallerIdLocked(const std::string& key, const std::string& value) REQUIRES(m_mutex);
    bool PendingCallerIdExpiredLocked() const REQUIRES(m_mutex);
    void CheckDeadlinesLocked() REQUIRES(m_mutex);
    bool RecoverStreamEndLocked() REQUIRES(m_mutex);
    void CheckHangupHeardLocked() REQUIRES(m_mutex);
    void StartNextRequestLocked() REQUIRES(m_mutex);
    void SendNextCommandLocked() REQUIRES(m_mutex);
    void FinishCommandLocked(bool succeeded) REQUIRES(m_mutex);
    void CompleteLocked(const Request& request, bool succeeded) REQUIRES(m_mutex);
    void DeviceLostLocked() REQUIRES(m_mutex);
    void CheckServiceLocked() REQUIRES(m_mutex);
    void ConsumeLocked(const char* data, size_t size) REQUIRES(m_mutex);
    bool StartVoiceStepLocked() REQUIRES(m_mutex);
    void TransmitLocked() REQUIRES(m_mutex);
    // What Stop still has to tell the modem once its thread is gone.
    struct ShutdownSteps {
        enum class StreamEnd { None, AlreadySent, Send } streamEnd = StreamEnd::None;
        std::string bytes;  // for Send: the samples not yet written, then the end code
        std::string end;    // the stream's end code, sent again to a modem that stays deaf
        bool hangUp = false;
    };
    ShutdownSteps PlanShutdownLocked() REQUIRES(m_mutex);
    bool CarryOutShutdown(const ShutdownSteps& steps);
    void FinishShutdownLocked(const ShutdownSteps& steps, bool onHook) REQUIRES(m_mutex);

    void SetPhaseLocked(HCALL call, CallPhase phase, DWORD mode) REQUIRES(m_mutex);
    void Reply(DWORD requestId, LONG result);
    void Post(DWORD device, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3);
    LONG QueueLocked(const Request& request) REQUIRES(m_mutex);
    Call* FindLocked(HCALL call) REQUIRES(m_mutex);
    void Wake();
    template <typename AudioFn>
    platform::MMRESULT AudioRequest(AudioFn request);

    SerialDevice& m_device;
    const HLINE m_line;
    const uint32_t m_ringTimeoutMs;
    const uint32_t m_silenceS;
    MessageSink m_sink;

    platform::Mutex m_mutex;
    std::map<HCALL, Call> m_calls GUARDED_BY(m_mutex);  // allocated call handles
    HCALL m_current GUARDED_BY(m_mutex) = 0;            // the call the modem is on, 0 when none
    HCALL m_nextCall GUARDED_BY(m_mutex) = 1;
    // Caller id that arrived before its call's first ring, and its last field's arrival.
    CallerId m_pendingCallerId GUARDED_BY(m_mutex);
    std::chrono::steady_clock::time_point m_pendingCallerIdAt GUARDED_BY(m_mutex);
    DWORD m_lineStates GUARDED_BY(m_mutex) = 0;
    DWORD m_ringCount GUARDED_BY(m_mutex) = 0;
    bool m_offHook GUARDED_BY(m_mutex) = false;
    bool m_passthrough GUARDED_BY(m_mutex) = false;  // the serial device belongs to the application
    // The device went away; nothing more is read or written.
    bool m_lost GUARDED_BY(m_mutex) = false;
    // The line behind the device cannot bring calls (a SIP line).
    bool m_outOfService GUARDED_BY(m_mutex) = false;
    std::string m_serviceProblem GUARDED_BY(m_mutex);  // why, as last told
    std::atomic<bool> m_serviceChanged{false};
    std::deque<Request> m_requests GUARDED_BY(m_mutex);
    std::optional<InFlight> m_inFlight GUARDED_BY(m_mutex);
    std::optional<std::chrono::steady_clock::time_point> m_ringDeadline GUARDED_BY(m_mutex);

    ModemParser m_parser GUARDED_BY(m_mutex);
    CallAudio m_audio GUARDED_BY(m_mutex);
    HangupDetector m_hangup GUARDED_BY(m_mutex);
    bool m_hangupReported GUARDED_BY(m_mutex) = false;  // the detector's verdict has ended the call
    const bool m_trace;  // VANTORO_LINE_TRACE: what the line hears goes to stderr
    CallAudio::Step m_voiceStep GUARDED_BY(m_mutex) = CallAudio::Step::None;  // the step in flight
    std::string m_transmitPending GUARDED_BY(m_mutex);  // shielded samples not yet written
    UniqueFd m_wake;                                    // interrupts the modem thread's wait
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace tapi

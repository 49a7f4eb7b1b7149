#include "tapi/line_device.h"

#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "tapi/modem_dialog.h"
#include "tapi/soft_line.h"
#include "tapi/voice_format.h"

namespace tapi {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes taken from the device per wake-up of the modem thread.
constexpr size_t kMaxReadBytes = 64 * 1024;

DWORD_PTR ResultParam(LONG result) { return static_cast<DWORD_PTR>(static_cast<DWORD>(result)); }

bool TraceWanted() {
    const char* trace = std::getenv("VANTORO_LINE_TRACE");
    return trace && *trace == '1';
}

}  // namespace

LineDevice::LineDevice(SerialDevice& device, HLINE line, uint32_t ringTimeoutMs, uint32_t silenceS,
                       MessageSink sink)
    : m_device(device),
      m_line(line),
      m_ringTimeoutMs(ringTimeoutMs),
      m_silenceS(silenceS),
      m_sink(std::move(sink)),
      m_hangup(silenceS),
      m_trace(TraceWanted()) {
    m_audio.SetListener(&m_hangup);
}

LineDevice::~LineDevice() { Stop(); }

bool LineDevice::Start() {
    m_wake.reset(platform::SerialWakeOpen());
    if (!m_wake.valid()) return false;
    m_stop = false;
    {
        platform::MutexLock lock(m_mutex);
        m_serviceProblem = SoftLineProblem();
        m_outOfService = !m_serviceProblem.empty();
    }
    m_thread = std::thread([this] { Run(); });
    SetSoftLineListener([this] {
        m_serviceChanged = true;
        Wake();
    });
    m_serviceChanged = true;  // it may have changed before the listener was there
    Wake();
    return true;
}

void LineDevice::Stop() {
    if (!m_thread.joinable()) return;
    SetSoftLineListener(nullptr);
    m_stop = true;
    Wake();
    m_thread.join();

    // The modem thread is gone and the device is ours alone: its answers are waited for (a
    // hang-up can take seconds) without the lock.
    ShutdownSteps steps;
    {
        platform::MutexLock lock(m_mutex);
        steps = PlanShutdownLocked();
    }
    const bool onHook = CarryOutShutdown(steps);
    platform::MutexLock lock(m_mutex);
    FinishShutdownLocked(steps, onHook);
}

// A voice stream must end before the hang-up command, or the modem takes it for samples.
LineDevice::ShutdownSteps LineDevice::PlanShutdownLocked() {
    ShutdownSteps steps;
    bool voiceInFlight = m_inFlight && m_inFlight->request.kind == RequestKind::Voice;
    bool ending = voiceInFlight && !m_audio.IsStartStep(m_voiceStep);
    bool receiving =
        m_audio.Receiving() || (voiceInFlight && m_voiceStep == CallAudio::Step::StartReceive);
    bool transmitting = m_audio.Streaming() || voiceInFlight;
    if (!m_lost && ending) {
        steps.streamEnd = ShutdownSteps::StreamEnd::AlreadySent;
        steps.end = m_audio.StepBytes(m_voiceStep);
    } else if (!m_lost && (receiving || transmitting)) {
        steps.streamEnd = ShutdownSteps::StreamEnd::Send;
        steps.end = m_audio.StepBytes(receiving ? CallAudio::Step::StopReceive
                                                : CallAudio::Step::AbortTransmit);
        steps.bytes = m_transmitPending + steps.end;
    }
    m_transmitPending.clear();
    m_audio.Drop();
    steps.hangUp = !m_lost && (m_offHook || m_inFlight);
    return steps;
}

// True when the modem is on hook afterwards.
bool LineDevice::CarryOutShutdown(const ShutdownSteps& steps) {
    CommandReply reply;
    if (steps.streamEnd == ShutdownSteps::StreamEnd::AlreadySent) {
        reply = AwaitResult(m_device, kCommandTimeoutMs);  // the stream's end is on its way
    } else if (steps.streamEnd == ShutdownSteps::StreamEnd::Send && m_device.Write(steps.bytes)) {
        reply = AwaitResult(m_device, kCommandTimeoutMs);
    }
    if (!steps.end.empty() && reply.status == CommandReply::Status::Timeout) {
        LeaveDeafStream(m_device, steps.end, kDtrDropMs);
    }
    return steps.hangUp ? HangUp(m_device) : true;
}

void LineDevice::FinishShutdownLocked(const ShutdownSteps& steps, bool onHook) {
    if (steps.hangUp) m_offHook = !onHook;
    if (m_inFlight && m_inFlight->request.kind != RequestKind::Voice) {
        m_requests.push_front(m_inFlight->request);
    }
    m_inFlight.reset();
    for (const Request& request : m_requests) {
        bool done = request.kind == RequestKind::Drop && onHook;
        Reply(request.id, done ? 0 : LINEERR_OPERATIONFAILED);
    }
    m_requests.clear();
    m_calls.clear();
    m_current = 0;
    m_ringDeadline.reset();
}

void LineDevice::Wake() { platform::SerialWakeSignal(m_wake.get()); }

void LineDevice::Run() {
    while (!m_stop) {
        int timeoutMs;
        bool watchDevice;
        bool wantWrite;
        {
            platform::MutexLock lock(m_mutex);
            StartNextRequestLocked();
            TransmitLocked();
            timeoutMs = PollTimeoutLocked();
            watchDevice = !m_passthrough && !m_lost;
            wantWrite = !m_transmitPending.empty();
        }
        platform::SerialReadiness ready;
        platform::SerialStatus waited = platform::SerialWaitDevice(
            m_wake.get(), watchDevice ? m_device.Descriptor() : -1, wantWrite, timeoutMs, ready);
        if (waited != platform::SerialStatus::Ok && waited != platform::SerialStatus::Pending)
            break;
        if (m_stop) break;
        if (ready.readable || ready.hungUp) ReadDevice(ready.hungUp);
        platform::MutexLock lock(m_mutex);
        CheckDeadlinesLocked();
        if (m_serviceChanged.exchange(false)) CheckServiceLocked();
    }
}

// A SIP line whose bridge cannot start is out of service, and in service again once it runs; a
// new reason is told as the state once more.
void LineDevice::CheckServiceLocked() {
    const std::string problem = SoftLineProblem();
    if (problem == m_serviceProblem || m_lost) return;
    m_serviceProblem = problem;
    m_outOfService = !problem.empty();
    const DWORD state = m_outOfService ? LINEDEVSTATE_OUTOFSERVICE : LINEDEVSTATE_INSERVICE;
    if (m_lineStates & state) Post(m_line, LINE_LINEDEVSTATE, state, 0, 0);
}

int LineDevice::PollTimeoutLocked() const {
    std::optional<Clock::time_point> next = m_ringDeadline;
    if (m_inFlight && (!next || m_inFlight->deadline < *next)) next = m_inFlight->deadline;
    auto now = Clock::now();
    int audioMs = m_audio.TransmitWaitMs(now);
    if (!next) return audioMs;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now);
    // Round up so the wake-up falls after the deadline, not just before it.
    int timeoutMs = left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
    return audioMs >= 0 && audioMs < timeoutMs ? audioMs : timeoutMs;
}

void LineDevice::TransmitLocked() {
    if (m_lost || m_passthrough) return;
    m_audio.Transmit(Clock::now(), m_transmitPending);
    while (!m_transmitPending.empty()) {
        size_t done = 0;
        platform::SerialStatus status = platform::SerialWrite(
            m_device.Descriptor(), m_transmitPending.data(), m_transmitPending.size(), &done);
        m_transmitPending.erase(0, done);
        // Pending: the modem holds us back (flow control); a lost device is the reader's news.
        if (status != platform::SerialStatus::Ok || done == 0) break;
    }
}

void LineDevice::ReadDevice(bool hungUp) {
    std::string bytes;
    char buffer[512];
    size_t got = 0;
    platform::SerialStatus status = platform::SerialStatus::Pending;
    // A device that sends faster than this is read has the rest read after the next wake-up.
    while (bytes.size() < kMaxReadBytes &&
           (status = platform::SerialRead(m_device.Descriptor(), buffer, sizeof buffer, &got)) ==
               platform::SerialStatus::Ok) {
        bytes.append(buffer, got);
    }
    // A closed pty master reads as EIO, an unplugged USB modem as EIO or end of file; a
    // hang-up with nothing left to read would otherwise wake the wait for ever.
    bool lost = status != platform::SerialStatus::Ok &&
                (status != platform::SerialStatus::Pending || hungUp);
    platform::MutexLock lock(m_mutex);
    ConsumeLocked(bytes.data(), bytes.size());
    if (m_parser.TakeOverlongLine()) {
        std::fprintf(stderr,
                     "libtapi32: a line from the modem was longer than %zu bytes; the "
                     "rest of it was dropped\n",
                     ModemParser::kMaxLineBytes);
    }
    if (lost && !m_lost) DeviceLostLocked();
}

void LineDevice::ConsumeLocked(const char* data, size_t size) {
    std::vector<ModemInput> inputs;
    size_t at = 0;
    while (at < size && !m_lost && !m_passthrough) {
        if (m_audio.Receiving()) {
            std::string events;
            bool ended = false;
            at += m_audio.Receive(data + at, size - at, events, ended);
            for (char event : events) HandleEventLocked(event);
            CheckHangupHeardLocked();
            continue;
        }
        // Command state goes byte by byte: the CONNECT that opens a receive stream hands
        // the bytes right after it to the stream.
        inputs.clear();
        m_parser.Feed(data + at, 1, inputs);
        ++at;
        for (const ModemInput& input : inputs) HandleInputLocked(input);
    }
}

void LineDevice::DeviceLostLocked() {
    m_lost = true;
    m_offHook = false;
    m_ringDeadline.reset();
    if (m_inFlight) FinishCommandLocked(false);
    m_transmitPending.clear();
    m_audio.Drop();
    Call* call = FindLocked(m_current);
    if (call && call->phase == CallPhase::Offering) {
        SetPhaseLocked(m_current, CallPhase::Idle, 0);
    } else if (call &&
               (call->phase == CallPhase::Connected || call->phase == CallPhase::Answering)) {
        SetPhaseLocked(m_current, CallPhase::Disconnected, LINEDISCONNECTMODE_UNAVAIL);
    }
    if (m_lineStates & LINEDEVSTATE_OUTOFSERVICE) {
        Post(m_line, LINE_LINEDEVSTATE, LINEDEVSTATE_OUTOFSERVICE, 0, 0);
    }
}

void LineDevice::SetPhaseLocked(HCALL handle, CallPhase phase, DWORD mode) {
    Call* call = FindLocked(handle);
    if (!call || call->phase == phase) return;
    call->phase = phase;
    if (handle == m_current && phase != CallPhase::Offering) m_ringDeadline.reset();
    DWORD state = 0;
    switch (phase) {
        case CallPhase::Offering:
            state = LINECALLSTATE_OFFERING;
            break;
        case CallPhase::Answering:
            return;  // still offering as far as the application knows
        case CallPhase::Connected:
            state = LINECALLSTATE_CONNECTED;
            break;
        case CallPhase::Disconnected:
            state = LINECALLSTATE_DISCONNECTED;
            break;
        case CallPhase::Idle:
            state = LINECALLSTATE_IDLE;
            break;
    }
    Post(handle, LINE_CALLSTATE, state, mode, 0);
}

void LineDevice::Reply(DWORD requestId, LONG result) {
    if (requestId != 0) Post(0, LINE_REPLY, requestId, ResultParam(result), 0);
}

void LineDevice::Post(DWORD device, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    m_sink(LineMessage{device, message, p1, p2, p3});
}

LineDevice::Call* LineDevice::FindLocked(HCALL call) {
    auto found = m_calls.find(call);
    return found == m_calls.end() ? nullptr : &found->second;
}

void LineDevice::SetStatusMessages(DWORD lineStates) {
    platform::MutexLock lock(m_mutex);
    m_lineStates = lineStates;
}

LONG LineDevice::Answer(HCALL handle, DWORD requestId) {
    platform::MutexLock lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    if (call->phase != CallPhase::Offering || handle != m_current) return LINEERR_INVALCALLSTATE;
    call->phase = CallPhase::Answering;
    m_ringDeadline.reset();
    return QueueLocked({RequestKind::Answer, requestId, handle, 0});
}

LONG LineDevice::Drop(HCALL handle, DWORD requestId) {
    platform::MutexLock lock(m_mutex);
    if (!FindLocked(handle)) return LINEERR_INVALCALLHANDLE;
    return QueueLocked({RequestKind::Drop, requestId, handle, 0});
}

LONG LineDevice::Deallocate(HCALL handle) {
    platform::MutexLock lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    // Applications drop and deallocate without waiting for the drop's reply: the service
    // finishes the hang-up on its own.
    if (call->phase != CallPhase::Idle) QueueLocked({RequestKind::Drop, 0, handle, 0});
    m_calls.erase(handle);
    return 0;
}

LONG LineDevice::MonitorMedia(HCALL handle, DWORD mediaModes) {
    platform::MutexLock lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    if (mediaModes & ~(LINEMEDIAMODE_G3FAX | LINEMEDIAMODE_DATAMODEM)) {
        return LINEERR_INVALMEDIAMODE;
    }
    if (call->phase == CallPhase::Idle) return LINEERR_INVALCALLSTATE;
    call->monitoredModes = mediaModes;
    return 0;
}

LONG LineDevice::SetBearerMode(HCALL handle, DWORD bearerMode, DWORD requestId) {
    platform::MutexLock lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    if (bearerMode != LINEBEARERMODE_VOICE && bearerMode != LINEBEARERMODE_PASSTHROUGH) {
        return LINEERR_INVALBEARERMODE;
    }
    if (call->phase != CallPhase::Connected) return LINEERR_INVALCALLSTATE;
    return QueueLocked({RequestKind::SetBearer, requestId, handle, bearerMode});
}

LONG LineDevice::MakePassthroughCall(HCALL& handle, DWORD requestId) {
    platform::MutexLock lock(m_mutex);
    if (m_lost) return LINEERR_OPERATIONFAILED;
    handle = m_nextCall++;
    m_calls.emplace(handle, Call{CallPhase::Connected, 0, true, {}});
    return QueueLocked({RequestKind::MakeCall, requestId, handle, LINEBEARERMODE_PASSTHROUGH});
}

LONG LineDevice::DuplicateCommHandle(HCALL handle, int& descriptor) {
    platform::MutexLock lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    if (!call->passthrough || !m_passthrough || handle != m_current || m_lost) {
        return LINEERR_INVALCALLSTATE;
    }
    descriptor = platform::SerialDuplicate(m_device.Descriptor());
    return descriptor >= 0 ? 0 : LINEERR_RESOURCEUNAVAIL;
}

DWORD LineDevice::StatusFlags() {
    platform::MutexLock lock(m_mutex);
    if (m_lost) return 0;
    return LINEDEVSTATUSFLAGS_CONNECTED | (m_outOfService ? 0 : LINEDEVSTATUSFLAGS_INSERVICE);
}

LONG LineDevice::GetCallerId(HCALL handle, CallerId& callerId) {
    platform::MutexLock lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    callerId = call->callerId;
    return 0;
}

bool LineDevice::HasCall(HCALL handle) {
    platform::MutexLock lock(m_mutex);
    return FindLocked(handle) != nullptr;
}

void LineDevice::SetVoiceCodec(VoiceCodec codec, int modemRateHz) {
    platform::MutexLock lock(m_mutex);
    m_audio.SetCodec(codec, modemRateHz);
}

void LineDevice::SetTonePlan(const TonePlan& plan) {
    platform::MutexLock lock(m_mutex);
    m_hangup.SetTonePlan(plan);
}

platform::MMRESULT LineDevice::WaveOpen(platform::HWAVE* device, platform::WaveDirection direction,
                                        uint32_t deviceId, const platform::WAVEFORMATEX* format,
                                        platform::WAVENOTIFY notify, void* context) {
    platform::MutexLock lock(m_mutex);
    Call* call = FindLocked(deviceId);
    if (!call || deviceId != m_current || call->phase != CallPhase::Connected || m_passthrough ||
        m_lost) {
        return platform::MMSYSERR_BADDEVICEID;
    }
    return m_audio.Open(device, direction, format, notify, context);
}

// Each request on a call's audio wakes the modem thread, which moves the stream on.
template <typename AudioFn>
platform::MMRESULT LineDevice::AudioRequest(AudioFn request) {
    platform::MutexLock lock(m_mutex);
    platform::MMRESULT result = request(m_audio);
    Wake();
    return result;
}

platform::MMRESULT LineDevice::WaveAddBuffer(platform::HWAVE device, platform::WAVEHDR* header) {
    return AudioRequest([&](CallAudio& audio) { return audio.AddBuffer(device, header); });
}

platform::MMRESULT LineDevice::WaveStart(platform::HWAVE device) {
    return AudioRequest([&](CallAudio& audio) { return audio.Start(device); });
}

platform::MMRESULT LineDevice::WaveReset(platform::HWAVE device) {
    return AudioRequest([&](CallAudio& audio) { return audio.Reset(device); });
}

platform::MMRESULT LineDevice::WaveClose(platform::HWAVE device) {
    return AudioRequest([&](CallAudio& audio) { return audio.Close(device); });
}

platform::MMRESULT LineDevice::WaveCallerEnd(platform::HWAVE device, uint32_t* samples) {
    platform::MutexLock lock(m_mutex);
    return m_audio.CallerEnd(device, samples);
}

}  // namespace tapi

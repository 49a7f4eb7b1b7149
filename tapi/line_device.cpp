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

LineDevice::~LineDevice() {
    Stop();
    if (m_wake >= 0) platform::SerialClose(m_wake);
}

bool LineDevice::Start() {
    m_wake = platform::SerialWakeOpen();
    if (m_wake < 0) return false;
    m_stop = false;
    m_serviceProblem = SoftLineProblem();
    m_outOfService = !m_serviceProblem.empty();
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

    std::lock_guard<std::mutex> lock(m_mutex);
    EndStreamForShutdown();
    bool onHook = true;
    if (!m_lost && (m_offHook || m_inFlight)) {
        onHook = HangUp(m_device);
        m_offHook = !onHook;
    }
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

// A voice stream must end before the hang-up command, or the modem takes it for samples.
void LineDevice::EndStreamForShutdown() {
    bool voiceInFlight = m_inFlight && m_inFlight->request.kind == RequestKind::Voice;
    bool ending = voiceInFlight && !m_audio.IsStartStep(m_voiceStep);
    bool receiving =
        m_audio.Receiving() || (voiceInFlight && m_voiceStep == CallAudio::Step::StartReceive);
    bool transmitting = m_audio.Streaming() || voiceInFlight;
    std::string end;
    CommandReply reply;
    if (!m_lost && ending) {
        end = m_audio.StepBytes(m_voiceStep);
        reply = AwaitResult(m_device, kCommandTimeoutMs);  // the stream's end is on its way
    } else if (!m_lost && (receiving || transmitting)) {
        end = m_audio.StepBytes(receiving ? CallAudio::Step::StopReceive
                                          : CallAudio::Step::AbortTransmit);
        if (m_device.Write(m_transmitPending + end)) {
            reply = AwaitResult(m_device, kCommandTimeoutMs);
        }
    }
    if (!end.empty() && reply.status == CommandReply::Status::Timeout) {
        LeaveDeafStream(m_device, end, kDtrDropMs);
    }
    m_transmitPending.clear();
    m_audio.Drop();
}

void LineDevice::Wake() { platform::SerialWakeSignal(m_wake); }

void LineDevice::Run() {
    while (!m_stop) {
        int timeoutMs;
        bool watchDevice;
        bool wantWrite;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            StartNextRequestLocked();
            TransmitLocked();
            timeoutMs = PollTimeoutLocked();
            watchDevice = !m_passthrough && !m_lost;
            wantWrite = !m_transmitPending.empty();
        }
        platform::SerialReadiness ready;
        platform::SerialStatus waited = platform::SerialWaitDevice(
            m_wake, watchDevice ? m_device.Descriptor() : -1, wantWrite, timeoutMs, ready);
        if (waited != platform::SerialStatus::Ok && waited != platform::SerialStatus::Pending)
            break;
        if (m_stop) break;
        if (ready.readable || ready.hungUp) ReadDevice(ready.hungUp);
        std::lock_guard<std::mutex> lock(m_mutex);
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
    std::lock_guard<std::mutex> lock(m_mutex);
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

void LineDevice::HandleInputLocked(const ModemInput& input) {
    if (input.kind == ModemInput::Kind::Event) {
        HandleEventLocked(input.event);
        return;
    }
    if (IsCommandEcho(input.line)) return;
    ModemResult result = ClassifyLine(input.line);
    if (m_inFlight && m_inFlight->recovery == Recovery::DtrDropped) return;  // ATH comes first
    if (m_inFlight && IsFinalResult(result)) {
        bool hungUp =
            result == ModemResult::NoCarrier && m_inFlight->request.kind == RequestKind::Drop;
        bool succeeded = result == ModemResult::Ok || result == ModemResult::Vcon || hungUp;
        if (m_inFlight->request.kind == RequestKind::Voice && m_audio.IsStartStep(m_voiceStep)) {
            succeeded = result == ModemResult::Connect;
        }
        if (!succeeded && result == ModemResult::Error &&
            m_inFlight->next < m_inFlight->commands.size()) {
            SendNextCommandLocked();
            return;
        }
        FinishCommandLocked(succeeded);
        return;
    }
    std::string key, value;
    switch (result) {
        case ModemResult::Ring:
            HandleRingLocked();
            break;
        case ModemResult::NoCarrier:
            HandleHangupLocked(LINEDISCONNECTMODE_NORMAL);
            break;
        case ModemResult::Busy:
            HandleHangupLocked(LINEDISCONNECTMODE_BUSY);
            break;
        case ModemResult::None:
            // A caller id value ends at its first control byte: what follows is not the caller's.
            if (ParseCallerIdLine(input.line.substr(0, input.controlAt), key, value))
                HandleCallerIdLocked(key, value);
            break;
        case ModemResult::Ok:
        case ModemResult::Vcon:
        case ModemResult::Connect:
        case ModemResult::Error:
        case ModemResult::NoDialtone:
        case ModemResult::NoAnswer:
            break;
    }
}

void LineDevice::HandleEventLocked(char event) {
    Call* call = FindLocked(m_current);
    switch (event) {
        case kEventRing:
            HandleRingLocked();
            break;
        case kEventBusy:
            HandleHangupLocked(LINEDISCONNECTMODE_BUSY);
            break;
        case kEventDialTone:
        case kEventLoopBreak:
        case kEventExtensionOffHook:
        case kEventHandsetOnHook:
            HandleHangupLocked(LINEDISCONNECTMODE_NORMAL);
            break;
        case kEventSilence:
        case kEventQuiet:
            if (m_silenceS > 0) HandleHangupLocked(LINEDISCONNECTMODE_NORMAL);
            break;
        case kEventFaxCallingTone:
            if (call && (call->monitoredModes & LINEMEDIAMODE_G3FAX)) {
                Post(m_current, LINE_MONITORMEDIA, LINEMEDIAMODE_G3FAX, 0, platform::TickCountMs());
            }
            break;
        case kEventDataCallingTone:
            if (call && (call->monitoredModes & LINEMEDIAMODE_DATAMODEM)) {
                Post(m_current, LINE_MONITORMEDIA, LINEMEDIAMODE_DATAMODEM, 0,
                     platform::TickCountMs());
            }
            break;
        default:
            break;
    }
}

void LineDevice::HandleRingLocked() {
    Call* call = FindLocked(m_current);
    if (call && call->phase != CallPhase::Offering && call->phase != CallPhase::Idle) return;
    if (!call || call->phase == CallPhase::Idle) {
        if (PendingCallerIdExpiredLocked()) m_pendingCallerId = {};
        HCALL handle = m_nextCall++;
        Call fresh{CallPhase::Offering, 0, false, m_pendingCallerId};
        bool knownCaller = !m_pendingCallerId.number.empty() || !m_pendingCallerId.name.empty();
        m_pendingCallerId = {};
        m_calls.emplace(handle, fresh);
        m_current = handle;
        m_ringCount = 0;
        Post(handle, LINE_CALLSTATE, LINECALLSTATE_OFFERING, LINEOFFERINGMODE_ACTIVE,
             LINECALLPRIVILEGE_OWNER);
        if (knownCaller) Post(handle, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
    }
    ++m_ringCount;
    m_ringDeadline = Clock::now() + std::chrono::milliseconds(m_ringTimeoutMs);
    if (m_lineStates & LINEDEVSTATE_RINGING) {
        Post(m_line, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, m_ringCount);
    }
}

void LineDevice::HandleHangupLocked(DWORD disconnectMode) {
    Call* call = FindLocked(m_current);
    if (call && call->phase == CallPhase::Connected) {
        m_audio.MarkCallerEnd(m_hangup.HangupSoundSamples());
        SetPhaseLocked(m_current, CallPhase::Disconnected, disconnectMode);
    }
}

// Caller id that no ring follows within the ring time-out was for no call of ours.
bool LineDevice::PendingCallerIdExpiredLocked() const {
    return Clock::now() - m_pendingCallerIdAt > std::chrono::milliseconds(m_ringTimeoutMs);
}

void LineDevice::HandleCallerIdLocked(const std::string& key, const std::string& value) {
    Call* call = FindLocked(m_current);
    bool offered = call && call->phase == CallPhase::Offering;
    // During a call it belongs to no call: kept, it would go to the next caller.
    if (call && !offered && call->phase != CallPhase::Idle) return;
    if (!offered && PendingCallerIdExpiredLocked()) m_pendingCallerId = {};
    CallerId& target = offered ? call->callerId : m_pendingCallerId;
    std::string* field = key == "DATE"   ? &target.date
                         : key == "TIME" ? &target.time
                         : key == "NMBR" ? &target.number
                         : key == "NAME" ? &target.name
                                         : nullptr;
    // The first value of each field holds: a caller's text with line ends in it, printed as it
    // came, must not bring a "NMBR = " line of its own.
    if (!field || !field->empty()) return;
    *field = value;
    if (!offered) m_pendingCallerIdAt = Clock::now();
    if (offered && (key == "NMBR" || key == "NAME")) {
        Post(m_current, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
    }
}

// Modems that never report the caller's hang-up: the line library's own ears.
void LineDevice::CheckHangupHeardLocked() {
    HangupDetector::Verdict heard = m_hangup.Heard();
    if (heard == HangupDetector::Verdict::None || m_hangupReported) return;
    m_hangupReported = true;
    if (m_trace) {
        std::fprintf(stderr, "libtapi32: hang-up heard: %s over the last %.1f s\n",
                     VerdictName(heard),
                     static_cast<double>(m_hangup.VerdictSamples()) / kLineRateHz);
    }
    HandleHangupLocked(heard == HangupDetector::Verdict::Busy ? LINEDISCONNECTMODE_BUSY
                                                              : LINEDISCONNECTMODE_NORMAL);
}

void LineDevice::CheckDeadlinesLocked() {
    auto now = Clock::now();
    if (m_inFlight && now >= m_inFlight->deadline && !RecoverStreamEndLocked()) {
        FinishCommandLocked(false);
    }
    if (m_ringDeadline && now >= *m_ringDeadline) {
        m_ringDeadline.reset();
        Call* call = FindLocked(m_current);
        if (call && call->phase == CallPhase::Offering) {
            SetPhaseLocked(m_current, CallPhase::Idle, 0);
        }
    }
}

bool LineDevice::StartVoiceStepLocked() {
    if (m_lost || m_passthrough) return false;
    CallAudio::Step step = m_audio.NextStep();
    if (!m_requests.empty()) {
        // The line's own requests come first; a stream in their way is ended for good.
        m_audio.Preempt();
        if (!m_audio.Streaming()) return false;
        step = m_audio.Receiving() ? CallAudio::Step::StopReceive : CallAudio::Step::AbortTransmit;
    }
    if (step == CallAudio::Step::None) return false;
    if (m_audio.IsStartStep(step)) {
        Call* call = FindLocked(m_current);
        if (!call || call->phase != CallPhase::Connected || !m_offHook) {
            m_audio.StreamStarted(step, false);
            return false;
        }
    }
    m_audio.Begin(step);
    m_voiceStep = step;
    m_inFlight = InFlight{
        {RequestKind::Voice, 0, m_current, 0}, {m_audio.StepBytes(step)}, 0, {}, kCommandTimeoutMs};
    SendNextCommandLocked();
    return true;
}

void LineDevice::StartNextRequestLocked() {
    if (!m_inFlight && StartVoiceStepLocked()) return;
    while (!m_inFlight && !m_requests.empty()) {
        Request request = m_requests.front();
        m_requests.pop_front();
        if (m_lost) {
            // The line is gone: a drop has nothing left to do, anything else fails.
            CompleteLocked(request, request.kind == RequestKind::Drop);
            continue;
        }
        Call* call = FindLocked(request.call);
        switch (request.kind) {
            case RequestKind::Answer:
                if (call && call->phase == CallPhase::Answering && request.call == m_current) {
                    m_inFlight = InFlight{request, {"AT+VLS=1"}, 0, {}};
                    SendNextCommandLocked();
                } else {
                    CompleteLocked(request, false);
                }
                break;
            case RequestKind::Drop:
                if (m_offHook && request.call == m_current) {
                    // Dropping the call ends the hand-over: the hang-up's answer is ours again.
                    m_passthrough = false;
                    m_parser.Reset();
                    m_inFlight = InFlight{request, {"AT+VLS=0", "ATH"}, 0, {}};
                    SendNextCommandLocked();
                } else {
                    CompleteLocked(request, true);
                }
                break;
            case RequestKind::SetBearer:
                if (call && call->phase == CallPhase::Connected && request.call == m_current) {
                    bool handedBack = m_passthrough && request.bearerMode == LINEBEARERMODE_VOICE;
                    call->passthrough = request.bearerMode == LINEBEARERMODE_PASSTHROUGH;
                    m_passthrough = call->passthrough;
                    m_parser.Reset();
                    if (!handedBack) {
                        CompleteLocked(request, true);
                        break;
                    }
                    // The application may have left the modem in fax class: voice again, so
                    // the hang-up and the next call find it as the line set it up.
                    m_device.DiscardInput();
                    m_inFlight = InFlight{request, {"AT+FCLASS=8"}, 0, {}, kCommandTimeoutMs};
                    SendNextCommandLocked();
                } else {
                    CompleteLocked(request, false);
                }
                break;
            case RequestKind::MakeCall:
                m_current = request.call;
                m_offHook = true;  // whoever holds the line, dropping this call hangs up
                m_passthrough = true;
                m_parser.Reset();
                CompleteLocked(request, true);
                break;
            case RequestKind::Voice:
                break;
        }
    }
}

// Called when a stream's end has gone unanswered past its deadline; false when there is
// nothing more to try.
bool LineDevice::RecoverStreamEndLocked() {
    InFlight& flight = *m_inFlight;
    bool ending = flight.request.kind == RequestKind::Voice && !m_audio.IsStartStep(m_voiceStep);
    if (!ending || m_lost) return false;
    auto now = Clock::now();
    switch (flight.recovery) {
        case Recovery::None:
            flight.recovery = Recovery::Resent;
            flight.deadline = now + std::chrono::milliseconds(kCommandTimeoutMs);
            return m_device.Write(m_audio.StepBytes(m_voiceStep));
        case Recovery::Resent:
            flight.recovery = Recovery::DtrDropped;
            flight.deadline = now + std::chrono::milliseconds(kDtrDropMs);
            platform::SerialLowerDtr(m_device.Descriptor());  // a pty has no DTR: ATH alone
            return true;
        case Recovery::DtrDropped:
            platform::SerialRaiseDtr(m_device.Descriptor());
            // Whatever the modem still streams is no longer ours; its next line is ATH's answer.
            m_device.DiscardInput();
            m_audio.StreamEnded();
            m_parser.Reset();
            m_offHook = false;
            flight.recovery = Recovery::HangingUp;
            flight.deadline = now + std::chrono::milliseconds(kHookCommandTimeoutMs);
            HandleHangupLocked(LINEDISCONNECTMODE_UNAVAIL);
            return m_device.Write("ATH\r");
        case Recovery::HangingUp:
            break;
    }
    return false;
}

void LineDevice::SendNextCommandLocked() {
    const std::string& command = m_inFlight->commands[m_inFlight->next++];
    m_inFlight->deadline = Clock::now() + std::chrono::milliseconds(m_inFlight->timeoutMs);
    // Stream controls (DLE ...) go as they are, after the samples still unwritten.
    bool control = !command.empty() && command[0] == kDle;
    std::string bytes = m_transmitPending + command + (control ? "" : "\r");
    m_transmitPending.clear();
    if (!m_device.Write(bytes)) FinishCommandLocked(false);
}

void LineDevice::FinishCommandLocked(bool succeeded) {
    Request request = m_inFlight->request;
    m_inFlight.reset();
    CompleteLocked(request, succeeded);
}

void LineDevice::CompleteLocked(const Request& request, bool succeeded) {
    LONG failure = LINEERR_OPERATIONFAILED;
    switch (request.kind) {
        case RequestKind::Answer:
            // A failed answer may still have taken the line; the drop that follows hangs up.
            m_offHook = !m_lost;
            Reply(request.id, succeeded ? 0 : failure);
            if (succeeded) {
                SetPhaseLocked(request.call, CallPhase::Connected, LINECONNECTEDMODE_ACTIVE);
            } else {
                SetPhaseLocked(request.call, CallPhase::Disconnected, LINEDISCONNECTMODE_UNAVAIL);
            }
            break;
        case RequestKind::Drop:
            if (succeeded && request.call == m_current) {
                m_offHook = false;
                m_passthrough = false;
            }
            if (succeeded) SetPhaseLocked(request.call, CallPhase::Idle, 0);
            Reply(request.id, succeeded ? 0 : failure);
            break;
        case RequestKind::SetBearer:
        case RequestKind::MakeCall:
            Reply(request.id, succeeded ? 0 : failure);
            break;
        case RequestKind::Voice:
            if (m_voiceStep == CallAudio::Step::StartReceive && succeeded) {
                m_hangup.Reset();
                m_hangupReported = false;
            }
            if (m_audio.IsStartStep(m_voiceStep)) {
                m_audio.StreamStarted(m_voiceStep, succeeded);
            } else {
                m_audio.StreamEnded();
            }
            m_voiceStep = CallAudio::Step::None;
            break;
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

LONG LineDevice::QueueLocked(const Request& request) {
    m_requests.push_back(request);
    Wake();
    return static_cast<LONG>(request.id);
}

void LineDevice::SetStatusMessages(DWORD lineStates) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lineStates = lineStates;
}

LONG LineDevice::Answer(HCALL handle, DWORD requestId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    if (call->phase != CallPhase::Offering || handle != m_current) return LINEERR_INVALCALLSTATE;
    call->phase = CallPhase::Answering;
    m_ringDeadline.reset();
    return QueueLocked({RequestKind::Answer, requestId, handle, 0});
}

LONG LineDevice::Drop(HCALL handle, DWORD requestId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!FindLocked(handle)) return LINEERR_INVALCALLHANDLE;
    return QueueLocked({RequestKind::Drop, requestId, handle, 0});
}

LONG LineDevice::Deallocate(HCALL handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    // Applications drop and deallocate without waiting for the drop's reply: the service
    // finishes the hang-up on its own.
    if (call->phase != CallPhase::Idle) QueueLocked({RequestKind::Drop, 0, handle, 0});
    m_calls.erase(handle);
    return 0;
}

LONG LineDevice::MonitorMedia(HCALL handle, DWORD mediaModes) {
    std::lock_guard<std::mutex> lock(m_mutex);
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
    std::lock_guard<std::mutex> lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    if (bearerMode != LINEBEARERMODE_VOICE && bearerMode != LINEBEARERMODE_PASSTHROUGH) {
        return LINEERR_INVALBEARERMODE;
    }
    if (call->phase != CallPhase::Connected) return LINEERR_INVALCALLSTATE;
    return QueueLocked({RequestKind::SetBearer, requestId, handle, bearerMode});
}

LONG LineDevice::MakePassthroughCall(HCALL& handle, DWORD requestId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lost) return LINEERR_OPERATIONFAILED;
    handle = m_nextCall++;
    m_calls.emplace(handle, Call{CallPhase::Connected, 0, true, {}});
    return QueueLocked({RequestKind::MakeCall, requestId, handle, LINEBEARERMODE_PASSTHROUGH});
}

LONG LineDevice::DuplicateCommHandle(HCALL handle, int& descriptor) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    if (!call->passthrough || !m_passthrough || handle != m_current || m_lost) {
        return LINEERR_INVALCALLSTATE;
    }
    descriptor = platform::SerialDuplicate(m_device.Descriptor());
    return descriptor >= 0 ? 0 : LINEERR_RESOURCEUNAVAIL;
}

DWORD LineDevice::StatusFlags() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lost) return 0;
    return LINEDEVSTATUSFLAGS_CONNECTED | (m_outOfService ? 0 : LINEDEVSTATUSFLAGS_INSERVICE);
}

LONG LineDevice::GetCallerId(HCALL handle, CallerId& callerId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Call* call = FindLocked(handle);
    if (!call) return LINEERR_INVALCALLHANDLE;
    callerId = call->callerId;
    return 0;
}

bool LineDevice::HasCall(HCALL handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return FindLocked(handle) != nullptr;
}

}  // namespace tapi

namespace tapi {

void LineDevice::SetVoiceCodec(VoiceCodec codec, int modemRateHz) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_audio.SetCodec(codec, modemRateHz);
}

void LineDevice::SetTonePlan(const TonePlan& plan) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hangup.SetTonePlan(plan);
}

platform::MMRESULT LineDevice::WaveOpen(platform::HWAVE* device, platform::WaveDirection direction,
                                        uint32_t deviceId, const platform::WAVEFORMATEX* format,
                                        platform::WAVENOTIFY notify, void* context) {
    std::lock_guard<std::mutex> lock(m_mutex);
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
    std::lock_guard<std::mutex> lock(m_mutex);
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
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_audio.CallerEnd(device, samples);
}

}  // namespace tapi

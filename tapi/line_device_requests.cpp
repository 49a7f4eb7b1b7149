// The request engine: the application's requests queued and carried out one modem command
// dialogue at a time, with their deadlines, the recovery of a stream end the modem does not
// answer, and the replies.
#include "platform/serial_port.h"
#include "tapi/line_device.h"
#include "tapi/modem_dialog.h"
#include "tapi/voice_format.h"

namespace tapi {

using Clock = std::chrono::steady_clock;

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

LONG LineDevice::QueueLocked(const Request& request) {
    m_requests.push_back(request);
    Wake();
    return static_cast<LONG>(request.id);
}

}  // namespace tapi

// What the modem reports on its own: rings and caller id of an offered call, DLE events, the
// hang-up heard in the call's audio.
#include <cstdio>

#include "platform/clock.h"
#include "tapi/line_device.h"
#include "tapi/modem_dialog.h"
#include "tapi/voice_format.h"

namespace tapi {

using Clock = std::chrono::steady_clock;

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
    // Sent before the modem went off hook, so this caller's even when the answer came between
    // the ring and it.
    bool offered =
        call && (call->phase == CallPhase::Offering || call->phase == CallPhase::Answering);
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

}  // namespace tapi

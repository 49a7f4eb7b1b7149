// The simulated telephone line: callers arrive over the socket, ring, are answered and hang up.
#include <spandsp.h>
#include <spandsp/expose.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <ctime>

#include "line_protocol/line_protocol.h"
#include "vmodem/vmodem.h"

namespace {

// A caller who finds the line in use waits this long for it before hearing busy.
constexpr int64_t kLineBusyWaitMs = 15000;
constexpr size_t kMaxNumberDigits = 20;

}  // namespace

bool VirtualModem::lineFree() const { return m_call == CallState::None && !m_offHook; }

void VirtualModem::acceptCaller() {
    int fd = accept4(m_listen.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    Caller caller;
    caller.fd.reset(fd);
    caller.arrivedMs = vmodemNowMs();
    m_callers.push_back(std::move(caller));
    trace("caller connected");
}

void VirtualModem::readCaller(std::list<Caller>::iterator it) {
    char buf[line_protocol::kMaxPacket];
    while (true) {
        ssize_t n = recv(it->fd.get(), buf, sizeof(buf), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (n <= 0) {
            callerGone(it);
            return;
        }
        if (buf[0] == line_protocol::kSetup && !it->setupDone) {
            it->setupDone = true;
            for (ssize_t i = 1; i < n && it->number.size() < kMaxNumberDigits; ++i) {
                if (std::isdigit(static_cast<unsigned char>(buf[i]))) it->number.push_back(buf[i]);
            }
            trace("call from '" + it->number + "'");
        } else if (buf[0] == line_protocol::kHandset && m_hasActive && it == m_active &&
                   m_call == CallState::Ringing) {
            pickUpHandset();
        } else if (buf[0] == line_protocol::kAudio && m_hasActive && it == m_active &&
                   m_call == CallState::Connected) {
            int16_t samples[line_protocol::kMaxAudioSamples];
            lineAudio(samples, int(line_protocol::decodeAudio(buf + 1, size_t(n - 1), samples)));
        }
    }
}

void VirtualModem::callerGone(std::list<Caller>::iterator it) {
    bool active = m_hasActive && it == m_active;
    m_callers.erase(it);
    if (!active) return;
    m_hasActive = false;
    m_active = m_callers.end();
    if (m_call == CallState::Ringing || m_handsetHolds) {
        // A line says nothing when the caller gives up before the answer: the rings just stop.
        // The person on the telephone hears the caller go and hangs up too.
        trace("caller gave up");
        m_call = CallState::None;
        m_handsetHolds = false;
        return;
    }
    trace("caller hung up");
    if (m_terminal) {
        // The line's own fax machine puts its receiver down too, and the line is free again.
        stopTerminal();
        return;
    }
    m_call = CallState::FarEndGone;
    m_farEndGoneMs = vmodemNowMs();
    m_busyReported = false;
    m_quietSamples = 0;
    m_silenceReported = false;
    startHangupTone();
    if (m_t31 && m_faxJoined) {
        t31_call_event(m_t31, AT_CALL_EVENT_HANGUP);
        m_faxHangupPending = true;
        runFaxDeferred();
    }
}

void VirtualModem::startNextCall() {
    int64_t now = vmodemNowMs();
    for (auto it = m_callers.begin(); it != m_callers.end();) {
        bool waiting = !(m_hasActive && it == m_active);
        if (waiting && now - it->arrivedMs > kLineBusyWaitMs) {
            char busy = line_protocol::kBusy;
            ::send(it->fd.get(), &busy, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            it = m_callers.erase(it);
            continue;
        }
        ++it;
    }
    if (!lineFree() || m_hasActive) return;
    for (auto it = m_callers.begin(); it != m_callers.end(); ++it) {
        if (!it->setupDone) continue;
        m_active = it;
        m_hasActive = true;
        m_call = CallState::Ringing;
        m_rings = 0;
        m_nextRingMs = now;
        if (m_t31) at_reset_call_info(&m_t31->at_state);
        trace("ringing");
        return;
    }
}

void VirtualModem::ring() {
    ++m_rings;
    m_nextRingMs += m_options.ringIntervalMs;
    if (m_t31) {
        t31_call_event(m_t31, AT_CALL_EVENT_ALERTING);
        runFaxDeferred();
    } else {
        bool callerId = m_rings == 1 && m_vcid != 0 && !m_active->number.empty();
        bool idFirst = personality().callerIdTiming == CallerIdTiming::BeforeFirstRing;
        if (callerId && idFirst) sendCallerId();
        sendResult(ResultCode::Ring);
        if (callerId && !idFirst) sendCallerId();
    }
    if (m_call == CallState::Ringing)
        sendToCaller(line_protocol::kRing, std::to_string(m_options.ringIntervalMs));
    if (m_call == CallState::Ringing && !m_options.answerFaxPath.empty()) startTerminal();
}

// The caller id message decoded from the line's FSK burst, in the chipset's layout.
void VirtualModem::sendCallerId() {
    time_t t = time(nullptr);
    tm local{};
    localtime_r(&t, &local);
    char date[16];
    char clock[16];
    strftime(date, sizeof(date), "%m%d", &local);
    strftime(clock, sizeof(clock), "%H%M", &local);
    const char* equals = personality().callerIdLayout == CallerIdLayout::Spaced ? " = " : "=";
    sendInfo(std::string("DATE") + equals + date);
    sendInfo(std::string("TIME") + equals + clock);
    sendInfo(std::string("NMBR") + equals + m_active->number);
}

bool VirtualModem::answerCall() {
    if (m_call != CallState::Ringing) return false;
    trace("answered");
    m_call = CallState::Connected;
    sendToCaller(line_protocol::kAnswer);
    goOffHook();
    startCallingToneDetector();
    return true;
}

void VirtualModem::pickUpHandset() {
    trace("telephone picked up");
    m_call = CallState::Connected;
    m_handsetHolds = true;
    sendToCaller(line_protocol::kAnswer);
    if (!m_offHook) m_nextTickNs = vmodemNowNs() + line_protocol::kBlockNs;
    startCallingToneDetector();
}

void VirtualModem::startCallingToneDetector() {
    if (m_cngDetector) modem_connect_tones_rx_free(m_cngDetector);
    m_cngDetector =
        modem_connect_tones_rx_init(nullptr, MODEM_CONNECT_TONES_FAX_CNG, onCallingTone, this);
}

void VirtualModem::goOffHook() {
    // Joining a call the telephone holds: its audio runs already, and the modem holds the line.
    bool ticking = m_handsetHolds;
    m_handsetHolds = false;
    if (m_offHook) return;
    m_offHook = true;
    if (!ticking) m_nextTickNs = vmodemNowNs() + line_protocol::kBlockNs;
}

void VirtualModem::goOnHook() {
    if (m_handsetHolds) {
        // The modem going on hook (ATZ, ATH) leaves the telephone's call alone.
        m_mode = StreamMode::Command;
        m_transmitBuffer.clear();
        return;
    }
    // A caller who hung up first is gone from the list already: only the call's state is left.
    if (m_call == CallState::Connected && m_hasActive) {
        sendToCaller(line_protocol::kHangup);
        m_callers.erase(m_active);
        m_active = m_callers.end();
        m_hasActive = false;
    }
    if (m_call != CallState::Ringing) m_call = CallState::None;
    if (m_offHook) trace("on hook");
    m_offHook = false;
    m_mode = StreamMode::Command;
    m_transmitBuffer.clear();
    m_faxJoined = false;
    if (m_cngDetector) {
        modem_connect_tones_rx_free(m_cngDetector);
        m_cngDetector = nullptr;
    }
}

void VirtualModem::sendToCaller(char type, const std::string& payload) {
    if (!m_hasActive) return;
    std::string packet(1, type);
    packet += payload;
    ::send(m_active->fd.get(), packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

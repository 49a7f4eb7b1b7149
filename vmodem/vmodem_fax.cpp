// Class 1: the pty is handed to spandsp's T.31 modem, joined by audio to the caller.
#include <spandsp.h>
#include <spandsp/expose.h>

#include <cctype>
#include <cstdio>

#include "vmodem/vmodem.h"

namespace {

constexpr uint8_t kBackspace = 0x08;
constexpr size_t kMaxLine = 256;
constexpr int kCarrierLevel = 300;  // about -40 dBFS; both fax machines idle at exact zero
constexpr int64_t kCarrierQuietNs = 10'000'000;
constexpr int64_t kSampleNs = 125'000;  // 8000 samples/s

int atOutput(at_state_t*, void* user, const uint8_t* buf, size_t len) {
    static_cast<VirtualModem*>(user)->faxOutput(buf, len);
    return int(len);
}

int modemControl(t31_state_t*, void* user, int op, const char* num) {
    return static_cast<VirtualModem*>(user)->faxModemControl(op, reinterpret_cast<intptr_t>(num));
}

// Lines that leave Class 1 for the voice interpreter: T.31 knows nothing of voice,
// and a reset returns a real modem to class 0.
bool leavesFaxClass(const std::string& raw) {
    std::string line;
    for (char c : raw) {
        if (c != ' ') line.push_back(char(std::toupper(static_cast<unsigned char>(c))));
    }
    if (line.compare(0, 2, "AT") != 0) return false;
    std::string cmd = line.substr(2);
    return cmd.compare(0, 1, "Z") == 0 || cmd.compare(0, 2, "&F") == 0 ||
           cmd.compare(0, 2, "+V") == 0 || cmd == "+FCLASS=0" || cmd == "+FCLASS=8";
}

}  // namespace

void CarrierWatch::feed(const int16_t* samples, int count, int64_t startNs) {
    for (int i = 0; i < count; ++i) {
        const int64_t at = startNs + i * kSampleNs;
        const bool loud = samples[i] > kCarrierLevel || samples[i] < -kCarrierLevel;
        if (loud && !m_on) std::fprintf(stderr, "vmodem: carrier %s on %.3f\n", m_side, at / 1e6);
        if (!loud && m_on && at - m_lastLoudNs > kCarrierQuietNs)
            std::fprintf(stderr, "vmodem: carrier %s off %.3f\n", m_side, m_lastLoudNs / 1e6);
        if (loud) m_lastLoudNs = at;
        m_on = loud || (m_on && at - m_lastLoudNs <= kCarrierQuietNs);
    }
}

void VirtualModem::enterFaxClass(const std::string& line) {
    if (!m_t31) {
        m_t31 = t31_init(nullptr, atOutput, this, modemControl, this, nullptr, nullptr);
        if (!m_t31) {
            sendResult(ResultCode::Error);
            return;
        }
        t31_set_transmit_on_idle(m_t31, TRUE);
        if (m_options.trace) {
            logging_state_t* log = t31_get_logging_state(m_t31);
            span_log_set_level(log,
                               SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_FLOW);
            span_log_set_tag(log, "T.31");
        }
        m_faxJoined = false;
        m_faxCts = true;
        trace("entering class 1");
    }
    m_fclass = 1;
    m_mode = StreamMode::Command;
    // The voice interpreter has echoed this line already, CR included.
    bool echo = m_echo;
    m_echo = false;
    faxLine(line);
    m_echo = echo;
}

// spandsp 0.0.6's t31_free leaves the receive queue that t31_init allocated.
void VirtualModem::freeT31(t31_state_s* t31) {
    queue_free(t31->rx_queue);
    t31->rx_queue = nullptr;
    t31_free(t31);
}

void VirtualModem::leaveFaxClass() {
    if (!m_t31) return;
    trace("leaving class 1");
    freeT31(m_t31);
    m_t31 = nullptr;
    m_faxJoined = false;
    m_faxAnswerPending = false;
    m_faxHangupPending = false;
    m_faxCts = true;
    m_fclass = 0;
}

bool VirtualModem::faxInCommandState() const {
    int mode = m_t31->at_state.at_rx_mode;
    return mode == AT_MODE_ONHOOK_COMMAND || mode == AT_MODE_OFFHOOK_COMMAND;
}

void VirtualModem::faxByte(uint8_t byte) {
    if (!faxInCommandState()) {
        char c = char(byte);
        t31_at_rx(m_t31, &c, 1);
        return;
    }
    // Command lines are collected here so that the ones T.31 does not know can be taken back;
    // T.31 echoes the final CR itself.
    if (m_echo && byte != '\r') send(std::string(1, char(byte)));
    if (byte == '\r') {
        std::string line;
        line.swap(m_line);
        if (leavesFaxClass(line)) {
            if (m_echo) send("\r");
            leaveFaxClass();
            executeLine(line);
            return;
        }
        faxLine(line);
    } else if (byte == kBackspace) {
        if (!m_line.empty()) m_line.pop_back();
    } else if (byte != '\n' && m_line.size() < kMaxLine) {
        m_line.push_back(char(byte));
    }
}

void VirtualModem::faxLine(const std::string& line) {
    trace("class 1 command " + line);
    // The characters were echoed as they came; T.31 echoes only the CR, then answers.
    m_t31->at_state.p.echo = m_echo ? TRUE : FALSE;
    m_faxMuted = true;
    t31_at_rx(m_t31, line.data(), int(line.size()));
    m_faxMuted = false;
    t31_at_rx(m_t31, "\r", 1);
    m_echo = m_t31->at_state.p.echo != 0;
    runFaxDeferred();
}

void VirtualModem::faxOutput(const uint8_t* bytes, size_t len) {
    if (m_faxMuted) return;
    send(std::string(reinterpret_cast<const char*>(bytes), len));
}

int VirtualModem::faxModemControl(int op, intptr_t arg) {
    switch (op) {
        case AT_MODEM_CONTROL_ANSWER:
            // With no call on the line the answer finds no carrier (faxAnswer says so).
            m_faxAnswerPending = true;
            return 0;
        case AT_MODEM_CONTROL_HANGUP:
        case AT_MODEM_CONTROL_ONHOOK:
            if (m_offHook || m_call == CallState::Connected || m_call == CallState::FarEndGone)
                m_faxHangupPending = true;
            return 0;
        case AT_MODEM_CONTROL_CTS:
            m_faxCts = arg != 0;
            return 0;
        default:
            return 0;
    }
}

// spandsp calls back from inside its own processing; line changes wait until it returned.
void VirtualModem::runFaxDeferred() {
    if (!m_t31) return;
    if (m_faxHangupPending) {
        m_faxHangupPending = false;
        m_faxAnswerPending = false;
        trace("class 1 hang-up");
        goOnHook();
        return;
    }
    if (m_faxAnswerPending) {
        m_faxAnswerPending = false;
        faxAnswer();
    }
}

void VirtualModem::faxAnswer() {
    if (m_call == CallState::Ringing) answerCall();
    if (m_call != CallState::Connected) {
        sendResult(ResultCode::NoCarrier);
        return;
    }
    trace("class 1 answer");
    goOffHook();
    m_faxJoined = true;
    t31_call_event(m_t31, AT_CALL_EVENT_ANSWERED);
    runFaxDeferred();
}

// The line's own fax terminal (--answer-fax): spandsp's fax machine answers every call at its
// first ring and receives into a TIFF, a reference for what the program achieves on the same line.
#include <spandsp.h>
#include <spandsp/expose.h>

#include "line_protocol/line_protocol.h"
#include "vmodem/vmodem.h"

namespace {

// The terminal's last frame (MCF or DCN) has to reach the caller before the line drops.
constexpr int64_t kTerminalLingerMs = 500;

void onTerminalDone(t30_state_t*, void* user, int code) {
    static_cast<VirtualModem*>(user)->terminalDone(code);
}

}  // namespace

void VirtualModem::startTerminal() {
    if (!answerCall()) return;
    m_terminal = fax_init(nullptr, FALSE);
    if (!m_terminal) return;
    t30_state_t* t30 = fax_get_t30_state(m_terminal);
    t30_set_tx_ident(t30, "vantoro-vmodem");
    t30_set_rx_file(t30, m_options.answerFaxPath.c_str(), -1);
    // V.17 too, so that a caller offering it (vantoro-call --v17) meets the same choice here.
    t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
    // Error correction and MR/MMR too: a caller that offers them (vantoro-call --ecm) meets the
    // same choice as in the fast mode; a caller without them sends as before.
    t30_set_ecm_capability(t30, TRUE);
    t30_set_supported_compressions(t30, T30_SUPPORT_T4_1D_COMPRESSION |
                                            T30_SUPPORT_T4_2D_COMPRESSION |
                                            T30_SUPPORT_T6_COMPRESSION);
    t30_set_phase_e_handler(t30, onTerminalDone, this);
    fax_set_transmit_on_idle(m_terminal, TRUE);
    m_terminalEndMs = -1;
    trace("fax terminal answers");
}

void VirtualModem::terminalDone(int code) {
    trace(std::string("fax terminal: ") + t30_completion_code_to_str(code));
    m_terminalEndMs = vmodemNowMs() + kTerminalLingerMs;
}

void VirtualModem::terminalAudio(int16_t* out, const int16_t* in, int count) {
    if (in) {
        fax_rx(m_terminal, const_cast<int16_t*>(in), count);
        return;
    }
    int got = fax_tx(m_terminal, out, count);
    for (int i = got; i < count; ++i) out[i] = 0;
    if (m_terminalEndMs >= 0 && vmodemNowMs() >= m_terminalEndMs) stopTerminal();
}

void VirtualModem::stopTerminal() {
    if (!m_terminal) return;
    fax_free(m_terminal);  // closes the TIFF
    m_terminal = nullptr;
    goOnHook();
}

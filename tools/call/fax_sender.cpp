#include "tools/call/fax_sender.h"

#include <spandsp.h>
#include <spandsp/expose.h>

namespace {

// Entries of spandsp 0.0.6's T.30 fallback table (t30.c, fallback_sequence).
struct FallbackEntry {
    int bitRate;
    int index;
};
constexpr FallbackEntry kFallback[] = {{9600, 3}, {7200, 5}, {4800, 6}, {2400, 7}};

const char* codingName(int encoding) {
    switch (encoding) {
        case T4_COMPRESSION_ITU_T4_2D:
            return "MR";
        case T4_COMPRESSION_ITU_T6:
            return "MMR";
        default:
            return "MH";
    }
}

}  // namespace

bool parseFaxCoding(const std::string& text, FaxCoding& coding) {
    if (text == "mh" || text == "MH") {
        coding = FaxCoding::kMh;
    } else if (text == "mr" || text == "MR") {
        coding = FaxCoding::kMr;
    } else if (text == "mmr" || text == "MMR") {
        coding = FaxCoding::kMmr;
    } else {
        return false;
    }
    return true;
}

FaxSender::~FaxSender() {
    if (m_fax) fax_free(m_fax);
}

bool FaxSender::validRate(int rateBps) {
    for (const FallbackEntry& e : kFallback) {
        if (e.bitRate == rateBps) return true;
    }
    return false;
}

bool FaxSender::start(const std::string& tiffPath, int rateBps, bool callingTone,
                      const FaxOffer& offer, bool trace, std::string& error) {
    TIFF* probe = TIFFOpen(tiffPath.c_str(), "r");
    if (!probe) {
        error = "cannot read TIFF " + tiffPath;
        return false;
    }
    TIFFClose(probe);
    m_rateBps = rateBps;
    m_callingTone = callingTone;
    m_fax = fax_init(nullptr, TRUE);
    if (!m_fax) {
        error = "fax_init failed";
        return false;
    }
    t30_state_t* t30 = fax_get_t30_state(m_fax);
    t30_set_tx_ident(t30, "vantoro-call");
    t30_set_tx_file(t30, tiffPath.c_str(), -1, -1);
    // V.27ter for the two low rates only, so that a fallback stays within what was asked.
    int modems = T30_SUPPORT_V27TER;
    if (rateBps == 0 || rateBps > 4800) modems |= T30_SUPPORT_V29;
    if (offer.v17) modems |= T30_SUPPORT_V17;
    t30_set_supported_modems(t30, modems);
    t30_set_ecm_capability(t30, offer.ecm ? TRUE : FALSE);
    int compressions = T30_SUPPORT_T4_1D_COMPRESSION;
    if (offer.coding != FaxCoding::kMh) compressions |= T30_SUPPORT_T4_2D_COMPRESSION;
    if (offer.coding == FaxCoding::kMmr) compressions |= T30_SUPPORT_T6_COMPRESSION;
    t30_set_supported_compressions(t30, compressions);
    t30_set_phase_b_handler(t30, onPhaseB, this);
    t30_set_phase_e_handler(t30, onPhaseE, this);
    fax_set_transmit_on_idle(m_fax, TRUE);
    if (trace) {
        int level = SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_FLOW;
        span_log_set_level(t30_get_logging_state(t30), level);
        span_log_set_tag(t30_get_logging_state(t30), "caller T.30");
        span_log_set_level(fax_get_logging_state(m_fax), level);
        span_log_set_tag(fax_get_logging_state(m_fax), "caller fax");
    }
    return true;
}

int FaxSender::onPhaseB(t30_state_s* t30, void* user, int) {
    auto* self = static_cast<FaxSender*>(user);
    // spandsp picks its first rate from the far end's DIS just before this call and builds
    // the DCS from it right after; there is no API to cap it, so the choice is overridden.
    if (self->m_rateBps == 0 || !t30->dis_received) return T30_ERR_OK;
    for (const FallbackEntry& e : kFallback) {
        if (e.bitRate == self->m_rateBps && t30->current_fallback < e.index)
            t30->current_fallback = e.index;
    }
    return T30_ERR_OK;
}

void FaxSender::onPhaseE(t30_state_s* t30, void* user, int code) {
    auto* self = static_cast<FaxSender*>(user);
    t30_stats_t stats{};
    t30_get_transfer_statistics(t30, &stats);
    self->m_code = code;
    self->m_pages = stats.pages_tx;
    self->m_bitRate = stats.bit_rate;
    self->m_ecmUsed = stats.error_correcting_mode != 0;
    self->m_encoding = stats.encoding;
    self->m_finished = true;
}

void FaxSender::rx(const int16_t* samples, int count) {
    fax_rx(m_fax, const_cast<int16_t*>(samples), count);
}

void FaxSender::tx(int16_t* samples, int count) {
    int got = fax_tx(m_fax, samples, count);
    // Before the DIS a calling machine sends nothing but its calling tone.
    if (!m_callingTone && !fax_get_t30_state(m_fax)->dis_received) got = 0;
    for (int i = got; i < count; ++i) samples[i] = 0;
}

void FaxSender::callDropped() {
    if (m_finished || !m_fax) return;
    t30_terminate(fax_get_t30_state(m_fax));
    if (!m_finished) {
        m_code = T30_ERR_CALLDROPPED;
        m_finished = true;
    }
}

std::string FaxSender::resultLine() const {
    if (m_code == T30_ERR_OK)
        return "RESULT fax ok pages=" + std::to_string(m_pages) +
               " rate=" + std::to_string(m_bitRate) + " ecm=" + (m_ecmUsed ? "1" : "0") +
               " coding=" + codingName(m_encoding);
    return "RESULT fax failed code=" + std::to_string(m_code) + " " +
           t30_completion_code_to_str(m_code);
}

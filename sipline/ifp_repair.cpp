#include "sipline/ifp_repair.h"

namespace {

// IFP octets (T.38 clause 7, aligned PER). First octet: the CHOICE bit (indicator or data),
// then the data IFP's field-present bit (an indicator's extension bit) and a 4-bit value.
constexpr uint8_t kIfpData = 0x80;
constexpr uint8_t kIfpFieldsPresent = 0x40;
constexpr uint8_t kIfpExtension = 0x40;
constexpr uint8_t kValueMask = 0x1E;
constexpr int kIndicatorV21Preamble = 3;
constexpr int kIndicatorFirstFast = 4;  // v27-2400-training
constexpr int kIndicatorLastFast = 15;  // v17-14400-long-training
constexpr int kFieldHdlcData = 0;
constexpr int kFieldHdlcSigEnd = 1;
constexpr int kFieldHdlcFcsOk = 2;
constexpr int kFieldHdlcFcsOkSigEnd = 4;
constexpr int kFieldNonEcmSigEnd = 7;
// A field: its type octet, then (with data) a 2-octet length and the data.
constexpr size_t kFieldAt = 2;
constexpr size_t kFieldDataAt = 5;
// HDLC octets as T.38 carries them, in the order of transmission: address, control, FCF (T.30
// clause 5.3, with its X bit on top). Only FCD and RCP (T.4 Annex A) come on a fast modem.
constexpr size_t kFcfOffset = 2;
constexpr uint8_t kFcfNoX = 0x7F;
constexpr uint8_t kFcfFcd = 0x60;
constexpr uint8_t kFcfRcp = 0x61;
constexpr uint8_t kFcfDcs = 0x41;
constexpr uint8_t kFcfEop = 0x74;
constexpr uint8_t kFcfEom = 0x71;
constexpr uint8_t kFcfMps = 0x72;
constexpr uint8_t kFcfCfr = 0x21;
constexpr uint8_t kFcfMcf = 0x31;

int value(uint8_t first) { return (first & kValueMask) >> 1; }

bool isData(const uint8_t* ifp, size_t size) {
    return size >= 3 && (ifp[0] & (kIfpData | kIfpFieldsPresent)) == (kIfpData | kIfpFieldsPresent);
}

bool fastTraining(const uint8_t* ifp, size_t size) {
    return size >= 1 && (ifp[0] & (kIfpData | kIfpExtension)) == 0 &&
           value(ifp[0]) >= kIndicatorFirstFast && value(ifp[0]) <= kIndicatorLastFast;
}

bool fastData(const uint8_t* ifp, size_t size) { return isData(ifp, size) && value(ifp[0]) != 0; }

// The field type: 3 bits, one lower in the versions with an extension bit.
int fieldShift(int version) { return version < 2 ? 4 : 3; }

}  // namespace

int IfpRepair::field(const uint8_t* ifp, size_t size) const {
    return size > kFieldAt ? (ifp[kFieldAt] >> fieldShift(m_version)) & 0x07 : -1;
}

void IfpRepair::toV21(std::vector<uint8_t>& ifp) const {
    ifp[0] = uint8_t(ifp[0] & ~kValueMask);
    const int shift = fieldShift(m_version);
    if (ifp.size() == 3 && field(ifp.data(), ifp.size()) == kFieldNonEcmSigEnd)
        ifp[2] = uint8_t((ifp[2] & ~(0x07 << shift)) | kFieldHdlcSigEnd << shift);
}

void IfpRepair::FrameFcf::take(const uint8_t* ifp, size_t size) {
    for (size_t i = kFieldDataAt; i < size; ++i, ++octets) {
        if (octets == kFcfOffset) fcf = ifp[i];
    }
}

// Follows what goes out: which V.21 frame was sent last and how many fast bursts followed DCS,
// so that the burst after the training check, a page, is known to be followed by V.21.
void IfpRepair::track(const uint8_t* ifp, size_t size) {
    if (!isData(ifp, size)) return;
    const int type = field(ifp, size);
    if (value(ifp[0]) != 0) {
        const bool burstEnd = type == kFieldNonEcmSigEnd || type == kFieldHdlcSigEnd;
        if (burstEnd) m_farAnswer = 0;
        if (burstEnd && ++m_burstsSinceDcs >= 2) m_expectV21 = true;
        return;
    }
    if (type == kFieldHdlcData) {
        m_out.take(ifp, size);
    } else if (type == kFieldHdlcFcsOk || type == kFieldHdlcFcsOkSigEnd) {
        const uint8_t fcf = m_out.fcf & kFcfNoX;
        if (fcf == kFcfDcs) m_burstsSinceDcs = 0;
        m_expectV21 = fcf == kFcfEop || fcf == kFcfEom;
        m_out.octets = 0;
        m_farAnswer = 0;
    } else {
        m_out.octets = 0;
    }
}

void IfpRepair::heard(const uint8_t* ifp, size_t size) {
    if (!isData(ifp, size) || value(ifp[0]) != 0) return;
    const int type = field(ifp, size);
    if (type == kFieldHdlcData) {
        m_far.take(ifp, size);
    } else {
        if (type == kFieldHdlcFcsOk || type == kFieldHdlcFcsOkSigEnd)
            m_farAnswer = m_far.fcf & kFcfNoX;
        // A frame whose FCF was lost on the way must not answer with the last one's.
        m_far.fcf = 0;
        m_far.octets = 0;
    }
}

// Where T.30 leaves the sender no choice but a fast carrier: the training check right after
// DCS, the page after the far end's CFR to it, the next page after MCF to MPS.
bool IfpRepair::fastBurstCertain() const {
    const uint8_t ours = m_out.fcf & kFcfNoX;
    if (m_out.octets != 0 || m_holdEveryTraining) return false;
    if (ours == kFcfDcs)
        return m_burstsSinceDcs == 0 || (m_burstsSinceDcs == 1 && m_farAnswer == kFcfCfr);
    return ours == kFcfMps && m_farAnswer == kFcfMcf;
}

void IfpRepair::emit(const uint8_t* ifp, size_t size, int copies, const Sink& out) {
    track(ifp, size);
    out(ifp, size, copies);
}

void IfpRepair::beginMisread(int copies, const Sink& out) {
    ++m_repaired;
    const uint8_t preamble = uint8_t(kIndicatorV21Preamble << 1);
    emit(&preamble, 1, copies, out);
    m_state = State::Misread;
}

void IfpRepair::put(const uint8_t* ifp, size_t size, int copies, const Sink& out) {
    if (m_state == State::Misread && fastData(ifp, size)) {
        std::vector<uint8_t> v21(ifp, ifp + size);
        toV21(v21);
        emit(v21.data(), v21.size(), copies, out);
        return;
    }
    if (m_state == State::HeldTraining) {
        const int type = field(ifp, size);
        const bool data = fastData(ifp, size);
        const size_t fcfAt = kFieldDataAt + kFcfOffset;
        if (data && size > fcfAt && type == kFieldHdlcData && ifp[fcfAt] != kFcfFcd &&
            ifp[fcfAt] != kFcfRcp) {
            beginMisread(m_heldCopies, out);
            put(ifp, size, copies, out);
            return;
        }
        // A training that ends before any data was none: played, it leaves the receiving
        // gateway sending that carrier for good.
        if (data && size == 3 && type == kFieldNonEcmSigEnd) {
            ++m_repaired;
            m_state = State::Normal;
            return;
        }
        if (data)
            emit(m_held.data(), m_held.size(), m_heldCopies, out);
        else
            ++m_repaired;
    }
    m_state = State::Normal;
    if (fastTraining(ifp, size)) {
        // After a page or the last command only V.21 can come: the frame is handed on as it
        // comes, in time for a receiver that waits for it no longer than T.30 asks.
        if (m_expectV21) {
            beginMisread(copies, out);
            return;
        }
        // Held, the far gateway would start its own training only when the data comes, and
        // the whole burst would reach its modem that much later (about 250 ms at 9600 bit/s).
        if (fastBurstCertain()) {
            emit(ifp, size, copies, out);
            return;
        }
        // Otherwise held until the first data says which it was: a fast carrier's training
        // time at most, while the receiving gateway would play its own training anyway.
        m_held.assign(ifp, ifp + size);
        m_heldCopies = copies;
        m_state = State::HeldTraining;
        return;
    }
    emit(ifp, size, copies, out);
}

#include "sipline/ifp_repair.h"

namespace {

// IFP octets (T.38 clause 7, aligned PER). First octet: the CHOICE bit (indicator or data),
// then the data IFP's field-present bit, an extension bit and a 4-bit value.
constexpr uint8_t kIfpData = 0x80;
constexpr uint8_t kIfpFieldsPresent = 0x40;
constexpr uint8_t kIfpExtension = 0x40;  // of an indicator
constexpr uint8_t kValueMask = 0x1E;
constexpr int kIndicatorV21Preamble = 3;
constexpr int kIndicatorFirstFast = 4;  // v27-2400-training
constexpr int kIndicatorLastFast = 15;  // v17-14400-long-training
constexpr int kFieldHdlcData = 0;
constexpr int kFieldHdlcSigEnd = 1;
constexpr int kFieldNonEcmSigEnd = 7;
// The octets of an HDLC frame as T.38 carries them: address, control, then the FCF, in the
// order of transmission. Only FCD and RCP (T.4 Annex A) may come on a fast modem.
constexpr size_t kFirstFrameOctet = 5;  // after type, field count, field type, 2 length octets
constexpr size_t kFcfAt = kFirstFrameOctet + 2;
constexpr uint8_t kFcfFcd = 0x60;
constexpr uint8_t kFcfRcp = 0x61;

int value(uint8_t first) { return (first & kValueMask) >> 1; }

bool fastTraining(const uint8_t* ifp, size_t size) {
    return size >= 1 && (ifp[0] & (kIfpData | kIfpExtension)) == 0 &&
           value(ifp[0]) >= kIndicatorFirstFast && value(ifp[0]) <= kIndicatorLastFast;
}

bool fastData(const uint8_t* ifp, size_t size) {
    return size >= 3 &&
           (ifp[0] & (kIfpData | kIfpFieldsPresent)) == (kIfpData | kIfpFieldsPresent) &&
           value(ifp[0]) != 0;
}

// The field type of the first field: 3 bits, one lower in the versions with an extension bit.
int fieldShift(int version) { return version < 2 ? 4 : 3; }

}  // namespace

void IfpRepair::toV21(std::vector<uint8_t>& ifp) const {
    ifp[0] = uint8_t(ifp[0] & ~kValueMask);
    const int shift = fieldShift(m_version);
    if (ifp.size() == 3 && ((ifp[2] >> shift) & 0x07) == kFieldNonEcmSigEnd)
        ifp[2] = uint8_t((ifp[2] & ~(0x07 << shift)) | kFieldHdlcSigEnd << shift);
}

void IfpRepair::put(const uint8_t* ifp, size_t size, int copies, const Sink& out) {
    const int shift = fieldShift(m_version);
    if (m_state == State::Misread && fastData(ifp, size)) {
        std::vector<uint8_t> v21(ifp, ifp + size);
        toV21(v21);
        out(v21.data(), v21.size(), copies);
        return;
    }
    if (m_state == State::HeldTraining) {
        const int field = size >= 3 ? (ifp[2] >> shift) & 0x07 : -1;
        const bool data = fastData(ifp, size);
        if (data && size > kFcfAt && field == kFieldHdlcData && ifp[kFcfAt] != kFcfFcd &&
            ifp[kFcfAt] != kFcfRcp) {
            ++m_repaired;
            const uint8_t preamble = uint8_t(kIndicatorV21Preamble << 1);
            out(&preamble, 1, m_heldCopies);
            m_state = State::Misread;
            put(ifp, size, copies, out);
            return;
        }
        // A training that ends before any data was none: played, it leaves the receiving
        // gateway sending that carrier for good.
        if (data && size == 3 && field == kFieldNonEcmSigEnd) {
            ++m_repaired;
            m_state = State::Normal;
            return;
        }
        if (data)
            out(m_held.data(), m_held.size(), m_heldCopies);
        else
            ++m_repaired;
    }
    m_state = State::Normal;
    if (fastTraining(ifp, size)) {
        // Held until the first data says which it was: a second of delay at most, while the
        // receiving gateway plays the training it would play anyway.
        m_held.assign(ifp, ifp + size);
        m_heldCopies = copies;
        m_state = State::HeldTraining;
        return;
    }
    out(ifp, size, copies);
}

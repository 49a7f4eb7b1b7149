#include "sipline/udptl.h"

#include <algorithm>

namespace {

// ASN.1 aligned PER (X.691 10.9): one octet below 128, two (10xxxxxx) below 16384. IFPs never
// need the fragmented form above that, so it is refused rather than reassembled.
constexpr size_t kMaxShortLength = 0x7F;
constexpr size_t kMaxLength = 0x3FFF;
constexpr uint8_t kLongLengthFlag = 0x80;
constexpr uint8_t kLengthFormMask = 0xC0;
// T.38 clause 9.1: the CHOICE of error-recovery, its one bit at the top of an octet.
constexpr uint8_t kFecChoice = 0x80;
// A datagram the reordering cannot explain (a far end that started over) restarts the count.
constexpr int kRestartGap = 1000;
constexpr size_t kHeaderBytes = 2;

using View = UdptlBytes;

struct Datagram {
    uint16_t sequence = 0;
    View primary;
    UdptlRecovery recovery = UdptlRecovery::Redundancy;
    std::vector<View> secondaries;  // sequence - 1, sequence - 2, ...
    size_t fecSpan = 0;
    std::vector<View> fecEntries;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_pos == m_size; }
    bool octet(uint8_t& value) {
        if (m_pos >= m_size) return false;
        value = m_data[m_pos++];
        return true;
    }
    bool length(size_t& value) {
        uint8_t first = 0, second = 0;
        if (!octet(first)) return false;
        if ((first & kLongLengthFlag) == 0) {
            value = first;
            return true;
        }
        if ((first & kLengthFormMask) != kLongLengthFlag || !octet(second)) return false;
        value = size_t(first & ~kLengthFormMask) << 8 | second;
        return true;
    }
    bool openType(View& view) {
        size_t size = 0;
        if (!length(size) || size > m_size - m_pos) return false;
        view = {m_data + m_pos, size};
        m_pos += size;
        return true;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

bool parseRedundancy(Reader& in, Datagram& d) {
    size_t count = 0;
    if (!in.length(count) || count > kUdptlMaxSecondaries) return false;
    d.secondaries.resize(count);
    for (View& v : d.secondaries) {
        if (!in.openType(v)) return false;
    }
    return true;
}

bool parseFec(Reader& in, Datagram& d) {
    // fec-npackets is an unconstrained INTEGER: a length octet, then the value.
    uint8_t intBytes = 0, span = 0;
    size_t entries = 0;
    if (!in.octet(intBytes) || intBytes != 1 || !in.octet(span) || !in.length(entries))
        return false;
    if (entries > 0 && (span == 0 || size_t(span) * entries > kUdptlMaxFecReach)) return false;
    d.fecSpan = span;
    d.fecEntries.resize(entries);
    for (View& v : d.fecEntries) {
        if (!in.openType(v)) return false;
    }
    return true;
}

bool parse(const uint8_t* data, size_t size, Datagram& d) {
    if (size < kHeaderBytes || size > kUdptlMaxDatagram) return false;
    d.sequence = uint16_t(data[0] << 8 | data[1]);
    Reader in(data + kHeaderBytes, size - kHeaderBytes);
    uint8_t choice = 0;
    if (!in.openType(d.primary) || d.primary.size == 0 || !in.octet(choice)) return false;
    d.recovery = (choice & kFecChoice) ? UdptlRecovery::Fec : UdptlRecovery::Redundancy;
    const bool ok = d.recovery == UdptlRecovery::Fec ? parseFec(in, d) : parseRedundancy(in, d);
    return ok && in.atEnd();
}

size_t lengthBytes(size_t length) { return length <= kMaxShortLength ? 1 : 2; }

void appendLength(std::vector<uint8_t>& out, size_t length) {
    if (length > kMaxShortLength) out.push_back(uint8_t(kLongLengthFlag | length >> 8));
    out.push_back(uint8_t(length));
}

void appendOpenType(std::vector<uint8_t>& out, const uint8_t* data, size_t size) {
    appendLength(out, size);
    out.insert(out.end(), data, data + size);
}

// Entry `m` of a datagram with `entries` entries over `span` packets XORs the packets
// sequence + m - entries * (j + 1), j = 0 .. span - 1: distance entries * (j + 1) - m back.
size_t fecDistance(size_t m, size_t entries, size_t j) { return entries * (j + 1) - m; }

}  // namespace

UdptlSender::UdptlSender(const UdptlSendOptions& options, uint16_t firstSequence)
    : m_options(options), m_sequence(firstSequence) {
    m_options.redundancy = std::min(m_options.redundancy, kUdptlMaxSecondaries);
    if (m_options.fecSpan * m_options.fecEntries > kUdptlMaxFecReach) m_options.fecEntries = 1;
    m_options.fecSpan = std::min(m_options.fecSpan, kUdptlMaxFecReach);
}

bool UdptlSender::encode(const uint8_t* ifp, size_t size, std::vector<uint8_t>& datagram) {
    // Sequence number, the primary, the CHOICE octet and an empty count at the least.
    const size_t least = kHeaderBytes + lengthBytes(size) + size + 2;
    if (size == 0 || size > kMaxLength || least > m_options.maxDatagram) return false;
    datagram.clear();
    datagram.push_back(uint8_t(m_sequence >> 8));
    datagram.push_back(uint8_t(m_sequence));
    appendOpenType(datagram, ifp, size);
    if (m_options.recovery == UdptlRecovery::Fec)
        appendFec(datagram);
    else
        appendRedundancy(datagram);
    m_history.emplace_front(ifp, ifp + size);
    const size_t keep = std::max(m_options.redundancy, m_options.fecSpan * m_options.fecEntries);
    if (m_history.size() > keep) m_history.resize(keep);
    ++m_sequence;
    return true;
}

void UdptlSender::appendRedundancy(std::vector<uint8_t>& datagram) const {
    size_t count = std::min(m_options.redundancy, m_history.size());
    size_t total = datagram.size() + 2;
    for (size_t i = 0; i < count; ++i) {
        const size_t cost = lengthBytes(m_history[i].size()) + m_history[i].size();
        if (total + cost > m_options.maxDatagram) {
            count = i;
            break;
        }
        total += cost;
    }
    datagram.push_back(0);
    appendLength(datagram, count);
    for (size_t i = 0; i < count; ++i)
        appendOpenType(datagram, m_history[i].data(), m_history[i].size());
}

void UdptlSender::appendFec(std::vector<uint8_t>& datagram) const {
    const size_t span = m_options.fecSpan;
    size_t entries = span ? std::min(m_options.fecEntries, m_history.size() / span) : 0;
    std::vector<std::vector<uint8_t>> parity;
    for (; entries > 0; --entries) {
        parity.assign(entries, {});
        size_t total = datagram.size() + 4;
        for (size_t m = 0; m < entries; ++m) {
            for (size_t j = 0; j < span; ++j) {
                const std::vector<uint8_t>& ifp = m_history[fecDistance(m, entries, j) - 1];
                if (parity[m].size() < ifp.size()) parity[m].resize(ifp.size());
                for (size_t k = 0; k < ifp.size(); ++k) parity[m][k] ^= ifp[k];
            }
            total += lengthBytes(parity[m].size()) + parity[m].size();
        }
        if (total <= m_options.maxDatagram) break;
    }
    datagram.push_back(kFecChoice);
    datagram.push_back(1);
    datagram.push_back(uint8_t(span));
    appendLength(datagram, entries);
    for (size_t m = 0; m < entries; ++m)
        appendOpenType(datagram, parity[m].data(), parity[m].size());
}

const UdptlReceiver::Slot* UdptlReceiver::find(uint16_t sequence) const {
    const Slot& s = m_history[sequence % kHistory];
    return s.valid && s.sequence == sequence ? &s : nullptr;
}

void UdptlReceiver::remember(uint16_t sequence, const uint8_t* bytes, size_t size) {
    Slot& s = slot(sequence);
    s.valid = true;
    s.sequence = sequence;
    s.bytes.assign(bytes, bytes + size);
}

bool UdptlReceiver::receive(const uint8_t* data, size_t size, const IfpSink& sink) {
    Datagram d;
    if (!parse(data, size, d)) {
        ++m_stats.malformed;
        return false;
    }
    ++m_stats.datagrams;
    const int ahead = int16_t(uint16_t(d.sequence - m_expected));
    if (!m_started || ahead >= kRestartGap || ahead <= -kRestartGap) {
        m_started = true;
        m_expected = d.sequence;
        for (Slot& s : m_history) s.valid = false;
    } else if (ahead < 0) {
        ++m_stats.duplicates;
        return true;
    }
    const uint16_t gap = uint16_t(d.sequence - m_expected);
    // Whatever the ring holds for these numbers is from an earlier turn of the counter.
    for (size_t k = 0; k <= std::min<size_t>(gap, kHistory - 1); ++k)
        slot(uint16_t(d.sequence - k)).valid = false;
    remember(d.sequence, d.primary.data, d.primary.size);
    for (size_t i = 0; i < d.secondaries.size() && i < gap; ++i) {
        if (d.secondaries[i].size > 0)
            remember(uint16_t(d.sequence - 1 - i), d.secondaries[i].data, d.secondaries[i].size);
    }
    if (d.recovery == UdptlRecovery::Fec) repairFromParity(d.sequence, d.fecSpan, d.fecEntries);
    for (uint16_t s = m_expected; s != d.sequence; ++s) {
        const Slot* got = find(s);
        if (!got) {
            ++m_stats.lost;
            continue;
        }
        ++m_stats.recovered;
        ++m_stats.delivered;
        sink(got->bytes.data(), got->bytes.size(), s);
    }
    ++m_stats.delivered;
    sink(d.primary.data, d.primary.size, d.sequence);
    m_expected = uint16_t(d.sequence + 1);
    return true;
}

// An entry with exactly one of its packets missing gives that packet back; what it rebuilds may
// complete another entry. The parity is as long as the longest packet it covers, so a rebuilt
// shorter packet comes back with zeros after it: T.38 does not carry the lengths.
void UdptlReceiver::repairFromParity(uint16_t sequence, size_t span,
                                     const std::vector<UdptlBytes>& parity) {
    const size_t entries = parity.size();
    for (bool progress = true; progress;) {
        progress = false;
        for (size_t m = 0; m < entries; ++m) {
            int missing = 0;
            uint16_t which = 0;
            for (size_t j = 0; j < span; ++j) {
                const auto s = uint16_t(sequence - fecDistance(m, entries, j));
                if (!find(s)) {
                    ++missing;
                    which = s;
                }
            }
            if (missing != 1 || parity[m].size == 0) continue;
            std::vector<uint8_t> rebuilt(parity[m].data, parity[m].data + parity[m].size);
            for (size_t j = 0; j < span; ++j) {
                const Slot* known = find(uint16_t(sequence - fecDistance(m, entries, j)));
                if (!known) continue;
                for (size_t k = 0; k < std::min(known->bytes.size(), rebuilt.size()); ++k)
                    rebuilt[k] ^= known->bytes[k];
            }
            remember(which, rebuilt.data(), rebuilt.size());
            progress = true;
        }
    }
}

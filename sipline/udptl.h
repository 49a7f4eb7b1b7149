#pragma once
// UDPTL (ITU-T T.38 clause 9): the IFP packets of a T.38 call in UDP datagrams, each carrying a
// 16-bit sequence number, the packet itself and what recovers the ones before it (the previous
// packets again, or XOR parity over them). Plain bytes in, plain bytes out.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

enum class UdptlRecovery { Redundancy, Fec };

struct UdptlBytes {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// A datagram larger than this is not UDPTL from any sender we take: UDP on Ethernet.
constexpr size_t kUdptlMaxDatagram = 1500;
// T.38 clause 9.1 leaves the number of secondaries open; more than this is not a real sender.
constexpr size_t kUdptlMaxSecondaries = 16;
// FEC groups reach back at most this many packets (span x entries).
constexpr size_t kUdptlMaxFecReach = 16;

struct UdptlSendOptions {
    UdptlRecovery recovery = UdptlRecovery::Redundancy;
    // The far end's T38FaxMaxDatagram: secondaries are dropped, oldest first, to stay within.
    size_t maxDatagram = 400;
    size_t redundancy = 3;  // previous IFPs repeated in each datagram
    size_t fecSpan = 3;     // packets XORed into one parity entry
    size_t fecEntries = 3;  // parity entries per datagram
};

class UdptlSender {
public:
    explicit UdptlSender(const UdptlSendOptions& options, uint16_t firstSequence = 0);
    // The datagram that carries `ifp` next; false (nothing sent, no number used) when the IFP
    // is empty or larger than the far end takes.
    bool encode(const uint8_t* ifp, size_t size, std::vector<uint8_t>& datagram);

private:
    void appendRedundancy(std::vector<uint8_t>& datagram) const;
    void appendFec(std::vector<uint8_t>& datagram) const;

    UdptlSendOptions m_options;
    uint16_t m_sequence;
    std::deque<std::vector<uint8_t>> m_history;  // sent IFPs, newest first
};

struct UdptlStats {
    uint64_t datagrams = 0;   // well-formed datagrams received
    uint64_t delivered = 0;   // IFPs handed on, recovered ones included
    uint64_t recovered = 0;   // IFPs rebuilt from redundancy or parity
    uint64_t lost = 0;        // sequence numbers that never arrived nor were rebuilt
    uint64_t duplicates = 0;  // copies and late datagrams, dropped
    uint64_t malformed = 0;
};

class UdptlReceiver {
public:
    using IfpSink = std::function<void(const uint8_t* ifp, size_t size, uint16_t sequence)>;

    // Hands the IFPs up in sequence: those the datagram recovers first, oldest first, then its
    // own. False when the datagram is malformed: then nothing is handed up.
    bool receive(const uint8_t* datagram, size_t size, const IfpSink& sink);
    const UdptlStats& stats() const { return m_stats; }

private:
    struct Slot {
        bool valid = false;
        uint16_t sequence = 0;
        std::vector<uint8_t> bytes;
    };
    static constexpr size_t kHistory = 32;

    Slot& slot(uint16_t sequence) { return m_history[sequence % kHistory]; }
    const Slot* find(uint16_t sequence) const;
    void remember(uint16_t sequence, const uint8_t* bytes, size_t size);
    void repairFromParity(uint16_t sequence, size_t span, const std::vector<UdptlBytes>& parity);

    bool m_started = false;
    uint16_t m_expected = 0;
    Slot m_history[kHistory];
    UdptlStats m_stats;
};

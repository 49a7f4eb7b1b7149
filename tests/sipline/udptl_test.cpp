// UDPTL: the bytes of each form on the wire, and what a receiver hands up from a stream that
// lost, reordered and repeated its datagrams.
#include "sipline/udptl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> EncodeAll(UdptlSender& sender, const std::vector<Bytes>& ifps) {
    std::vector<Bytes> out;
    for (const Bytes& ifp : ifps) {
        Bytes datagram;
        EXPECT_TRUE(sender.encode(ifp.data(), ifp.size(), datagram));
        out.push_back(datagram);
    }
    return out;
}

struct Received {
    std::vector<std::pair<uint16_t, Bytes>> ifps;
    UdptlReceiver receiver;
    bool feed(const Bytes& d) {
        return receiver.receive(d.data(), d.size(), [this](const uint8_t* p, size_t n, uint16_t s) {
            ifps.emplace_back(s, Bytes(p, p + n));
        });
    }
};

std::vector<Bytes> RandomIfps(size_t count, size_t minSize, size_t maxSize, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<size_t> size(minSize, maxSize);
    std::vector<Bytes> ifps(count);
    for (Bytes& ifp : ifps) {
        ifp.resize(size(random));
        for (uint8_t& b : ifp) b = uint8_t(random());
    }
    return ifps;
}

}  // namespace

TEST(Udptl, WireFormOfRedundancyAndParity) {
    const std::vector<Bytes> ifps = {{0xA0, 0xA1}, {0xB0}, {0xC0}, {0xD0}};
    UdptlSendOptions redundancy;
    redundancy.redundancy = 2;
    UdptlSender sender(redundancy, 0x1234);
    const std::vector<Bytes> expected = {
        {0x12, 0x34, 0x02, 0xA0, 0xA1, 0x00, 0x00},
        {0x12, 0x35, 0x01, 0xB0, 0x00, 0x01, 0x02, 0xA0, 0xA1},
        {0x12, 0x36, 0x01, 0xC0, 0x00, 0x02, 0x01, 0xB0, 0x02, 0xA0, 0xA1},
        {0x12, 0x37, 0x01, 0xD0, 0x00, 0x02, 0x01, 0xC0, 0x01, 0xB0},  // newest first
    };
    EXPECT_EQ(EncodeAll(sender, ifps), expected);

    UdptlSendOptions fec;
    fec.recovery = UdptlRecovery::Fec;
    fec.fecSpan = 2;
    fec.fecEntries = 1;
    UdptlSender parity(fec, 0xFFFF);
    const std::vector<Bytes> expectedFec = {
        {0xFF, 0xFF, 0x02, 0xA0, 0xA1, 0x80, 0x01, 0x02, 0x00},
        {0x00, 0x00, 0x01, 0xB0, 0x80, 0x01, 0x02, 0x00},
        {0x00, 0x01, 0x01, 0xC0, 0x80, 0x01, 0x02, 0x01, 0x02, 0xA0 ^ 0xB0, 0xA1},
        {0x00, 0x02, 0x01, 0xD0, 0x80, 0x01, 0x02, 0x01, 0x01, 0xB0 ^ 0xC0},
    };
    EXPECT_EQ(EncodeAll(parity, ifps), expectedFec);

    // Past 127 octets a length takes two (aligned PER), as the far end writes it too.
    Bytes big(200, 0x5A), datagram;
    UdptlSender(redundancy).encode(big.data(), big.size(), datagram);
    EXPECT_EQ(Bytes(datagram.begin(), datagram.begin() + 4), (Bytes{0x00, 0x00, 0x80, 200}));
    Received r;
    ASSERT_TRUE(r.feed(datagram));
    EXPECT_EQ(r.ifps.at(0).second, big);
}

TEST(Udptl, SecondariesAreTrimmedToTheFarEndsDatagramAndOversizeIsRefused) {
    UdptlSendOptions options;
    options.maxDatagram = 100;
    UdptlSender sender(options);
    Bytes datagram;
    for (const Bytes& ifp : RandomIfps(20, 20, 60, 7)) {
        ASSERT_TRUE(sender.encode(ifp.data(), ifp.size(), datagram));
        EXPECT_LE(datagram.size(), 100u);
    }
    const Bytes tooBig(97, 1);
    EXPECT_FALSE(sender.encode(tooBig.data(), tooBig.size(), datagram));
    EXPECT_FALSE(sender.encode(tooBig.data(), 0, datagram));
}

// Losses of up to three in a row (redundancy 3) or one per parity group (FEC) come back, in
// order and exact; copies, late datagrams and a swapped pair hand nothing twice; the sequence
// number wraps.
TEST(Udptl, LossReorderAndCopiesDeliverEachIfpOnceInOrder) {
    for (UdptlRecovery recovery : {UdptlRecovery::Redundancy, UdptlRecovery::Fec}) {
        SCOPED_TRACE(recovery == UdptlRecovery::Fec ? "fec" : "redundancy");
        UdptlSendOptions options;
        options.recovery = recovery;
        // Parity cannot carry lengths: equal sizes make its repairs exact.
        const auto ifps = recovery == UdptlRecovery::Fec ? RandomIfps(300, 40, 40, 3)
                                                         : RandomIfps(300, 1, 120, 3);
        UdptlSender sender(options, 65500);
        std::vector<Bytes> wire = EncodeAll(sender, ifps);
        Received r;
        size_t lostOnPurpose = 0;
        for (size_t i = 0; i < wire.size(); ++i) {
            const bool fecPattern = i % 9 == 4;  // one in each group of span x entries
            const bool burst = i % 20 >= 10 && i % 20 < 13;
            if (i > 0 && (recovery == UdptlRecovery::Fec ? fecPattern : burst)) {
                ++lostOnPurpose;
                continue;
            }
            if (i % 50 == 30 && i + 1 < wire.size()) std::swap(wire[i], wire[i + 1]);
            ASSERT_TRUE(r.feed(wire[i]));
            ASSERT_TRUE(r.feed(wire[i]));  // the gateway's repeated copy
            if (i >= 5 && i % 17 == 0) {
                ASSERT_TRUE(r.feed(wire[i - 5]));
            }
        }
        // An overtaken datagram comes late and is dropped; the one that overtook it gave it
        // back already wherever recovery reached it.
        std::vector<bool> seen(ifps.size());
        uint16_t previous = 0;
        for (size_t k = 0; k < r.ifps.size(); ++k) {
            const size_t index = uint16_t(r.ifps[k].first - 65500);
            ASSERT_LT(index, ifps.size());
            if (k > 0) {
                EXPECT_GT(int16_t(r.ifps[k].first - previous), 0);
            }
            previous = r.ifps[k].first;
            EXPECT_EQ(r.ifps[k].second, ifps[index]) << index;
            seen[index] = true;
        }
        const size_t missing = size_t(std::count(seen.begin(), seen.end(), false));
        const UdptlStats& stats = r.receiver.stats();
        EXPECT_EQ(missing, stats.lost);
        EXPECT_LE(missing, 6u);  // the overtaken ones of the swapped pairs at most
        EXPECT_GE(stats.recovered, lostOnPurpose);
        EXPECT_EQ(stats.delivered, r.ifps.size());
        EXPECT_GE(stats.duplicates, wire.size() - lostOnPurpose);
    }
}

TEST(Udptl, MalformedDatagramsHandNothingUp) {
    const std::vector<Bytes> bad = {
        {},
        {0x00, 0x01},
        {0x00, 0x01, 0x00, 0x00, 0x00},                          // empty primary
        {0x00, 0x01, 0x03, 0xAA, 0xBB},                          // primary longer than the datagram
        {0x00, 0x01, 0x01, 0xAA},                                // no error-recovery
        {0x00, 0x01, 0x01, 0xAA, 0x00, 0x01, 0x05},              // secondary runs past the end
        {0x00, 0x01, 0x01, 0xAA, 0x00, 0x11},                    // 17 secondaries
        {0x00, 0x01, 0xC1, 0xAA, 0x00, 0x00},                    // fragmented length
        {0x00, 0x01, 0x01, 0xAA, 0x00, 0x00, 0x00},              // trailing octet
        {0x00, 0x01, 0x01, 0xAA, 0x80, 0x02, 0x00, 0x01, 0x00},  // two-octet span
        {0x00, 0x01, 0x01, 0xAA, 0x80, 0x01, 0x09, 0x02, 0x00, 0x00},  // reaches back 18
    };
    Received r;
    for (const Bytes& d : bad) EXPECT_FALSE(r.feed(d)) << d.size();
    EXPECT_TRUE(r.ifps.empty());
    EXPECT_EQ(r.receiver.stats().malformed, bad.size());
    EXPECT_TRUE(r.feed({0x00, 0x01, 0x01, 0xAA, 0x00, 0x00}));
}

// libFuzzer: any datagrams from the network. The receiver never reads outside them, hands up
// only IFPs in increasing sequence, and whatever it hands up is no larger than a datagram; the
// IFP filter reads what is handed up without reading outside it either; what our sender writes
// from the same bytes decodes back to them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sipline/ifp_repair.h"
#include "sipline/udptl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    UdptlReceiver receiver;
    IfpRepair repair(size ? data[0] % 4 : 0);
    bool first = true;
    uint16_t previous = 0;
    const auto check = [&](const uint8_t* ifp, size_t n, uint16_t sequence) {
        if (n == 0 || n > kUdptlMaxDatagram) __builtin_trap();
        repair.heard(ifp, n);
        repair.put(ifp, n, 1, [](const uint8_t*, size_t out, int) {
            if (out == 0 || out > kUdptlMaxDatagram) __builtin_trap();
        });
        // Only a far end that started over (a jump of 1000 or more) goes back.
        const int ahead = int16_t(uint16_t(sequence - previous));
        if (!first && ahead <= 0 && ahead > -999) __builtin_trap();
        first = false;
        previous = sequence;
    };
    // Datagrams as length-prefixed records of the input.
    for (size_t i = 0; i < size;) {
        const size_t n = data[i++];
        const size_t take = n < size - i ? n : size - i;
        receiver.receive(data + i, take, check);
        i += take;
    }
    UdptlSendOptions options;
    options.recovery = size % 2 ? UdptlRecovery::Fec : UdptlRecovery::Redundancy;
    UdptlSender sender(options, uint16_t(size * 7919));
    UdptlReceiver echo;
    std::vector<uint8_t> datagram;
    for (size_t i = 0; i + 1 < size; i += 37) {
        const size_t n = (size - i) < 37 ? size - i : 37;
        if (!sender.encode(data + i, n, datagram)) __builtin_trap();
        size_t handed = 0;
        if (!echo.receive(datagram.data(), datagram.size(),
                          [&](const uint8_t* p, size_t got, uint16_t) {
                              handed += got == n && std::equal(p, p + n, data + i);
                          }))
            __builtin_trap();
        if (handed != 1) __builtin_trap();
    }
    return 0;
}

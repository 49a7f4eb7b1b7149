// libFuzzer: packets with any timestamps, sources, sizes and arrival times, and the 20 ms ticks
// between them. Every sample played is one that was sent, its concealment at half level, or
// silence, and the buffer never reads or writes outside itself.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sipline/jitter_buffer.h"

namespace {

constexpr int16_t kSent = 1234;
constexpr int64_t kTickNs = 20'000'000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    JitterBuffer buffer(data[0] % 200);
    const std::vector<int16_t> samples(JitterBuffer::kFrameSamples * 4, kSent);
    int64_t now = 1'000'000'000;
    int64_t tick = now;
    int16_t frame[JitterBuffer::kFrameSamples];
    for (size_t i = 1; i + 7 <= size; i += 7) {
        const uint8_t* op = data + i;
        now += int64_t(op[0]) * 500'000;  // up to 127 ms between two events
        while (tick + kTickNs <= now) {
            tick += kTickNs;
            buffer.pull(tick, frame);
            for (int16_t sample : frame) {
                if (sample != 0 && sample != kSent && sample != kSent / 2) __builtin_trap();
            }
        }
        const uint32_t timestamp = uint32_t(op[1]) << 24 | uint32_t(op[2]) << 16 | op[3] << 8;
        buffer.put(op[4] & 1, timestamp, samples.data(), op[5] % samples.size(), now);
    }
    return 0;
}

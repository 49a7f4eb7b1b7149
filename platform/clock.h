#pragma once
#include <cstdint>
#include <ctime>

namespace platform {

// Nanoseconds on the monotonic clock. Header-only, so that the tools share it without Qt.
inline int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// Nanoseconds on the wall clock, the one the kernel stamps received packets with.
inline int64_t RealtimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// Milliseconds from a monotonic clock, cut to 32 bits like the classic tick count: it wraps
// after 49.7 days, so compare ticks only through the helpers below.
inline uint32_t TickCountMs() { return static_cast<uint32_t>(MonotonicNs() / 1000000); }

// Milliseconds since `start`, correct across one wrap of the tick counter.
inline uint32_t TicksSince(uint32_t start, uint32_t now) { return now - start; }

// True once `ms` milliseconds have passed since `start` (wrap-safe).
inline bool TickDeadlinePassed(uint32_t start, uint32_t ms, uint32_t now) {
    return TicksSince(start, now) >= ms;
}
inline bool TickDeadlinePassed(uint32_t start, uint32_t ms) {
    return TickDeadlinePassed(start, ms, TickCountMs());
}
// Milliseconds left until start + ms, 0 when passed.
inline uint32_t TicksLeft(uint32_t start, uint32_t ms, uint32_t now) {
    uint32_t elapsed = TicksSince(start, now);
    return elapsed >= ms ? 0 : ms - elapsed;
}

struct LocalTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int millisecond;
};

LocalTime GetLocalTime();

}  // namespace platform

#pragma once
// Milliseconds on the monotonic clock, for the tests' deadlines.

#include "platform/clock.h"

inline long long MonotonicMs() { return platform::MonotonicNs() / 1000000; }

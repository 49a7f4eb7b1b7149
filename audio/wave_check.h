#pragma once
#include <cstdint>
#include <string>

namespace wave_check {

// The line plays PCM at the modem's rate, one channel, 8 or 16 bits.
constexpr uint32_t kLineRateHz = 8000;

// Why the WAV file at `path` cannot be played on the line as it is, in words for the log; empty
// when it can, and then `lengthMs` is how long its sound lasts.
std::string ProblemForLine(const std::string& path, uint64_t& lengthMs);

}  // namespace wave_check

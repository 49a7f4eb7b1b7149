#pragma once
// A worse network on purpose, for tests: each packet sent is delayed by a random amount up to
// the jitter, or lost, reproducibly from a seed.

#include <cstdint>
#include <optional>
#include <random>
#include <string>

struct ImpairOptions {
    int jitterMs = 0;
    double lossPercent = 0;
    uint32_t seed = 1;
    bool active() const { return jitterMs > 0 || lossPercent > 0; }
};

// "jitter=MS,loss=PERCENT,seed=N", any of them; false on anything else.
bool ParseImpair(const std::string& text, ImpairOptions& options);

class Impairment {
public:
    explicit Impairment(const ImpairOptions& options);
    // How long to hold the next packet back, or nothing when it is lost.
    std::optional<int64_t> delayNs();

private:
    ImpairOptions m_options;
    std::mt19937 m_random;
};

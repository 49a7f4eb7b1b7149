#pragma once
// White noise added to what the caller sends toward the modem, only while the caller transmits.

#include <cstdint>

struct awgn_state_s;

class LineNoise {
public:
    // Noise at signalDbm0 - snrDb; the same seed gives the same noise.
    LineNoise(float signalDbm0, double snrDb, int seed);
    ~LineNoise();
    LineNoise(const LineNoise&) = delete;
    LineNoise& operator=(const LineNoise&) = delete;

    bool valid() const { return m_awgn != nullptr; }
    void add(int16_t* samples, int count);

    // A sample at least this large counts as the caller transmitting.
    static constexpr int kOnsetLevel = 64;
    // Samples of noise kept after the last loud sample, so that the dips of a signal are not gaps.
    static constexpr int kHangoverSamples = 80;

private:
    awgn_state_s* m_awgn = nullptr;
    int m_hangoverLeft = 0;
};

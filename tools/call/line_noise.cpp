#include "tools/call/line_noise.h"

#include <spandsp.h>

#include <algorithm>
#include <cstdlib>

LineNoise::LineNoise(float signalDbm0, double snrDb, int seed)
    : m_awgn(awgn_init_dbm0(nullptr, seed, signalDbm0 - float(snrDb))) {}

LineNoise::~LineNoise() {
    if (m_awgn) awgn_free(m_awgn);
}

void LineNoise::add(int16_t* samples, int count) {
    // The gate opens on the very sample the carrier starts: noise ahead of it would be a carrier
    // edge of its own to spandsp's receivers, whose detectors fire at about -45 dBm0.
    for (int i = 0; i < count; ++i) {
        if (std::abs(int(samples[i])) >= kOnsetLevel) m_hangoverLeft = kHangoverSamples;
        if (m_hangoverLeft == 0) continue;
        --m_hangoverLeft;
        int v = samples[i] + awgn(m_awgn);
        samples[i] = int16_t(std::clamp(v, -32768, 32767));
    }
}

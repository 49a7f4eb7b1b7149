#pragma once
// Sample rate conversion between the modem's rate and the program's 8000 Hz, for chipsets
// that keep their own rate whatever AT+VSM asks (Rockwell RC56 stays at 7200). Linear
// interpolation: the pitch stays right and speech keeps its words; a recording never holds one
// rate under the name of another.

#include <cmath>
#include <cstdint>

namespace tapi {

class RateConverter {
public:
    // Forgets the stream so far.
    void SetRates(int inRate, int outRate) {
        m_in = inRate;
        m_out = outRate;
        m_count = 0;
        m_next = 0;
        m_previous = 0;
    }
    void Reset() { SetRates(m_in, m_out); }
    bool Converts() const { return m_in != m_out; }

    // Takes one input sample and hands `output` the samples that fall up to it.
    template <typename Output>
    void Push(int16_t sample, Output output) {
        if (m_in == m_out) {
            output(sample);
            return;
        }
        // Input n is at time n * out, output k at k * in, in units of 1 / (in * out) s.
        const int64_t now = m_count * m_out;
        while (m_next <= now) {
            double fraction = static_cast<double>(m_next - (now - m_out)) / m_out;
            output(
                static_cast<int16_t>(std::lround(m_previous + (sample - m_previous) * fraction)));
            m_next += m_in;
        }
        m_previous = sample;
        ++m_count;
    }

private:
    int m_in = 8000;
    int m_out = 8000;
    int64_t m_count = 0;
    int64_t m_next = 0;
    int m_previous = 0;
};

}  // namespace tapi

#pragma once
// RTP audio toward the soft modem at a constant delay: fax modems need the delay to stay put,
// so there is no adaptation and no time-stretching during a call, only whole-frame slips for
// clock drift.

#include <cstddef>
#include <cstdint>
#include <vector>

class JitterBuffer {
public:
    static constexpr int kSampleRate = 8000;
    static constexpr int kFrameSamples = 160;  // 20 ms at 8000 Hz
    static constexpr int64_t kAnchorWindowNs = 1'000'000'000;
    static constexpr int64_t kDriftWindowNs = 1'000'000'000;
    // The depth may stray this far below and above the delay before a frame slips.
    static constexpr int kSlipBelowMs = 20;
    static constexpr int kSlipAboveMs = 40;

    explicit JitterBuffer(int delayMs);

    // One RTP payload, decoded, with its RTP timestamp and SSRC, as it arrived at `arrivalNs`
    // on the monotonic clock.
    void put(uint32_t ssrc, uint32_t rtpTimestamp, const int16_t* samples, size_t count,
             int64_t arrivalNs);
    // The frame due at `tickNs` (ticks 20 ms apart). Where nothing arrived in time, the frame
    // before is repeated, then at half level, then silence: 20 ms of silence in a V.29 page drops
    // the fax modem's carrier and the page with it, while a repeat keeps it up.
    void pull(int64_t tickNs, int16_t* frame);

    int delayMs() const { return m_delayMs; }
    int slips() const { return m_slips; }
    uint64_t lateOrLost() const { return m_missing; }

private:
    static constexpr size_t kRingSamples = 1 << 14;  // about 2 s, far beyond any sane delay
    static constexpr int64_t kNone = INT64_MIN;

    int64_t unwrap(uint32_t rtpTimestamp);
    int64_t samplesAt(int64_t ns) const { return ns / (1'000'000'000 / kSampleRate); }
    void restart(uint32_t ssrc, int64_t arrivalNs);
    void continueWith(uint32_t ssrc, uint32_t rtpTimestamp, int64_t arrivalNs);
    void watchDrift(int64_t depthSamples, int64_t arrivalNs);

    int m_delayMs;
    std::vector<int16_t> m_ring;
    std::vector<int64_t> m_tags;  // which sample index each ring slot holds
    bool m_started = false;
    uint32_t m_ssrc = 0;
    uint32_t m_lastRtp = 0;
    int64_t m_lastIndex = 0;
    int64_t m_endIndex = 0;  // just past the latest sample put
    int64_t m_firstArrivalNs = 0;
    int64_t m_minTransit = 0;  // local samples minus sample index, least seen
    int64_t m_offset = 0;      // playout index = local samples - m_offset
    int64_t m_windowStartNs = 0;
    int64_t m_windowMaxDepth = kNone;
    int m_slips = 0;
    uint64_t m_missing = 0;
    std::vector<int16_t> m_last;  // the frame played last
    int m_concealed = 0;          // frames in a row that needed concealment
};

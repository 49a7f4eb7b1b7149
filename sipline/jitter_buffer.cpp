#include "sipline/jitter_buffer.h"

#include <algorithm>

namespace {

// How loud a concealed sample is, by the frames in a row concealed so far (the first is 1).
int16_t concealed(int16_t last, int frames) {
    if (frames == 1) return last;
    if (frames == 2) return int16_t(last / 2);
    return 0;
}

// The first sample of the 20 ms frame that holds sample `index` (counted from the first packet).
int64_t floorToFrame(int64_t index) {
    const int64_t frame = JitterBuffer::kFrameSamples;
    return (index >= 0 ? index : index - (frame - 1)) / frame * frame;
}

}  // namespace

JitterBuffer::JitterBuffer(int delayMs)
    : m_delayMs(delayMs),
      m_ring(kRingSamples, 0),
      m_tags(kRingSamples, kNone),
      m_last(kFrameSamples, 0) {}

int64_t JitterBuffer::unwrap(uint32_t rtpTimestamp) {
    // The signed distance from the last timestamp carries the index across the 32-bit wrap.
    m_lastIndex += int32_t(rtpTimestamp - m_lastRtp);
    m_lastRtp = rtpTimestamp;
    return m_lastIndex;
}

void JitterBuffer::restart(uint32_t ssrc, int64_t arrivalNs) {
    m_started = true;
    m_ssrc = ssrc;
    m_lastIndex = 0;
    m_endIndex = 0;
    m_firstArrivalNs = arrivalNs;
    m_minTransit = INT64_MAX;
    m_windowStartNs = arrivalNs;
    m_windowMaxDepth = kNone;
    std::fill(m_tags.begin(), m_tags.end(), kNone);
}

void JitterBuffer::continueWith(uint32_t ssrc, uint32_t rtpTimestamp, int64_t arrivalNs) {
    // A new source (a re-INVITE may bring one) has a timeline of its own: its first packet plays
    // after what the old one left in the buffer, and at least the delay after it came. Starting
    // afresh would throw away the old source's last delay's worth of audio.
    const int64_t playIndex = samplesAt(arrivalNs) - m_offset;
    m_ssrc = ssrc;
    m_lastRtp = rtpTimestamp;
    m_lastIndex = std::max(m_endIndex, playIndex + int64_t(m_delayMs) * kSampleRate / 1000);
}

void JitterBuffer::put(uint32_t ssrc, uint32_t rtpTimestamp, const int16_t* samples, size_t count,
                       int64_t arrivalNs) {
    if (count == 0 || count > kRingSamples / 4) return;
    if (!m_started) {
        restart(ssrc, arrivalNs);
        m_lastRtp = rtpTimestamp;
    } else if (ssrc != m_ssrc) {
        continueWith(ssrc, rtpTimestamp, arrivalNs);
    }
    const int64_t index = unwrap(rtpTimestamp);
    const int64_t local = samplesAt(arrivalNs);
    if (arrivalNs - m_firstArrivalNs < kAnchorWindowNs && local - index < m_minTransit) {
        // The packet that came fastest in the first second sets the delay for the call.
        m_minTransit = local - index;
        m_offset = m_minTransit + int64_t(m_delayMs) * kSampleRate / 1000;
    }
    const int64_t playIndex = local - m_offset;
    if (index + int64_t(count) <= playIndex) return;  // too late: its time has passed
    if (index - playIndex >= int64_t(kRingSamples) - int64_t(count)) return;  // too far ahead
    for (size_t i = 0; i < count; ++i) {
        const size_t slot = size_t(index + int64_t(i)) % kRingSamples;
        m_ring[slot] = samples[i];
        m_tags[slot] = index + int64_t(i);
    }
    m_endIndex = std::max(m_endIndex, index + int64_t(count));
    watchDrift(index - playIndex, arrivalNs);
}

void JitterBuffer::watchDrift(int64_t depthSamples, int64_t arrivalNs) {
    // The deepest packet of a window came with the least transit: jitter only makes packets
    // later, so only drift of the two clocks moves that one.
    m_windowMaxDepth = std::max(m_windowMaxDepth, depthSamples);
    if (arrivalNs - m_firstArrivalNs < kAnchorWindowNs ||
        arrivalNs - m_windowStartNs < kDriftWindowNs)
        return;
    const int64_t perMs = kSampleRate / 1000;
    const int64_t delay = int64_t(m_delayMs) * perMs;
    if (m_windowMaxDepth < delay - kSlipBelowMs * perMs) {
        m_offset += kFrameSamples;  // the far clock is slow: play one frame later
        ++m_slips;
    } else if (m_windowMaxDepth > delay + kSlipAboveMs * perMs) {
        m_offset -= kFrameSamples;  // the far clock is fast: skip one frame
        ++m_slips;
    }
    m_windowStartNs = arrivalNs;
    m_windowMaxDepth = kNone;
}

void JitterBuffer::pull(int64_t tickNs, int16_t* frame) {
    const bool anchored = m_started && m_minTransit != INT64_MAX;
    // Frames start where the sender's packets start: a tick that fell inside a packet would
    // need it up to 20 ms before the delay is over, and jitter near the delay would then lose it.
    const int64_t start = floorToFrame(samplesAt(tickNs) - m_offset);
    bool present[kFrameSamples];
    bool gap = false;
    for (int i = 0; i < kFrameSamples; ++i) {
        const int64_t index = start + i;
        const size_t slot = size_t(index) % kRingSamples;
        present[i] = anchored && m_tags[slot] == index;
        if (present[i]) frame[i] = m_ring[slot];
        gap = gap || !present[i];
    }
    m_concealed = gap ? m_concealed + 1 : 0;
    if (gap && anchored) ++m_missing;
    for (int i = 0; i < kFrameSamples; ++i) {
        if (!present[i]) frame[i] = concealed(m_last[size_t(i)], m_concealed);
    }
    std::copy(frame, frame + kFrameSamples, m_last.begin());
}

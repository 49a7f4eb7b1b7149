#include "tapi/hangup_detector.h"

#include <spandsp.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace tapi {
namespace {

constexpr int kSampleRateHz = 8000;
constexpr int kBlockSamples = 160;  // 20 ms: Goertzel bins 50 Hz wide
constexpr int kBlocksPerSecond = kSampleRateHz / kBlockSamples;
// Exchange tones lie between 350 Hz (US dial tone) and 650 Hz; bins every 25 Hz leave any tone
// at most 12.5 Hz from a bin centre (81% of its power).
constexpr int kLowestToneHz = 350;
constexpr int kToneStepHz = 25;
constexpr int kToneBins = 13;
// Two tones of a dual-tone signal (350+440, 480+620) lie at least this many bins apart.
constexpr int kDualToneMinBins = 3;
// Share of a block's power in one or two tone bins that makes it a tone, not speech or music.
constexpr double kTonePurity = 0.7;
// RMS levels in 16-bit units after the DC is removed: below kQuietRms (about -38 dBm0) the
// line is silent, even through an 8-bit codec's last-bit flicker; tones are at least kToneRms.
constexpr double kQuietRms = 300.0;
constexpr double kToneRms = 400.0;
// Busy and reorder: each on or off period 0.2-0.6 s; a little slack for the 20 ms blocks.
constexpr int kMinCadenceBlocks = kBlocksPerSecond * 15 / 100;
constexpr int kMaxCadenceBlocks = kBlocksPerSecond * 70 / 100;
// Off periods of one cadence differ by at most this share (or two blocks).
constexpr double kCadenceTolerance = 0.25;
// Full on/off cycles heard before the cadence counts as busy: a caller's rhythmic humming
// rarely keeps three.
constexpr int kBusyCycles = 3;
constexpr int kDialToneBlocks = kBlocksPerSecond * 3;
// A sound changes after two blocks of another: one odd block does not split a tone.
constexpr int kChangeBlocks = 2;
constexpr size_t kKeptSegments = 2 * kBusyCycles + 1;

// Pitches one bin apart are the same tone: a tone between two bin centres comes out in either.
bool SameTone(int a, int b) { return std::abs(a - b) <= 1; }

}  // namespace

struct HangupDetector::Filters {
    std::array<goertzel_descriptor_t, kToneBins> descriptors{};
    std::array<goertzel_state_t, kToneBins> states{};
};

HangupDetector::HangupDetector(uint32_t silenceS)
    : m_silenceS(silenceS), m_filters(std::make_unique<Filters>()) {
    for (int bin = 0; bin < kToneBins; ++bin) {
        make_goertzel_descriptor(&m_filters->descriptors[bin],
                                 static_cast<float>(kLowestToneHz + bin * kToneStepHz),
                                 kBlockSamples);
    }
    m_block.reserve(kBlockSamples);
    Reset();
}

HangupDetector::~HangupDetector() = default;

void HangupDetector::Reset() {
    m_block.clear();
    m_current = {Sound::Other, 0};
    m_pending = 0;
    m_closed.clear();
    m_quietBlocks = 0;
    m_verdict = Verdict::None;
    m_verdictSamples = 0;
}

void HangupDetector::Listen(int16_t sample) {
    if (m_verdict != Verdict::None) {
        ++m_verdictSamples;
        return;
    }
    m_block.push_back(sample);
    if (m_block.size() < kBlockSamples) return;
    ClassifyBlock();
    m_block.clear();
}

HangupDetector::Sound HangupDetector::Classify(const int16_t* block, int& bin) {
    double mean = 0;
    for (int i = 0; i < kBlockSamples; ++i) mean += block[i];
    mean /= kBlockSamples;
    std::array<int16_t, kBlockSamples> centred{};
    double energy = 0;
    for (int i = 0; i < kBlockSamples; ++i) {
        double value = block[i] - mean;
        centred[i] = static_cast<int16_t>(std::lround(value));
        energy += value * value;
    }
    double rms = std::sqrt(energy / kBlockSamples);
    if (rms < kQuietRms) return Sound::Quiet;
    if (rms < kToneRms) return Sound::Other;
    // A tone centred in its bin gives a Goertzel result of energy * N.
    std::array<double, kToneBins> share{};
    for (int k = 0; k < kToneBins; ++k) {
        goertzel_state_t& state = m_filters->states[k];
        goertzel_init(&state, &m_filters->descriptors[k]);
        goertzel_update(&state, centred.data(), kBlockSamples);
        share[k] = goertzel_result(&state) / (energy * kBlockSamples);
    }
    double best = 0;
    // The pitch as the band's centre of power: steady for a dual tone whose two halves take
    // turns at being the stronger.
    double total = 0, moment = 0;
    for (int k = 0; k < kToneBins; ++k) {
        total += share[k];
        moment += share[k] * k;
    }
    bin = total > 0 ? static_cast<int>(std::lround(moment / total)) : -1;
    for (int a = 0; a < kToneBins; ++a) {
        best = std::max(best, share[a]);
        for (int b = a + kDualToneMinBins; b < kToneBins; ++b) {
            best = std::max(best, share[a] + share[b]);
        }
    }
    return best >= kTonePurity ? Sound::Tone : Sound::Other;
}

void HangupDetector::ClassifyBlock() {
    int bin = -1;
    Sound sound = Classify(m_block.data(), bin);
    // An exchange's tone keeps its pitch; music and voices move.
    if (sound == Sound::Tone && m_current.sound == Sound::Tone && !SameTone(bin, m_current.bin)) {
        sound = Sound::Other;
    }
    m_quietBlocks = sound == Sound::Quiet ? m_quietBlocks + 1 : 0;
    Track(sound, bin);
    if (m_silenceS > 0 && m_quietBlocks >= static_cast<int>(m_silenceS) * kBlocksPerSecond) {
        Decide(Verdict::Silence, m_quietBlocks);
    } else if (m_current.sound == Sound::Tone && m_current.blocks >= kDialToneBlocks) {
        Decide(Verdict::DialTone, m_current.blocks);
    }
}

void HangupDetector::Track(Sound sound, int bin) {
    if (sound == m_current.sound) {
        m_current.blocks += 1 + m_pending;  // an odd block inside a sound belongs to it
        m_pending = 0;
        return;
    }
    if (m_pending > 0 && sound != m_pendingSound) m_pending = 0;
    m_pendingSound = sound;
    if (m_pending == 0) m_pendingBin = bin;
    if (++m_pending < kChangeBlocks) return;
    CloseSegment();
    m_current = {sound, m_pending, m_pendingBin};
    m_pending = 0;
}

void HangupDetector::CloseSegment() {
    m_closed.push_back(m_current);
    if (m_closed.size() > kKeptSegments) m_closed.pop_front();
    // A tone begins after a quiet period: the cadence so far is complete.
    if (m_current.sound == Sound::Quiet && CadenceIsBusy()) {
        int blocks = 0;
        for (const Segment& segment : m_closed) blocks += segment.blocks;
        Decide(Verdict::Busy, blocks);
    }
}

// The latest segments end tone, quiet, tone, quiet ... (kBusyCycles pairs, the first tone may
// have begun before we listened), each full period within the cadence's limits and the quiet
// ones alike.
bool HangupDetector::CadenceIsBusy() const {
    const size_t needed = 2 * kBusyCycles;
    if (m_closed.size() < needed) return false;
    auto first = m_closed.end() - static_cast<long>(needed);
    int firstQuiet = (first + 1)->blocks;
    for (auto at = first; at != m_closed.end(); ++at) {
        bool quiet = (at - first) % 2 == 1;
        if (at->sound != (quiet ? Sound::Quiet : Sound::Tone)) return false;
        if (!quiet && !SameTone(at->bin, first->bin)) return false;
        if (at == first) continue;
        if (at->blocks < kMinCadenceBlocks || at->blocks > kMaxCadenceBlocks) return false;
        int slack = std::max(kChangeBlocks, static_cast<int>(firstQuiet * kCadenceTolerance));
        if (quiet && std::abs(at->blocks - firstQuiet) > slack) return false;
    }
    return true;
}

void HangupDetector::Decide(Verdict verdict, int blocks) {
    m_verdict = verdict;
    m_verdictSamples = static_cast<size_t>(blocks) * kBlockSamples;
}

const char* VerdictName(HangupDetector::Verdict verdict) {
    switch (verdict) {
        case HangupDetector::Verdict::None:
            return "none";
        case HangupDetector::Verdict::Busy:
            return "busy tone";
        case HangupDetector::Verdict::DialTone:
            return "dial tone";
        case HangupDetector::Verdict::Silence:
            return "silence";
    }
    return "?";
}

}  // namespace tapi

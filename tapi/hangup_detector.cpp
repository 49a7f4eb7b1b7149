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
// Share of a block's power in one tone bin, or in the two halves of a dual tone, that makes it
// a tone, not speech or music.
constexpr double kTonePurity = 0.7;
// Each half of a dual tone carries at least this share: a single tone is not half of a pair.
constexpr double kDualComponentShare = 0.2;
// An exchange holds its tone's frequency to a fraction of a percent; 1.5% leaves room for the
// measurement over one block, and a sung note's vibrato (3-6%) goes outside it.
constexpr double kFrequencyTolerance = 0.015;
// RMS levels in 16-bit units after the DC is removed: below kQuietRms (about -38 dBm0) the
// line is silent, even through an 8-bit codec's last-bit flicker; tones are at least kToneRms.
constexpr double kQuietRms = 300.0;
constexpr double kToneRms = 400.0;
// Exchanges keep their cadence within a few percent; 10% on each period, plus the blocks that
// a tone's edges may lend to the quiet beside it.
constexpr double kCadenceTolerance = 0.10;
constexpr int kEdgeSlackBlocks = 2;
// Full on/off cycles heard before the cadence counts as busy: a caller's rhythmic humming
// rarely keeps three, and a single tone, easier to imitate, must keep four.
constexpr int kDualToneBusyCycles = 3;
constexpr int kSingleToneBusyCycles = 4;
// A dual dial tone counts after 3 s. A single one, which a held note may match, after 4 s: a
// sung note seldom stays that long within 1.5% of one pitch, and the 5 s within which a dial
// tone must end the call keep a second for the modem and the program.
constexpr int kDualDialToneBlocks = kBlocksPerSecond * 3;
constexpr int kSingleDialToneBlocks = kBlocksPerSecond * 4;
// A sound changes after two blocks of another: one odd block does not split a tone.
constexpr int kChangeBlocks = 2;
constexpr size_t kKeptSegments = 2 * kSingleToneBusyCycles + 1;
// The quiet right after a caller's last sound that stays with it: a word fades below the quiet
// level before it has quite ended.
constexpr size_t kQuietLeadBlocks = kBlocksPerSecond / 4;

int BusyCycles(const ToneFrequencies& tone) {
    return tone.IsDual() ? kDualToneBusyCycles : kSingleToneBusyCycles;
}

bool WithinCadence(int blocks, int nominalMs, int slackBlocks) {
    double nominal = nominalMs * kBlocksPerSecond / 1000.0;
    return std::abs(blocks - nominal) <= nominal * kCadenceTolerance + slackBlocks;
}

// The pitch of a pure tone from its rising zero crossings, interpolated between samples; 0
// when the block holds fewer than two.
double PitchHz(const int16_t* block) {
    double first = -1, last = -1;
    int crossings = 0;
    for (int i = 0; i + 1 < kBlockSamples; ++i) {
        if (block[i] >= 0 || block[i + 1] < 0) continue;
        double at = i + double(-block[i]) / (block[i + 1] - block[i]);
        if (first < 0) first = at;
        last = at;
        ++crossings;
    }
    return crossings < 2 ? 0 : (crossings - 1) * kSampleRateHz / (last - first);
}

}  // namespace

struct HangupDetector::Filters {
    std::array<goertzel_descriptor_t, kToneBins> band{};
    std::vector<goertzel_descriptor_t> exact;  // one per frequency of m_signals' dual tones
    std::vector<int> exactHz;
};

HangupDetector::HangupDetector(uint32_t silenceS)
    : m_silenceS(silenceS), m_filters(std::make_unique<Filters>()) {
    for (int bin = 0; bin < kToneBins; ++bin) {
        make_goertzel_descriptor(&m_filters->band[bin],
                                 static_cast<float>(kLowestToneHz + bin * kToneStepHz),
                                 kBlockSamples);
    }
    m_block.reserve(kBlockSamples);
    SetTonePlan(TonePlanForCountry(kUnknownCountry));
}

HangupDetector::~HangupDetector() = default;

void HangupDetector::SetTonePlan(const TonePlan& plan) {
    m_plan = &plan;
    m_signals.clear();
    auto add = [this](const ToneFrequencies& tone) {
        if (std::find(m_signals.begin(), m_signals.end(), tone) == m_signals.end()) {
            m_signals.push_back(tone);
        }
    };
    for (const ToneFrequencies& tone : plan.dialTones) add(tone);
    for (const ToneCadence& cadence : plan.busyTones) add(cadence.tone);
    m_filters->exact.clear();
    m_filters->exactHz.clear();
    for (const ToneFrequencies& tone : m_signals) {
        if (!tone.IsDual()) continue;
        for (int hz : {tone.hz, tone.secondHz}) {
            goertzel_descriptor_t descriptor{};
            make_goertzel_descriptor(&descriptor, static_cast<float>(hz), kBlockSamples);
            m_filters->exact.push_back(descriptor);
            m_filters->exactHz.push_back(hz);
        }
    }
    Reset();
}

void HangupDetector::Reset() {
    m_block.clear();
    m_current = {Sound::Other, 0};
    m_pending = 0;
    m_closed.clear();
    m_quietBlocks = 0;
    m_verdict = Verdict::None;
    m_verdictSamples = 0;
    m_blocksHeard = 0;
    m_inRun = false;
    m_runStart = 0;
    m_runQuietLead = 0;
    m_runLeadOpen = false;
    m_hangupSamples = 0;
}

void HangupDetector::Listen(int16_t sample) {
    if (m_verdict != Verdict::None) {
        ++m_verdictSamples;
        ++m_hangupSamples;
        return;
    }
    m_block.push_back(sample);
    if (m_block.size() < kBlockSamples) return;
    ++m_blocksHeard;
    ClassifyBlock();
    m_block.clear();
}

size_t HangupDetector::HangupSoundSamples() const {
    return m_verdict != Verdict::None ? m_hangupSamples : TrailingRunSamples();
}

size_t HangupDetector::TrailingRunSamples() const {
    if (!m_inRun) return 0;
    const size_t blocks = m_blocksHeard - m_runStart;
    const size_t lead = std::min(kQuietLeadBlocks, m_runLeadOpen ? blocks : m_runQuietLead);
    const size_t unclassified = m_block.size() < kBlockSamples ? m_block.size() : 0;
    return (blocks - lead) * kBlockSamples + unclassified;
}

namespace {

// A tone centred in its bin gives a Goertzel result of energy * N.
double Share(goertzel_descriptor_t& descriptor, const int16_t* centred, double energy) {
    goertzel_state_t state;
    goertzel_init(&state, &descriptor);
    goertzel_update(&state, centred, kBlockSamples);
    return goertzel_result(&state) / (energy * kBlockSamples);
}

}  // namespace

// A block is a tone only when it is one of the plan's: a pure single tone within the
// frequency tolerance, or both halves of a dual tone.
HangupDetector::Sound HangupDetector::Classify(const int16_t* block, int& signal) {
    signal = -1;
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
    double best = 0;
    for (goertzel_descriptor_t& descriptor : m_filters->band) {
        best = std::max(best, Share(descriptor, centred.data(), energy));
    }
    std::vector<double> exact;
    for (goertzel_descriptor_t& descriptor : m_filters->exact) {
        exact.push_back(Share(descriptor, centred.data(), energy));
    }
    double pitch = best >= kTonePurity ? PitchHz(centred.data()) : 0;
    for (size_t k = 0; k < m_signals.size(); ++k) {
        if (Matches(m_signals[k], exact, pitch)) {
            signal = static_cast<int>(k);
            return Sound::Tone;
        }
    }
    return Sound::Other;
}

bool HangupDetector::Matches(const ToneFrequencies& tone, const std::vector<double>& share,
                             double pitchHz) const {
    if (!tone.IsDual()) {
        return pitchHz > 0 && std::abs(pitchHz - tone.hz) <= tone.hz * kFrequencyTolerance;
    }
    double low = 0, high = 0;
    for (size_t k = 0; k < share.size(); ++k) {
        if (m_filters->exactHz[k] == tone.hz) low = share[k];
        if (m_filters->exactHz[k] == tone.secondHz) high = share[k];
    }
    return low >= kDualComponentShare && high >= kDualComponentShare && low + high >= kTonePurity;
}

void HangupDetector::ClassifyBlock() {
    int signal = -1;
    Sound sound = Classify(m_block.data(), signal);
    // An exchange's tone keeps its pitch; music and voices move.
    if (sound == Sound::Tone && m_current.sound == Sound::Tone && signal != m_current.signal) {
        sound = Sound::Other;
    }
    m_quietBlocks = sound == Sound::Quiet ? m_quietBlocks + 1 : 0;
    Track(sound, signal);
    if (m_silenceS > 0 && m_quietBlocks >= static_cast<int>(m_silenceS) * kBlocksPerSecond) {
        Decide(Verdict::Silence, m_quietBlocks);
    } else if (IsDialTone(m_current)) {
        Decide(Verdict::DialTone, m_current.blocks);
    }
}

bool HangupDetector::IsDialTone(const Segment& segment) const {
    if (segment.sound != Sound::Tone) return false;
    const ToneFrequencies& tone = m_signals[segment.signal];
    if (std::find(m_plan->dialTones.begin(), m_plan->dialTones.end(), tone) ==
        m_plan->dialTones.end()) {
        return false;
    }
    return segment.blocks >= (tone.IsDual() ? kDualDialToneBlocks : kSingleDialToneBlocks);
}

void HangupDetector::Track(Sound sound, int signal) {
    if (sound == m_current.sound) {
        m_current.blocks += 1 + m_pending;  // an odd block inside a sound belongs to it
        m_pending = 0;
        return;
    }
    if (m_pending > 0 && sound != m_pendingSound) m_pending = 0;
    m_pendingSound = sound;
    if (m_pending == 0) m_pendingSignal = signal;
    if (++m_pending < kChangeBlocks) return;
    CloseSegment();
    StartSegment(sound, m_pending, m_pendingSignal);
    m_pending = 0;
}

// Follows the run of quiet and tones that a hang-up leaves at the end of the stream.
void HangupDetector::StartSegment(Sound sound, int blocks, int signal) {
    const size_t start = m_blocksHeard - static_cast<size_t>(blocks);
    if (m_inRun && m_runLeadOpen) {
        m_runQuietLead = start - m_runStart;
        m_runLeadOpen = false;
    }
    if (sound == Sound::Other) {
        m_inRun = false;
    } else if (!m_inRun) {
        m_inRun = true;
        m_runStart = start;
        m_runQuietLead = 0;
        m_runLeadOpen = sound == Sound::Quiet;
    }
    m_current = {sound, blocks, signal};
}

void HangupDetector::CloseSegment() {
    m_closed.push_back(m_current);
    if (m_closed.size() > kKeptSegments) m_closed.pop_front();
    // A tone begins after a quiet period: the cadence so far is complete.
    if (m_current.sound != Sound::Quiet) return;
    for (const ToneCadence& cadence : m_plan->busyTones) {
        int blocks = 0;
        if (CadenceMatches(cadence, blocks)) {
            Decide(Verdict::Busy, blocks);
            return;
        }
    }
}

// The latest segments end tone, quiet, tone, quiet ... (one pair per cycle, the first tone may
// have begun before we listened), all of the cadence's tone, each period and each full cycle
// within the tolerance.
bool HangupDetector::CadenceMatches(const ToneCadence& cadence, int& blocks) const {
    const size_t needed = 2 * static_cast<size_t>(BusyCycles(cadence.tone));
    if (m_closed.size() < needed) return false;
    auto first = m_closed.end() - static_cast<long>(needed);
    blocks = 0;
    for (auto at = first; at != m_closed.end(); ++at) {
        blocks += at->blocks;
        bool quiet = (at - first) % 2 == 1;
        if (at->sound != (quiet ? Sound::Quiet : Sound::Tone)) return false;
        if (quiet) {
            if (!WithinCadence(at->blocks, cadence.offMs, kEdgeSlackBlocks)) return false;
            if (at - 1 != first &&
                !WithinCadence((at - 1)->blocks + at->blocks, cadence.onMs + cadence.offMs, 1)) {
                return false;
            }
        } else {
            if (m_signals[at->signal] != cadence.tone) return false;
            if (at != first && !WithinCadence(at->blocks, cadence.onMs, kEdgeSlackBlocks)) {
                return false;
            }
        }
    }
    return true;
}

void HangupDetector::Decide(Verdict verdict, int blocks) {
    m_verdict = verdict;
    m_verdictSamples = static_cast<size_t>(blocks) * kBlockSamples;
    m_hangupSamples = TrailingRunSamples();
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

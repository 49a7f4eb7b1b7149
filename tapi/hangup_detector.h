#pragma once
// Hears from the received samples that the caller has hung up, for modems that do not say so:
// the busy or congestion cadence of the exchange the line is in, its steady dial tone, or a line
// silent for a configured time. A tone counts only at the frequencies of that exchange's tone
// plan; a caller's sung or played note never does. The tones are measured with spandsp's
// Goertzel filters; everything about spandsp stays in this file pair.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "tapi/tone_plan.h"

namespace tapi {

class HangupDetector {
public:
    enum class Verdict { None, Busy, DialTone, Silence };

    // `silenceS` 0: silence alone never counts as a hang-up. Until SetTonePlan, the plan of
    // an unknown country.
    explicit HangupDetector(uint32_t silenceS);
    ~HangupDetector();
    HangupDetector(const HangupDetector&) = delete;
    HangupDetector& operator=(const HangupDetector&) = delete;

    // The exchange's tones to listen for; forgets what it heard.
    void SetTonePlan(const TonePlan& plan);
    // Forgets what it heard: a new receive stream begins.
    void Reset();
    // One received 8000 Hz sample.
    void Listen(int16_t sample);
    // What it heard, kept until Reset once found.
    Verdict Heard() const { return m_verdict; }
    // Samples from the first one that belongs to the verdict's sound to the last one heard.
    size_t VerdictSamples() const { return m_verdictSamples; }
    // The samples at the end of what it heard that a caller who hung up leaves: since the last
    // sound that was neither quiet nor one of the plan's tones, less a short stretch of the
    // quiet right after it (a word's fading end). With a verdict, that as it was then and
    // every sample since.
    size_t HangupSoundSamples() const;

private:
    enum class Sound { Quiet, Tone, Other };
    struct Segment {
        Sound sound;
        int blocks;
        int signal = -1;  // a tone's index in m_signals
    };
    struct Filters;

    void ClassifyBlock();
    Sound Classify(const int16_t* block, int& signal);
    bool Matches(const ToneFrequencies& tone, const std::vector<double>& share,
                 double pitchHz) const;
    void Track(Sound sound, int signal);
    void CloseSegment();
    bool CadenceMatches(const ToneCadence& cadence, int& blocks) const;
    bool IsDialTone(const Segment& segment) const;
    void Decide(Verdict verdict, int blocks);
    void StartSegment(Sound sound, int blocks, int signal);
    size_t TrailingRunSamples() const;

    const uint32_t m_silenceS;
    const TonePlan* m_plan;
    std::vector<ToneFrequencies> m_signals;  // every tone of the plan, once
    std::unique_ptr<Filters> m_filters;
    std::vector<int16_t> m_block;
    Segment m_current{Sound::Other, 0};
    int m_pending = 0;  // blocks of another sound after the current segment
    Sound m_pendingSound = Sound::Other;
    int m_pendingSignal = -1;
    std::deque<Segment> m_closed;  // the latest segments, oldest first
    int m_quietBlocks = 0;
    Verdict m_verdict = Verdict::None;
    size_t m_verdictSamples = 0;
    // Where the trailing run of quiet and tones began, in blocks heard; none while the
    // latest segment is another sound.
    size_t m_blocksHeard = 0;
    bool m_inRun = false;
    size_t m_runStart = 0;
    size_t m_runQuietLead = 0;   // blocks of quiet the run began with, once that quiet ended
    bool m_runLeadOpen = false;  // the run's first segment is quiet and still going
    size_t m_hangupSamples = 0;  // HangupSoundSamples, kept with the verdict
};

const char* VerdictName(HangupDetector::Verdict verdict);

}  // namespace tapi

#pragma once
// Hears from the received samples that the caller has hung up, for modems that do not say so:
// the exchange's busy or reorder cadence (tones of 350-650 Hz, on and off 0.2-0.6 s each), a
// steady dial tone, or a line silent for a configured time. The tones are measured with
// spandsp's Goertzel filters; everything about spandsp stays in this file pair.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace tapi {

class HangupDetector {
public:
    enum class Verdict { None, Busy, DialTone, Silence };

    // `silenceS` 0: silence alone never counts as a hang-up.
    explicit HangupDetector(uint32_t silenceS);
    ~HangupDetector();
    HangupDetector(const HangupDetector&) = delete;
    HangupDetector& operator=(const HangupDetector&) = delete;

    // Forgets what it heard: a new receive stream begins.
    void Reset();
    // One received 8000 Hz sample.
    void Listen(int16_t sample);
    // What it heard, kept until Reset once found.
    Verdict Heard() const { return m_verdict; }
    // Samples from the first one that belongs to the verdict's sound to the last one heard.
    size_t VerdictSamples() const { return m_verdictSamples; }

private:
    enum class Sound { Quiet, Tone, Other };
    struct Segment {
        Sound sound;
        int blocks;
        int bin = -1;  // a tone's strongest Goertzel bin
    };
    struct Filters;

    void ClassifyBlock();
    Sound Classify(const int16_t* block, int& bin);
    void Track(Sound sound, int bin);
    void CloseSegment();
    bool CadenceIsBusy() const;
    void Decide(Verdict verdict, int blocks);

    const uint32_t m_silenceS;
    std::unique_ptr<Filters> m_filters;
    std::vector<int16_t> m_block;
    Segment m_current{Sound::Other, 0};
    int m_pending = 0;  // blocks of another sound after the current segment
    Sound m_pendingSound = Sound::Other;
    int m_pendingBin = -1;
    std::deque<Segment> m_closed;  // the latest segments, oldest first
    int m_quietBlocks = 0;
    int m_cadenceBlocks = 0;  // blocks since the busy cadence's first full segment began
    Verdict m_verdict = Verdict::None;
    size_t m_verdictSamples = 0;
};

const char* VerdictName(HangupDetector::Verdict verdict);

}  // namespace tapi

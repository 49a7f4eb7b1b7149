// The dialects of the voice modems on sale, as data: the AT+VSM=? listings and the line tones
// that the end-to-end runs of each modem personality do not meet.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tapi/hangup_detector.h"
#include "tapi/voice_codec.h"
#include "tapi/voice_format.h"

namespace {

using tapi::HangupDetector;
using tapi::VoiceCodec;
using Verdict = HangupDetector::Verdict;

TEST(VoiceFormat, ChosenByNameAndBitsFromEachListingShape) {
    struct Case {
        const char* modem;
        std::vector<std::string> listing;
        int compression;
        VoiceCodec codec;
    } cases[] = {
        {"Conexant's 130 is unsigned PCM, not A-law",
         {"130,\"UNSIGNED PCM\",8,0,8000,0,0", "132,\"A-Law\",8,0,8000,0,0"},
         130,
         VoiceCodec::Unsigned8},
        {"A-law only, rate as a range", {"140,\"ALAW\",8,0,(4800-11025)"}, 140, VoiceCodec::ALaw},
        {"numbers only where the name says nothing", {"5,\"\",8,0,(8000)"}, 5, VoiceCodec::ALaw},
        {"nothing at 8000 Hz", {"1,\"UNSIGNED PCM\",8,0,(11025)", "OK"}, -1, VoiceCodec::None},
    };
    for (const Case& c : cases) {
        tapi::VoiceFormat format = tapi::ChooseVoiceFormat(c.listing);
        EXPECT_EQ(format.compression, c.compression) << c.modem;
        EXPECT_EQ(format.codec, c.codec) << c.modem;
    }
    EXPECT_EQ(tapi::ReadBackRate({"+VSM: 128,8000,0,0"}), 8000);
    EXPECT_EQ(tapi::ReadBackRate({"1,7200"}), 7200);
}

// Received audio as an 8-bit modem delivers it: each sample through the unsigned 8-bit codec.
class Line {
public:
    Line& Tone(std::vector<double> hz, double seconds, double amplitude = 3000) {
        for (int i = 0; i < Samples(seconds); ++i, ++m_phase) {
            double value = 0;
            for (double f : hz) value += amplitude * std::sin(2 * M_PI * f * m_phase / 8000);
            Add(value);
        }
        return *this;
    }
    Line& Quiet(double seconds) {
        for (int i = 0; i < Samples(seconds); ++i) Add((i * 7919 % 61) - 30.0);  // faint noise
        return *this;
    }
    Line& Cadence(std::vector<double> hz, double on, double off, double seconds,
                  double amplitude = 3000) {
        for (double t = 0; t < seconds; t += on + off) Tone(hz, on, amplitude).Quiet(off);
        return *this;
    }
    // Seconds from `fromS` to the verdict, or -1 when none came.
    double HeardAfter(HangupDetector& detector, Verdict& verdict, double fromS) const {
        for (size_t i = 0; i < m_samples.size(); ++i) {
            detector.Listen(m_samples[i]);
            verdict = detector.Heard();
            if (verdict != Verdict::None) return double(i) / 8000 - fromS;
        }
        return -1;
    }

private:
    static int Samples(double seconds) { return static_cast<int>(seconds * 8000); }
    void Add(double value) {
        auto sample = static_cast<int16_t>(std::lround(value));
        m_samples.push_back(tapi::DecodeSample(VoiceCodec::Unsigned8,
                                               tapi::EncodeSample(VoiceCodec::Unsigned8, sample)));
    }
    std::vector<int16_t> m_samples;
    long m_phase = 0;
};

TEST(HangupDetector, HearsTheExchangeWithinTheGoalAndLetsCallersTalk) {
    const std::vector<double> kVoice = {150, 300, 450, 600, 750, 900, 1050};
    const double kTalkS = 3;
    Line speech;
    speech.Tone({1000}, kTalkS);
    struct Case {
        const char* line;
        Line audio;
        uint32_t silenceS;
        Verdict verdict;
        double withinS;
    } cases[] = {
        {"US busy 480+620 Hz 0.5/0.5", Line(speech).Cadence({480, 620}, 0.5, 0.5, 10), 8,
         Verdict::Busy, 5},
        {"Europe busy 425 Hz 0.5/0.5, faint", Line(speech).Cadence({425}, 0.5, 0.5, 10, 800), 8,
         Verdict::Busy, 5},
        {"UK busy 400 Hz 0.375/0.375", Line(speech).Cadence({400}, 0.375, 0.375, 10), 8,
         Verdict::Busy, 5},
        {"China busy 450 Hz 0.35/0.35", Line(speech).Cadence({450}, 0.35, 0.35, 10), 8,
         Verdict::Busy, 5},
        {"US reorder 480+620 Hz 0.25/0.25, faint",
         Line(speech).Cadence({480, 620}, 0.25, 0.25, 10, 600), 8, Verdict::Busy, 5},
        {"dial tone 350+440 Hz", Line(speech).Tone({350, 440}, 10), 8, Verdict::DialTone, 5},
        {"silence with silence-s 8", Line(speech).Quiet(20), 8, Verdict::Silence, 9},
        {"a hummed vowel for 10 s", Line(speech).Tone(kVoice, 10, 800), 8, Verdict::None, 0},
        {"a note with overtones, 0.4 s on and off",
         Line(speech).Cadence({440, 880, 1320}, 0.4, 0.4, 10), 8, Verdict::None, 0},
        {"silence with silence-s 0", Line(speech).Quiet(20), 0, Verdict::None, 0},
    };
    for (Case& c : cases) {
        HangupDetector detector(c.silenceS);
        Verdict verdict = Verdict::None;
        double after = c.audio.HeardAfter(detector, verdict, kTalkS);
        EXPECT_EQ(verdict, c.verdict) << c.line << ": " << tapi::VerdictName(verdict);
        if (c.verdict != Verdict::None) {
            EXPECT_GE(after, 0) << c.line;
            EXPECT_LE(after, c.withinS) << c.line;
        }
    }
}

}  // namespace

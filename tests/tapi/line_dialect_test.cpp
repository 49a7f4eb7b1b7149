// The dialects of the voice modems on sale, as data: their AT+VSM=? listings, and the tones a
// line carries after the caller hangs up.

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
        {"Conexant CX930xx",
         {"0,\"SIGNED PCM\",8,0,8000,0,0", "1,\"UNSIGNED PCM\",8,0,8000,0,0",
          "129,\"IMA ADPCM\",4,0,8000,0,0", "130,\"UNSIGNED PCM\",8,0,8000,0,0",
          "131,\"Mu-Law\",8,0,8000,0,0", "132,\"A-Law\",8,0,8000,0,0",
          "133,\"14 bit PCM\",14,0,8000,0,0"},
         1,
         VoiceCodec::Unsigned8},
        {"USR5637 short listing",
         {"128,\"8-BIT LINEAR\",(7200,8000,11025)", "129,\"16-BIT LINEAR\",(7200,8000,11025)",
          "130,\"8-BIT ALAW\",(8000)", "131,\"8-BIT ULAW\",(8000)", "132,\"IMA ADPCM\",(8000)"},
         128,
         VoiceCodec::Unsigned8},
        {"Intel MD566x",
         {"+VSM: 1,\"16-BIT LINEAR\",16,0,(4800-11025),(0),(0)",
          "+VSM: 128,\"8-BIT SIGNED LINEAR\",8,0,(4800-11025),(0),(0)",
          "+VSM: 140,\"ALAW\",8,0,(8000),(0),(0)"},
         128,
         VoiceCodec::Signed8},
        {"Conexant without its linear formats: 130 is not A-law",
         {"130,\"UNSIGNED PCM\",8,0,(7200),0,0", "131,\"Mu-Law\",8,0,8000,0,0",
          "132,\"A-Law\",8,0,8000,0,0"},
         131,
         VoiceCodec::MuLaw},
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
    Line& Mark() {
        m_mark = m_samples.size();
        return *this;
    }
    // Seconds from the mark to the verdict, or -1 when none came.
    double HeardAfter(HangupDetector& detector, Verdict& verdict) const {
        for (size_t i = 0; i < m_samples.size(); ++i) {
            detector.Listen(m_samples[i]);
            verdict = detector.Heard();
            if (verdict != Verdict::None) return (double(i) - double(m_mark)) / 8000;
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
    size_t m_mark = 0;
    long m_phase = 0;
};

TEST(HangupDetector, HearsTheExchangeWithinTheGoalAndLetsCallersTalk) {
    const std::vector<double> kVoice = {150, 300, 450, 600, 750, 900, 1050};
    Line speech;
    speech.Tone({1000}, 3);
    struct Case {
        const char* line;
        Line audio;
        uint32_t silenceS;
        Verdict verdict;
        double withinS;
    } cases[] = {
        {"China busy 450 Hz 0.35/0.35", Line(speech).Mark().Cadence({450}, 0.35, 0.35, 10), 8,
         Verdict::Busy, 5},
        {"US reorder 480+620 Hz 0.25/0.25", Line(speech).Mark().Cadence({480, 620}, 0.25, 0.25, 10),
         8, Verdict::Busy, 5},
        {"US busy 480+620 Hz 0.5/0.5", Line(speech).Mark().Cadence({480, 620}, 0.5, 0.5, 10), 8,
         Verdict::Busy, 5},
        {"Europe busy 425 Hz 0.5/0.5, faint", Line(speech).Mark().Cadence({425}, 0.5, 0.5, 10, 800),
         8, Verdict::Busy, 5},
        {"UK busy 400 Hz 0.375/0.375", Line(speech).Mark().Cadence({400}, 0.375, 0.375, 10), 8,
         Verdict::Busy, 5},
        {"US dial tone 350+440 Hz", Line(speech).Mark().Tone({350, 440}, 10), 8, Verdict::DialTone,
         5},
        {"silence", Line(speech).Mark().Quiet(12), 8, Verdict::Silence, 9},
        {"a caller's 5 s pause", Line(speech).Quiet(5).Tone({1000}, 3).Quiet(5).Tone({1000}, 3), 8,
         Verdict::None, 0},
        {"a hummed vowel for 10 s", Line(speech).Tone(kVoice, 10, 800), 8, Verdict::None, 0},
        {"a note with overtones, 0.4 s on and off",
         Line(speech).Cadence({440, 880, 1320}, 0.4, 0.4, 10), 8, Verdict::None, 0},
        {"silence with silence-s 0", Line(speech).Quiet(20), 0, Verdict::None, 0},
    };
    for (Case& c : cases) {
        HangupDetector detector(c.silenceS);
        Verdict verdict = Verdict::None;
        double after = c.audio.HeardAfter(detector, verdict);
        EXPECT_EQ(verdict, c.verdict) << c.line << ": " << tapi::VerdictName(verdict);
        if (c.verdict != Verdict::None) {
            EXPECT_GE(after, 0) << c.line;
            EXPECT_LE(after, c.withinS) << c.line;
        }
    }
}

}  // namespace

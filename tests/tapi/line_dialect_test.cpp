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
    // A held note whose pitch swings by `depth` (a share of it) `rateHz` times a second.
    Line& Vibrato(double hz, double depth, double rateHz, double seconds) {
        double phase = 0;
        for (int i = 0; i < Samples(seconds); ++i) {
            phase += 2 * M_PI * hz * (1 + depth * std::sin(2 * M_PI * rateHz * i / 8000)) / 8000;
            Add(3000 * std::sin(phase));
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

// Each country's exchange is heard within the goal; a caller's steady or wavering note, or
// beeps, that are not that exchange's tones, never are (the notes that ended messages on the
// Conexant, whose factory country is the USA, come first).
TEST(HangupDetector, HearsEachCountrysExchangeWithinTheGoalAndNoCallersNote) {
    const std::vector<double> kVoice = {150, 300, 450, 600, 750, 900, 1050};
    const double kTalkS = 3, kGoalS = 5;
    const int kUsa = 0xB5, kUk = 0xB4, kGermany = 0x04, kFrance = 0x3D, kChina = 0x26,
              kJapan = 0x00, kUnknown = tapi::kUnknownCountry;
    Line speech;
    speech.Tone({1000}, kTalkS);
    struct Case {
        const char* line;
        int country;
        Line audio;
        Verdict verdict;
    } cases[] = {
        {"US 480 Hz held 5 s", kUsa, Line(speech).Tone({480}, 5), Verdict::None},
        {"US 425 Hz held 5 s", kUsa, Line(speech).Tone({425}, 5), Verdict::None},
        {"US 440 Hz with vibrato", kUsa, Line(speech).Vibrato(440, 0.03, 5.5, 6), Verdict::None},
        {"US 450 Hz beeps 0.4/0.4", kUsa, Line(speech).Cadence({450}, 0.4, 0.4, 10), Verdict::None},
        {"US busy 480+620 Hz 0.5/0.5", kUsa, Line(speech).Cadence({480, 620}, 0.5, 0.5, 10),
         Verdict::Busy},
        {"US reorder 480+620 Hz 0.25/0.25, faint", kUsa,
         Line(speech).Cadence({480, 620}, 0.25, 0.25, 10, 600), Verdict::Busy},
        {"US dial tone", kUsa, Line(speech).Tone({350, 440}, 10), Verdict::DialTone},
        {"UK busy 400 Hz 0.375/0.375", kUk, Line(speech).Cadence({400}, 0.375, 0.375, 10),
         Verdict::Busy},
        {"German busy 0.48/0.48, faint", kGermany, Line(speech).Cadence({425}, 0.48, 0.48, 10, 800),
         Verdict::Busy},
        {"German congestion 0.24/0.24", kGermany, Line(speech).Cadence({425}, 0.24, 0.24, 10),
         Verdict::Busy},
        {"German dial tone", kGermany, Line(speech).Tone({425}, 10), Verdict::DialTone},
        {"German 425 Hz held 3 s", kGermany, Line(speech).Tone({425}, 3).Tone({1000}, 3),
         Verdict::None},
        {"French dial tone", kFrance, Line(speech).Tone({440}, 10), Verdict::DialTone},
        {"French 440 Hz with vibrato", kFrance, Line(speech).Vibrato(440, 0.03, 5.5, 10),
         Verdict::None},
        {"Chinese busy 450 Hz 0.35/0.35", kChina, Line(speech).Cadence({450}, 0.35, 0.35, 10),
         Verdict::Busy},
        {"Chinese dial tone", kChina, Line(speech).Tone({450}, 10), Verdict::DialTone},
        {"Chinese 450 Hz beeps 0.4/0.4", kChina, Line(speech).Cadence({450}, 0.4, 0.4, 10),
         Verdict::None},
        {"Chinese 440 Hz with vibrato", kChina, Line(speech).Vibrato(440, 0.03, 5.5, 10),
         Verdict::None},
        {"Japanese busy 400 Hz 0.5/0.5", kJapan, Line(speech).Cadence({400}, 0.5, 0.5, 10),
         Verdict::Busy},
        {"unknown country, busy 425 Hz 0.5/0.5", kUnknown,
         Line(speech).Cadence({425}, 0.5, 0.5, 10), Verdict::Busy},
        {"unknown country, 425 Hz held", kUnknown, Line(speech).Tone({425}, 10), Verdict::None},
        {"a hummed vowel", kChina, Line(speech).Tone(kVoice, 10, 800), Verdict::None},
        {"a note with overtones, 0.4 s on and off", kFrance,
         Line(speech).Cadence({440, 880, 1320}, 0.4, 0.4, 10), Verdict::None},
    };
    for (Case& c : cases) {
        HangupDetector detector(8);
        detector.SetTonePlan(tapi::TonePlanForCountry(c.country));
        Verdict verdict = Verdict::None;
        double after = c.audio.HeardAfter(detector, verdict, kTalkS);
        EXPECT_EQ(verdict, c.verdict) << c.line << ": " << tapi::VerdictName(verdict);
        if (c.verdict != Verdict::None) {
            EXPECT_GE(after, 0) << c.line;
            EXPECT_LE(after, kGoalS) << c.line;
            // The hang-up sound, to be cut from the message, is all that came after the talk.
            EXPECT_NEAR(double(detector.HangupSoundSamples()) / 8000, after, 0.1) << c.line;
        }
    }
    // A caller who hung up in the greeting: the recording starts inside the busy tone.
    for (int country : {kUsa, kChina, kGermany}) {
        HangupDetector detector(8);
        detector.SetTonePlan(tapi::TonePlanForCountry(country));
        Verdict heard = Verdict::None;
        const double on = country == kUsa ? 0.5 : country == kChina ? 0.35 : 0.48;
        const std::vector<double> hz = country == kUsa     ? std::vector<double>{480, 620}
                                       : country == kChina ? std::vector<double>{450}
                                                           : std::vector<double>{425};
        const double after =
            Line().Quiet(0.2).Cadence(hz, on, on, 10).HeardAfter(detector, heard, 0);
        EXPECT_EQ(heard, Verdict::Busy) << country;
        EXPECT_LE(after, kGoalS) << country;
    }
    HangupDetector quiet(8);
    Verdict verdict = Verdict::None;
    const double silenceAfter = Line(speech).Quiet(20).HeardAfter(quiet, verdict, kTalkS);
    EXPECT_EQ(verdict, Verdict::Silence);
    // A quarter second of the quiet stays with the talk, as its fading end.
    EXPECT_NEAR(double(quiet.HangupSoundSamples()) / 8000, silenceAfter - 0.25, 0.1);
    EXPECT_GE(silenceAfter, 7.9);
    EXPECT_LE(silenceAfter, 9) << "silence-s 8";
    HangupDetector patient(0);
    EXPECT_LT(Line(speech).Quiet(20).HeardAfter(patient, verdict, kTalkS), 0) << "silence-s 0";
    EXPECT_EQ(tapi::ParseGciAnswer("+GCI: B5"), kUsa);
    EXPECT_EQ(tapi::ParseGciAnswer("+GCI:26"), kChina);
    EXPECT_EQ(tapi::ParseGciAnswer("+GCI: (00,B5)"), kUnknown);
}

}  // namespace

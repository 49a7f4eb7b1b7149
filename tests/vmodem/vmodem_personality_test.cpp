// The virtual modem's chipset dialects and the line's tones after a hang-up, end to end on the
// pty with vantoro-call on the line.
#include <gtest/gtest.h>
#include <spandsp.h>

#include <algorithm>
#include <cmath>

#include "tests/support/little_endian.h"
#include "tests/support/modem_harness.h"

namespace {

enum class Codec { U8, S8, L16, ULaw, ALaw };

std::vector<double> Decode(const std::string& bytes, Codec codec) {
    std::vector<double> out;
    for (size_t i = 0; i + (codec == Codec::L16) < bytes.size(); i += 1 + (codec == Codec::L16)) {
        auto b = uint8_t(bytes[i]);
        out.push_back(codec == Codec::U8     ? (b - 128) * 256.0
                      : codec == Codec::S8   ? int8_t(b) * 256.0
                      : codec == Codec::L16  ? int16_t(Le16(bytes, i))
                      : codec == Codec::ULaw ? ulaw_to_linear(b)
                                             : alaw_to_linear(b));
    }
    return out;
}

// Goertzel: the power at `hz` in x[from, to), per sample.
double PowerAt(const std::vector<double>& x, size_t from, size_t to, double hz, int rate) {
    double coeff = 2 * std::cos(2 * M_PI * hz / rate), s1 = 0, s2 = 0;
    for (size_t i = from; i < to && i < x.size(); ++i) {
        double s0 = x[i] + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / double(to - from);
}

// A tone at `hz` and not half a semitone off, nor the pitch a 7200/8000 mix-up gives.
void ExpectTone(const std::vector<double>& x, size_t from, size_t to, double hz, int rate) {
    double at = PowerAt(x, from, to, hz, rate);
    for (double off : {hz * 0.97, hz * 1.03, hz * 0.9, hz / 0.9})
        EXPECT_GT(at, 10 * PowerAt(x, from, to, off, rate)) << hz << " Hz vs " << off << " Hz";
}

// The modem in voice mode, having answered a call of vantoro-call `args`.
std::unique_ptr<ChildProcess> Answer(ModemHarness& modem, std::vector<std::string> args) {
    EXPECT_TRUE(modem.Start() && modem.OpenPty());
    EXPECT_EQ(modem.Command("ATE0+FCLASS=8"), "ATE0+FCLASS=8\r\r\nOK\r\n");
    auto call = modem.Call(std::move(args));
    EXPECT_TRUE(modem.Expect("RING\r\n", 2000));
    EXPECT_EQ(modem.Command("AT+VLS=1"), "\r\nOK\r\n");
    return call;
}

// Receives for `ms`, then stops: the samples' bytes, the DLE events in *events.
std::string Receive(ModemHarness& modem, int ms, std::string* events = nullptr) {
    EXPECT_EQ(modem.Command("AT+VRX"), "\r\nCONNECT\r\n");
    std::string stream = modem.ReadFor(ms);
    modem.Send("\x10!");
    EXPECT_TRUE(modem.Expect("\x10\x03\r\nOK\r\n", 1000));
    return Unshield(stream, events);
}

struct DialectRow {
    const char* personality;
    const char* listed;  // one line of its AT+VSM=? listing
    const char* select;  // method and the line's rate
    bool needsFour;      // the two parameters are refused; with ",0,0" they pass
    Codec codec;
    int rate;  // the samples per second on the serial line
};

// clang-format off
const DialectRow kDialects[] = {
    {"cx93010", "\r\n133,\"14 bit PCM\",14,0,8000,0,0\r\n", "AT+VSM=0,8000", false, Codec::S8, 8000},
    {"usr5637", "\r\n128,\"8-BIT LINEAR\",(7200,8000,11025)\r\n", "AT+VSM=130,8000", false, Codec::ALaw, 8000},
    {"mt5634", "\r\n131,\"8-BIT ULAW\",8,0,(8000),(0),(0)\r\n", "AT+VSM=131,8000", true, Codec::ULaw, 8000},
    {"md566x", "\r\n1,\"LINEAR\",16,0,(8000),(0),(0)\r\n", "AT+VSM=1,8000", false, Codec::L16, 8000},
    {"rc56", "\r\n1,\"UNSIGNED PCM\",8,0,(7200,8000,11025),(0),(0)\r\n", "AT+VSM=1,8000", false, Codec::U8, 7200},
    {"ideal", "\r\n4,\"ULAW\",8,0,(8000),(0),(0)\r\n", "AT+VSM=4,8000", false, Codec::ULaw, 8000},
};
// clang-format on

void PrintTo(const DialectRow& row, std::ostream* out) { *out << row.personality; }
class Dialect : public ::testing::TestWithParam<DialectRow> {};

// The caller's 1 kHz tone arrives at 1 kHz in the modem's format and rate, and played back it
// reaches the caller at 1 kHz for as long.
TEST_P(Dialect, ListsItsFormatsAndCarriesToneAtPitchBothWays) {
    const DialectRow& row = GetParam();
    ModemHarness modem{400, {"--personality", row.personality}};
    std::string tone = modem.Folder() / "tone.wav", heard = modem.Folder() / "heard.wav";
    ASSERT_TRUE(WriteToneWav(tone, 3.0, 1000));
    auto call = Answer(modem, {"--say", tone, "--record", heard, "--hangup-after", "4"});
    EXPECT_NE(modem.Command("AT+VSM=?").find(row.listed), std::string::npos);
    EXPECT_EQ(modem.Command(row.select), row.needsFour ? "\r\nERROR\r\n" : "\r\nOK\r\n");
    std::string four = row.needsFour ? modem.Command(row.select + std::string(",0,0")) : "";
    EXPECT_EQ(four, row.needsFour ? "\r\nOK\r\n" : "") << "all four parameters";
    std::string received = Receive(modem, 1500);
    std::vector<double> in = Decode(received, row.codec);
    EXPECT_NEAR(double(in.size()), row.rate * 1.5, row.rate * 0.06) << "samples in 1.5 s";
    ExpectTone(in, row.rate / 5, in.size(), 1000, row.rate);

    ASSERT_EQ(modem.Command("AT+VTX"), "\r\nCONNECT\r\n");
    std::string played;
    for (char b : received) played += b == '\x10' ? std::string("\x10\x10") : std::string(1, b);
    modem.Send(played + "\x10\x03");
    EXPECT_TRUE(modem.Expect("OK\r\n", 3000));
    EXPECT_EQ(call->WaitForExit(5000), 0);
    std::vector<double> out = Decode(ReadFile(heard).substr(44), Codec::L16);  // after the header
    auto loud = [](double v) { return std::abs(v) > 2000; };
    size_t first = std::find_if(out.begin(), out.end(), loud) - out.begin();
    size_t last = out.rend() - std::find_if(out.rbegin(), out.rend(), loud);
    EXPECT_NEAR(double(last - first), in.size() * 8000.0 / row.rate, 80.0) << "at 8000 Hz";
    ExpectTone(out, first, last, 1000, 8000);
}

INSTANTIATE_TEST_SUITE_P(Personalities, Dialect, ::testing::ValuesIn(kDialects));

struct HangupRow {
    const char* tone;
    const char* personality;
    double hz1, hz2;  // 0: none
    int onMs, offMs;  // an off time of 0 is a continuous tone
    bool busyEvent;
};

const HangupRow kHangups[] = {
    {"cn-busy", "cx93010", 450, 0, 350, 350, false},
    {"us-reorder", "ideal", 480, 620, 250, 250, true},
    {"eu-busy", "cx93010", 425, 0, 500, 500, false},
    {"dialtone", "ideal", 350, 440, 0, 0, true},
    {"silence", "cx93010", 0, 0, 0, 0, false},
};

void PrintTo(const HangupRow& row, std::ostream* out) { *out << row.tone; }
class Hangup : public ::testing::TestWithParam<HangupRow> {};

// What the line carries after the caller's hang-up, at its pitch and cadence, and whether the
// chipset says busy about it.
TEST_P(Hangup, LineCarriesTheToneAndOnlyTheIdealModemReportsBusy) {
    const HangupRow& row = GetParam();
    ModemHarness modem{400, {"--personality", row.personality, "--hangup-tone", row.tone}};
    auto call = Answer(modem, {"--hangup-after", "0.5"});
    std::string events;
    std::vector<double> x = Decode(Receive(modem, 4000, &events), Codec::U8);
    EXPECT_EQ(events.find('b') != std::string::npos, row.busyEvent) << "events " << events;
    constexpr size_t kBlock = 80;               // 10 ms
    std::vector<std::pair<bool, size_t>> runs;  // on or off, in blocks
    for (size_t at = 0; at + kBlock <= x.size(); at += kBlock) {
        double power = 0;
        for (size_t i = at; i < at + kBlock; ++i) power += x[i] * x[i] / kBlock;
        bool on = power > 200.0 * 200.0;
        if (runs.empty() || runs.back().first != on) runs.push_back({on, 0});
        ++runs.back().second;
    }
    ASSERT_EQ(runs.size() == 1, row.hz1 == 0) << "silence after the hang-up, or a tone";
    if (row.hz1 == 0) return;
    ASSERT_GE(runs.size(), row.offMs ? 5u : 2u);  // silence before the hang-up, then the tone
    size_t start = runs[0].second * kBlock, on = runs[1].second * kBlock;
    ExpectTone(x, start, start + on, row.hz1, 8000);
    if (row.hz2) ExpectTone(x, start, start + on, row.hz2, 8000);
    EXPECT_TRUE(row.offMs || on >= 20000u) << "a continuous tone to the end";
    for (size_t i = 1; row.offMs && i + 1 < runs.size(); ++i)
        EXPECT_NEAR(runs[i].second * 10.0, runs[i].first ? row.onMs : row.offMs, 20.0) << i;
}

INSTANTIATE_TEST_SUITE_P(Tones, Hangup, ::testing::ValuesIn(kHangups));

}  // namespace

// vantoro-faxrx against spandsp's calling fax machine through the virtual modem, in real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fax/raw_page_file.h"
#include "tests/support/little_endian.h"
#include "tests/support/modem_harness.h"

namespace {

using namespace raw_page_file;

// The DCS rate bits (second octet, 0x30) of each rate.
const std::map<int, uint8_t> kRateBits = {{2400, 0x00}, {4800, 0x10}, {7200, 0x30}, {9600, 0x20}};

// Checks a received fax against what was sent: statuses, header, data length and pixels. On a
// noisy line up to `spoiltRowsPercent` of the rows of a page may differ or be missing.
void ExpectReceived(FaxCall& call, int bps, int spoiltRowsPercent = 0) {
    SCOPED_TRACE(call.modem.Folder().Path() + " at " + std::to_string(bps) + " bit/s");
    ASSERT_EQ(call.receiverExit, 0) << call.receiver->Stdout() << ReadFile(call.LogPath());
    auto lines = call.Status();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "接收传真成功");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "本页接收完毕"), long(call.pages.size()));
    EXPECT_NE(ReadFile(call.LogPath()).find("  接收传真成功\r\n"), std::string::npos);
    EXPECT_NE(
        call.caller->Stdout().find("RESULT fax ok pages=" + std::to_string(call.pages.size()) +
                                   " rate=" + std::to_string(bps)),
        std::string::npos)
        << call.caller->Stdout();

    std::string raw = ReadFile(call.Raw());
    ASSERT_GE(raw.size(), kHeaderSize);
    EXPECT_EQ(raw.substr(0, 2), "G3");
    EXPECT_EQ(static_cast<uint8_t>(raw[kDcsOffset + 1]) & 0x30, kRateBits.at(bps));
    EXPECT_EQ((static_cast<uint8_t>(raw[kDcsOffset + 1]) & 0x02) != 0,  // 7.7 lines/mm
              call.fine);
    EXPECT_EQ(static_cast<uint8_t>(raw[kPageCountOffset]), call.pages.size());
    EXPECT_EQ(Le32(raw, kDataLengthOffset), raw.size() - kDataOffset);

    // The sender's "ok" proves nothing: the pages must decode to exactly what was sent.
    std::string tiff = call.modem.Folder() / "received.tif";
    ChildProcess convert({ToolPath("vantoro-rawtotiff"), call.Raw(), tiff});
    ASSERT_TRUE(convert.Start());
    ASSERT_EQ(convert.WaitForExit(30000), 0) << convert.Stderr();
    DecodedTiff decoded = ReadTiff(tiff);
    const std::vector<Page>& received = decoded.pages;
    if (spoiltRowsPercent == 0) {
        EXPECT_EQ(decoded.problems, "");
    }
    ASSERT_EQ(received.size(), call.pages.size());
    for (size_t number = 0; number < received.size(); ++number) {
        const Page &got = received[number], &sent = call.pages[number];
        size_t spoilt = std::max(got.size(), sent.size()) - std::min(got.size(), sent.size());
        for (size_t y = 0; y < std::min(got.size(), sent.size()); ++y) spoilt += got[y] != sent[y];
        EXPECT_LE(spoilt * 100, sent.size() * spoiltRowsPercent)
            << "page " << number + 1 << ": " << spoilt << " of " << sent.size() << " rows";
    }
}

// A failed call ends in time, with the failure shown and its number logged.
void ExpectCleanFailure(FaxCall& call) {
    ASSERT_EQ(call.receiverExit, 1) << "the receiver hung or crashed: " << call.receiver->Stdout();
    auto lines = call.Status();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), "接收传真失败");
    EXPECT_EQ(lines[lines.size() - 2], "传真接收结束");
    EXPECT_NE(ReadFile(call.LogPath()).find("错误号："), std::string::npos);
}

// From the soft modem's carrier trace: for each of our signals, how long the line was silent
// since the caller's signal ended, in ms.
std::vector<double> ResponseGaps(const std::string& trace) {
    std::vector<double> gaps;
    double callerOff = -1;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string tag, carrier, side, edge;
        double ms = 0;
        if (!(words >> tag >> carrier >> side >> edge >> ms) || carrier != "carrier") continue;
        if (side == "caller" && edge == "off") callerOff = ms;
        if (side == "modem" && edge == "on" && callerOff >= 0) gaps.push_back(ms - callerOff);
        if (side == "modem" && edge == "on") callerOff = -1;
    }
    return gaps;
}

// T.30: 75 +/- 20 ms from the end of the caller's TCF to our CFR, and from its post-page command
// to our MCF, in both modes.
TEST(FaxInterop, PauseBeforeCfrAndMcf) {
    FaxCall standard, fast;
    fast.receiverOptions = {"--fast"};
    for (FaxCall* call : {&standard, &fast}) call->modem.AddArguments({"--trace-carriers"});
    ASSERT_TRUE(standard.Start({SparsePage(150, 1)}, false, {}));
    ASSERT_TRUE(fast.Start({SparsePage(150, 2)}, false, {"--v17"}));
    standard.Wait();
    fast.Wait();
    ExpectReceived(standard, 9600);
    for (FaxCall* call : {&standard, &fast}) {
        SCOPED_TRACE(call == &fast ? "fast mode" : "standard mode");
        ASSERT_EQ(call->receiverExit, 0) << ReadFile(call->LogPath());
        EXPECT_NE(call->caller->Stdout().find("RESULT fax ok pages=1 rate=" +
                                              std::string(call == &fast ? "14400" : "9600")),
                  std::string::npos)
            << call->caller->Stdout();
        ASSERT_EQ(ReadFile(call->LogPath()).find("发送FTT"), std::string::npos);
        call->modem.Process().Stop(5000);  // its trace is read to the end
        const std::vector<double> gaps = ResponseGaps(call->modem.Process().Stderr());
        ASSERT_GE(gaps.size(), 2u) << call->modem.Process().Stderr();
        std::printf("pause before CFR %.1f ms, before MCF %.1f ms\n", gaps.end()[-2],
                    gaps.end()[-1]);
        EXPECT_NEAR(gaps.end()[-2], 75, 20) << "before CFR";
        EXPECT_NEAR(gaps.end()[-1], 75, 20) << "before MCF";
    }
}

TEST(FaxInterop, OnePageNormalAndOnePageFine) {
    FaxCall normal, fine;
    ASSERT_TRUE(normal.Start({SparsePage(300, 1)}, false, {}));
    ASSERT_TRUE(fine.Start({SparsePage(600, 2)}, true, {}));
    normal.Wait();
    fine.Wait();
    ExpectReceived(normal, 9600);
    ExpectReceived(fine, 9600);
}

// One call per rate, all at once; `snrDb` empty for a clean line.
void RatesWithNoise(const std::vector<int>& rates, const std::string& snrDb) {
    std::vector<FaxCall> calls(rates.size());
    for (size_t i = 0; i < rates.size(); ++i) {
        std::vector<std::string> args = {"--rate", std::to_string(rates[i])};
        if (!snrDb.empty()) args.insert(args.end(), {"--snr", snrDb});
        ASSERT_TRUE(calls[i].Start({SparsePage(150, int(i) + 3)}, false, args));
    }
    for (auto& call : calls) call.Wait();
    for (size_t i = 0; i < rates.size(); ++i) ExpectReceived(calls[i], rates[i]);
}

TEST(FaxInterop, EachRate) { RatesWithNoise({2400, 4800, 7200, 9600}, ""); }

TEST(FaxInterop, LineOfPureNoiseEndsWithAnError) {
    FaxCall call;
    ASSERT_TRUE(call.Start({SparsePage(150, 1)}, false, {"--snr", "0"}));
    call.Wait();
    ExpectCleanFailure(call);
}

// spandsp's sender steps down a rate after each FTT until a training passes; then the page
// arrives (noise may spoil a few rows) and the call ends in success, or it ends with a failure
// number. Neither side hangs.
TEST(FaxInterop, NoisyLinesRetrainAtLowerRates) {
    const std::vector<std::string> snrsDb = {"12", "15", "18"};
    std::vector<FaxCall> calls(snrsDb.size());
    for (size_t i = 0; i < calls.size(); ++i)
        ASSERT_TRUE(calls[i].Start({SparsePage(150, int(i) + 1)}, false, {"--snr", snrsDb[i]}));
    for (auto& call : calls) call.Wait();
    int retrained = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(snrsDb[i] + " dB");
        const std::string log = ReadFile(calls[i].LogPath());
        retrained += log.find("发送FTT") != std::string::npos;
        const std::string said = calls[i].caller->Stdout();
        const size_t rate = said.find("RESULT fax ok pages=1 rate=");
        if (calls[i].receiverExit == 0 && rate != std::string::npos) {
            ExpectReceived(calls[i], std::stoi(said.substr(rate + 27)), 10);
        } else {
            ExpectCleanFailure(calls[i]);
        }
    }
    EXPECT_GT(retrained, 0) << "no call needed FTT: the test lost its point";
}

}  // namespace

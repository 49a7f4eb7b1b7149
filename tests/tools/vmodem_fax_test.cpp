// Class 1 through spandsp's T.31 against spandsp's calling fax machine, in real time.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/modem_harness.h"

namespace {

constexpr char kDle = 0x10;
constexpr char kEtx = 0x03;

// A DIS as a receiver sends it, in transmission order (T.31 frames are sent without the FCS):
// address, control (final), FCF DIS, then FIF: receiver ready, V.27ter and V.29, fine
// resolution, 215 mm, A4.
const std::string kDis = std::string("\xff\x13\x80\x00\x4e\x00", 6);

struct Frame {
    std::string bytes;  // with the two FCS bytes, unshielded
    std::string result;
};

// Reads one received frame: bytes up to DLE ETX, then the result line.
bool ReadFrame(ModemHarness& modem, Frame& frame) {
    std::string raw;
    if (!modem.Expect(std::string{kDle, kEtx}, 10000, &raw)) return false;
    frame.bytes = Unshield(raw, nullptr);
    std::string line;
    if (!modem.Expect("\r\n", 2000) || !modem.Expect("\r\n", 2000, &line)) return false;
    frame.result = line.substr(0, line.size() - 2);
    return true;
}

// Answers a ringing fax call in Class 1, sends DIS and returns the caller's first command frames.
void AnswerAndSendDis(ModemHarness& modem, std::vector<Frame>& frames) {
    ASSERT_TRUE(modem.Expect("\r\nRING\r\n", 3000));
    ASSERT_EQ(modem.Command("AT"), "AT\r\r\nOK\r\n");
    ASSERT_EQ(modem.Command("AT+FCLASS=1"), "AT+FCLASS=1\r\r\nOK\r\n");
    // ATA answers; T.31 starts in V.21 HDLC transmit with CED first.
    ASSERT_EQ(modem.Command("ATA", 10000), "ATA\r\r\nCONNECT\r\n");
    std::string dis = kDis;
    modem.Send(dis + std::string{kDle, kEtx});
    std::string got;
    ASSERT_TRUE(modem.Expect("OK\r\n", 10000, &got)) << "the final frame did not end with OK";
    EXPECT_EQ(got, "\r\nOK\r\n");
    // The caller answers with TSI and DCS (non-final and final frame).
    while (frames.size() < 4) {
        std::string reply = modem.Command("AT+FRH=3", 10000);
        ASSERT_EQ(reply, "AT+FRH=3\r\r\nCONNECT\r\n");
        Frame frame;
        ASSERT_TRUE(ReadFrame(modem, frame));
        frames.push_back(frame);
        if (frame.bytes.size() > 2 && (uint8_t(frame.bytes[1]) & 0x10)) break;
    }
}

uint8_t DcsRateBits(const Frame& dcs) { return uint8_t(dcs.bytes[4]) & 0x3c; }

class VmodemFax : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(modem.Start()); }
    // spandsp's fax machine calling with one page of 200 rows.
    std::unique_ptr<ChildProcess> FaxCaller(std::vector<std::string> args, bool fine = false) {
        std::string tiff = modem.Folder() / "page.tif";
        EXPECT_TRUE(WriteTiff(tiff, {SparsePage(200, 1)}, fine));
        args.insert(args.begin(), {"--fax", tiff});
        return modem.Call(args);
    }

    ModemHarness modem{1000};
};

TEST_F(VmodemFax, AtFclassOneAtaAnswersAFaxCallAndFramesFlow) {
    auto call = FaxCaller({});
    std::vector<Frame> frames;
    AnswerAndSendDis(modem, frames);
    ASSERT_EQ(frames.size(), 2u);
    // TSI "vantoro-call" (sent reversed, padded to 20), then DCS at V.29 9600.
    EXPECT_EQ(frames[0].bytes.substr(0, 3), "\xff\x03\x43");
    EXPECT_NE(frames[0].bytes.find("llac-orotnav"), std::string::npos);
    EXPECT_EQ(frames[0].result, "OK");
    ASSERT_GE(frames[1].bytes.size(), 7u);
    EXPECT_EQ(frames[1].bytes.substr(0, 3), "\xff\x13\x83");
    EXPECT_EQ(DcsRateBits(frames[1]), 0x04);
    EXPECT_EQ(frames[1].result, "OK");
    // Hanging up ends the call; the sender reports the drop.
    EXPECT_EQ(modem.Command("ATH"), "ATH\r\r\nOK\r\n");
    EXPECT_EQ(call->WaitForExit(5000), 0);
    std::vector<std::string> lines = call->StdoutLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("RESULT fax failed code=", 0), 0u) << lines.back();
    // Back to voice for the next call.
    EXPECT_EQ(modem.Command("AT+FCLASS=8"), "AT+FCLASS=8\r\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT+FCLASS?"), "AT+FCLASS?\r\r\n8\r\n\r\nOK\r\n");
}

TEST_F(VmodemFax, RateOptionSetsTheSendersFirstRate) {
    auto call = FaxCaller({"--rate", "4800"}, true);
    std::vector<Frame> frames;
    AnswerAndSendDis(modem, frames);
    ASSERT_FALSE(frames.empty());
    const Frame& dcs = frames.back();
    ASSERT_GE(dcs.bytes.size(), 7u);
    EXPECT_EQ(DcsRateBits(dcs), 0x08) << "V.27ter 4800";
    EXPECT_TRUE(uint8_t(dcs.bytes[4]) & 0x40) << "fine resolution from the TIFF";
    EXPECT_EQ(modem.Command("ATH"), "ATH\r\r\nOK\r\n");
}

TEST_F(VmodemFax, CallerHangingUpDuringClassOneEndsWithNoCarrier) {
    // CED takes about 3.6 s before CONNECT; the caller is gone after 2 s.
    auto call = FaxCaller({"--hangup-after", "2"});
    ASSERT_TRUE(modem.Expect("\r\nRING\r\n", 3000));
    ASSERT_EQ(modem.Command("AT+FCLASS=1"), "AT+FCLASS=1\r\r\nOK\r\n");
    EXPECT_EQ(modem.Command("ATA", 6000), "ATA\r\r\nNO CARRIER\r\n");
    EXPECT_EQ(call->WaitForExit(3000), 0);
    // The modem is on hook again: a new caller rings in Class 1 too.
    auto next = modem.Call({"--give-up-after-rings", "1"});
    EXPECT_TRUE(modem.Expect("\r\nRING\r\n", 3000));
    EXPECT_EQ(next->WaitForExit(3000), 0);
}

TEST_F(VmodemFax, VoiceAnsweredCallTurnsIntoAFaxSession) {
    ASSERT_EQ(modem.Command("ATE0"), "ATE0\r\r\nOK\r\n");
    ASSERT_EQ(modem.Command("AT+FCLASS=8"), "\r\nOK\r\n");
    auto call = FaxCaller({});
    ASSERT_TRUE(modem.Expect("\r\nRING\r\n", 3000));
    ASSERT_EQ(modem.Command("AT+VLS=1"), "\r\nOK\r\n");
    ASSERT_TRUE(modem.Expect(std::string{kDle, 'c'}, 4000));
    ASSERT_EQ(modem.Command("AT+FCLASS=1"), "\r\nOK\r\n");
    ASSERT_EQ(modem.Command("ATA", 10000), "\r\nCONNECT\r\n");
    modem.Send(kDis + std::string{kDle, kEtx});
    ASSERT_TRUE(modem.Expect("\r\nOK\r\n", 10000));
    ASSERT_EQ(modem.Command("AT+FRH=3", 10000), "\r\nCONNECT\r\n");
    Frame frame;
    ASSERT_TRUE(ReadFrame(modem, frame));
    EXPECT_EQ(frame.bytes.substr(0, 2), "\xff\x03");
    EXPECT_EQ(modem.Command("ATH"), "\r\nOK\r\n");
    EXPECT_EQ(call->WaitForExit(5000), 0);
}

TEST_F(VmodemFax, TelephoneTakesTheCallAndClassOneAtaJoinsIt) {
    auto call = FaxCaller({"--handset-after-rings", "1", "--no-cng"});
    ASSERT_TRUE(modem.Expect("\r\nRING\r\n", 3000));
    // No more rings, no calling tone; a modem reset leaves the telephone's call alone.
    std::string quiet = modem.ReadFor(2500);
    EXPECT_EQ(quiet.find("RING"), std::string::npos);
    EXPECT_EQ(modem.Command("ATZ"), "ATZ\r\r\nOK\r\n");
    ASSERT_EQ(modem.Command("AT+FCLASS=8"), "AT+FCLASS=8\r\r\nOK\r\n");
    quiet = modem.ReadFor(4500);
    EXPECT_EQ(quiet.find(std::string{kDle, 'c'}), std::string::npos);
    ASSERT_EQ(modem.Command("AT+FCLASS=1"), "AT+FCLASS=1\r\r\nOK\r\n");
    ASSERT_EQ(modem.Command("ATA", 10000), "ATA\r\r\nCONNECT\r\n");
    modem.Send(kDis + std::string{kDle, kEtx});
    ASSERT_TRUE(modem.Expect("\r\nOK\r\n", 10000));
    ASSERT_EQ(modem.Command("AT+FRH=3", 10000), "AT+FRH=3\r\r\nCONNECT\r\n");
    Frame frame;
    ASSERT_TRUE(ReadFrame(modem, frame));
    EXPECT_EQ(frame.bytes.substr(0, 3), "\xff\x03\x43") << "TSI";
    EXPECT_EQ(modem.Command("ATH"), "ATH\r\r\nOK\r\n");
    EXPECT_EQ(call->WaitForExit(5000), 0);
}

// Counts EOL codes (eleven or more zeros, then a one) in Class 1 page data, first bit = LSB.
int CountEols(const std::string& data) {
    int zeros = 0;
    int eols = 0;
    for (char byte : data) {
        for (int bit = 0; bit < 8; ++bit) {
            if ((uint8_t(byte) >> bit) & 1) {
                if (zeros >= 11) ++eols;
                zeros = 0;
            } else {
                ++zeros;
            }
        }
    }
    return eols;
}

// A receiver scripted after T.30: DIS, DCS, TCF, CFR, page, EOP, MCF, DCN.
void ReceiveOnePage(ModemHarness& modem, int modulation, std::string& tcf, std::string& page) {
    std::vector<Frame> frames;
    AnswerAndSendDis(modem, frames);
    ASSERT_FALSE(frames.empty());
    ASSERT_EQ(uint8_t(frames.back().bytes[2]) & 0xfe, 0x82) << "no DCS";
    std::string frm = "AT+FRM=" + std::to_string(modulation);
    ASSERT_EQ(modem.Command(frm, 10000), frm + "\r\r\nCONNECT\r\n");
    std::string raw;
    ASSERT_TRUE(modem.Expect(std::string{kDle, kEtx}, 10000, &raw));
    tcf = Unshield(raw, nullptr);
    ASSERT_TRUE(modem.Expect("\r\nNO CARRIER\r\n", 5000));
    ASSERT_EQ(modem.Command("AT+FTH=3", 10000), "AT+FTH=3\r\r\nCONNECT\r\n");
    modem.Send(std::string("\xff\x13\x84", 3) + std::string{kDle, kEtx});  // CFR
    ASSERT_TRUE(modem.Expect("\r\nOK\r\n", 10000));
    ASSERT_EQ(modem.Command(frm, 10000), frm + "\r\r\nCONNECT\r\n");
    ASSERT_TRUE(modem.Expect(std::string{kDle, kEtx}, 60000, &raw));
    page = Unshield(raw, nullptr);
    ASSERT_TRUE(modem.Expect("\r\nNO CARRIER\r\n", 5000));
    ASSERT_EQ(modem.Command("AT+FRH=3", 10000), "AT+FRH=3\r\r\nCONNECT\r\n");
    Frame eop;
    ASSERT_TRUE(ReadFrame(modem, eop));
    ASSERT_EQ(uint8_t(eop.bytes[2]) & 0xfe, 0x2e) << "no EOP";
    ASSERT_EQ(modem.Command("AT+FTH=3", 10000), "AT+FTH=3\r\r\nCONNECT\r\n");
    modem.Send(std::string("\xff\x13\x8c", 3) + std::string{kDle, kEtx});  // MCF
    ASSERT_TRUE(modem.Expect("\r\nOK\r\n", 10000));
    ASSERT_EQ(modem.Command("AT+FRH=3", 10000), "AT+FRH=3\r\r\nCONNECT\r\n");
    Frame dcn;
    ASSERT_TRUE(ReadFrame(modem, dcn));
    EXPECT_EQ(uint8_t(dcn.bytes[2]) & 0xfe, 0xfa) << "no DCN";
    EXPECT_EQ(modem.Command("ATH"), "ATH\r\r\nOK\r\n");
}

TEST_F(VmodemFax, OnePageReachesAScriptedReceiverOverNoise) {
    // V.29 7200 with noise.
    auto call = FaxCaller({"--rate", "7200", "--snr", "30"});
    std::string tcf;
    std::string page;
    ReceiveOnePage(modem, 72, tcf, page);
    // TCF is 1.5 s of zeros; at 7200 bit/s 1350 bytes, give or take the carrier edges.
    EXPECT_GE(tcf.size(), 1300u);
    EXPECT_GE(std::count(tcf.begin(), tcf.end(), '\0'), 1300);
    // 200 rows, each behind an EOL, then RTC (six EOLs).
    int eols = CountEols(page);
    EXPECT_GE(eols, 200);
    EXPECT_LE(eols, 210);
    EXPECT_EQ(call->WaitForExit(5000), 0);
    std::vector<std::string> lines = call->StdoutLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "RESULT fax ok pages=1 rate=7200");
}

}  // namespace

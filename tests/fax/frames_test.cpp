#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>

#include "platform/clock.h"
#include "tests/fax/fax_fixture.h"

namespace faxtest {
namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kConnect = "\r\nCONNECT\r\n";

using Frames = FaxFixture;

TEST(ReverseBits, KnownValues) {
    EXPECT_EQ(CFaxReceiver::ReverseBits(0xC0), 0x03);
    EXPECT_EQ(CFaxReceiver::ReverseBits(0xC8), 0x13);
    EXPECT_EQ(CFaxReceiver::ReverseBits(0x01), 0x80);
    EXPECT_EQ(CFaxReceiver::ReverseBits(0x72), 0x4E);
    EXPECT_EQ(CFaxReceiver::ReverseBits(0x10), 0x08);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(CFaxReceiver::ReverseBits(CFaxReceiver::ReverseBits(static_cast<uint8_t>(b))), b);
    }
}

TEST_F(Frames, DisBytes) {
    rx->m_bAnswerRole = 1;
    rx->m_bTxReady = 1;
    modem.Start({{Bytes({0xFF, 0x13, 0x80, 0x00, 0x4E, 0x08, 0x10, 0x03}), kOk}});
    EXPECT_EQ(rx->SendDIS(), kResultOk);
    EXPECT_EQ(rx->m_bTxReady, 0);
    modem.Finish();
    EXPECT_TRUE(modem.Completed()) << modem.Failure();
}

TEST_F(Frames, CsiWithEmptyIdentifierIsTwentySpaces) {
    rx->m_bAnswerRole = 1;
    rx->m_bTxReady = 1;
    modem.Start({{Bytes({0xFF, 0x03, 0x40}) + Repeat(' ', 20) + Bytes({0x10, 0x03}), kConnect}});
    EXPECT_EQ(rx->SendCSI(), kResultOk);
    EXPECT_EQ(rx->m_bTxReady, 1);  // the next frame goes out without AT+FTH=3
    modem.Finish();
    EXPECT_TRUE(modem.Completed()) << modem.Failure();
}

TEST_F(Frames, CsiCarriesTheIdentifierLastCharacterFirst) {
    rx->m_bAnswerRole = 1;
    rx->m_bTxReady = 1;
    rx->m_strLocalId = "12-34+5";
    modem.Start({{Bytes({0xFF, 0x03, 0x40}) + "5+4321" + Repeat(' ', 14) + Bytes({0x10, 0x03}), kConnect}});
    EXPECT_EQ(rx->SendCSI(), kResultOk);
    modem.Finish();
    EXPECT_TRUE(modem.Completed()) << modem.Failure();
}

TEST_F(Frames, FrameOutsideTheAnswerRoleSetsTheXBit) {
    rx->m_bAnswerRole = 0;  // CFR with the X bit is 0xA1, 0x85 on the line
    g_nCarrierMode = kCarrierDataReceive;
    modem.Start({{"AT+FTH=3\r", kConnect}, {Bytes({0xFF, 0x13, 0x85, 0x10, 0x03}), kOk}});
    EXPECT_EQ(rx->SendFrame(FrameFinal::Yes, kFcfCfr, 0), kResultOk);
    modem.Finish();
    EXPECT_TRUE(modem.Completed()) << modem.Failure();
}

TEST_F(Frames, ReceivedFrameLengthAndContent) {
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{"AT+FRH=3\r", kConnect + ModemFrame({0xFF, 0xC8, 0x41, 0x00, 0x60, 0x00}) + kOk}});
    EXPECT_EQ(rx->ReceiveFrame(), kResultOk);
    EXPECT_EQ(rx->m_nFrameLen, 10u);
    EXPECT_EQ(rx->m_frame[0], 0xFF);
    EXPECT_EQ(rx->m_frame[1], 0xC8);
    EXPECT_EQ(rx->m_frame[2], 0x41);
    EXPECT_EQ(rx->m_frame[4], 0x60);
    EXPECT_EQ(rx->m_frame[8], 0x10);
    EXPECT_EQ(rx->m_frame[9], 0x03);
}

TEST_F(Frames, DoubledDleInTheCheckSequenceIsStoredOnce) {
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{"AT+FRH=3\r", kConnect + ModemFrame({0xFF, 0xC8, 0x41, 0x00, 0x60, 0x00}, "\x10\x03") + kOk}});
    EXPECT_EQ(rx->ReceiveFrame(), kResultOk);
    ASSERT_EQ(rx->m_nFrameLen, 10u);
    // The check bytes stay in modem order; only DLE ETX ends the frame.
    EXPECT_EQ(rx->m_frame[6], CFaxReceiver::ReverseBits(0x10));
    EXPECT_EQ(rx->m_frame[7], CFaxReceiver::ReverseBits(0x03));
}

TEST_F(Frames, BadCheckSequenceIsTheAlternative) {
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{"AT+FRH=3\r", kConnect + ModemFrame({0xFF, 0xC8, 0x41, 0x00, 0x60, 0x00}) + "\r\nERROR\r\n"}});
    EXPECT_EQ(rx->ReceiveFrame(), kResultAlternative);
}

TEST_F(Frames, FrameTooShortForACheckSequenceIsRefused) {
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{"AT+FRH=3\r", kConnect + Bytes({0xFF, 0x13, 0x10, 0x03}) + kOk}});
    EXPECT_EQ(rx->ReceiveFrame(), kResultAlternative);
}

TEST_F(Frames, ResultTextInsteadOfAFrame) {
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{"AT+FRH=3\r", kConnect + kOk}});
    EXPECT_EQ(rx->ReceiveFrame(), kResultText);
    EXPECT_EQ(rx->m_pComm->m_nRxLen, 0u);
}

TEST_F(Frames, NoCarrierAtTheModeSwitch) {
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{"AT+FRH=3\r", "\r\nNO CARRIER\r\n"}});
    EXPECT_EQ(rx->ReceiveFrame(), kResultAlternative);
}

TEST_F(Frames, FrameWithoutEndTimesOut) {
    modem.Start({{"", Bytes({0xFF, 0x13, 0x80})}});
    uint32_t start = platform::TickCountMs();
    EXPECT_EQ(rx->ReceiveFrameBytes(), kResultTimeout);
    EXPECT_GE(platform::TickCountMs() - start, kFrameTimeoutMs);
}

TEST_F(Frames, FrameOverflowAt256Bytes) {
    modem.Start({{"", "\xFF" + Repeat('\x55', 300)}});
    EXPECT_EQ(rx->ReceiveFrameBytes(), kResultOverflow);
}

// Zeros of a TCF at 9600 bit/s, closed by the modem's DLE ETX and NO CARRIER, after CONNECT's LF.
int TrainingWith(FaxFixture& test, ScriptedModem& modem, CFaxReceiver& rx, size_t zeros) {
    rx.m_nModulation = 96;
    modem.Start({{"", "\n" + Repeat('\0', zeros) + "\x10\x03\r\nNO CARRIER\r\n"}});
    int result = rx.CheckTraining();
    (void)test;
    return result;
}

TEST_F(Frames, TrainingOf1619ZerosPasses) { EXPECT_EQ(TrainingWith(*this, modem, *rx, 1619), kResultOk); }
TEST_F(Frames, TrainingOf1618ZerosFails) { EXPECT_EQ(TrainingWith(*this, modem, *rx, 1618), kResultTimeout); }
TEST_F(Frames, TrainingOf1979ZerosPasses) { EXPECT_EQ(TrainingWith(*this, modem, *rx, 1979), kResultOk); }
TEST_F(Frames, TrainingOf1980ZerosFails) { EXPECT_EQ(TrainingWith(*this, modem, *rx, 1980), kResultTimeout); }

TEST_F(Frames, TrainingLeavesTheCarrierEndForTheNextWait) {
    EXPECT_EQ(TrainingWith(*this, modem, *rx, 1800), kResultOk);
    EXPECT_EQ(rx->WaitResponse("NO CARRIER", "ERROR", 2000, ClearAll::Yes), kResultOk);
}

TEST_F(Frames, TrainingWindowsAtEveryRate) {
    const int rates[] = {24, 48, 72, 96};
    const int lower[] = {405, 810, 1215, 1620};
    const int upper[] = {495, 990, 1485, 1980};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(1350 * rates[i] / 80, lower[i]);
        EXPECT_EQ(1650 * rates[i] / 80, upper[i]);
    }
}

TEST_F(Frames, TrainingThatNeverEndsTimesOut) {
    rx->m_nModulation = 96;
    modem.Start({{"", Repeat('\0', 500)}});
    EXPECT_EQ(rx->CheckTraining(), kResultTimeout);
}

class PageData : public FaxFixture {
protected:
    void SetUp() override {
        FaxFixture::SetUp();
        pagePath = TempPath("page.raw");
        rx->m_filePage = open(pagePath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(rx->m_filePage, 0);
    }
    std::string pagePath;
};

TEST_F(PageData, DleDoublingAndEnd) {
    modem.Start({{"", Bytes({0x12, 0x10, 0x10, 0x34, 0x10, 0x03})}});
    EXPECT_EQ(rx->ReceivePageData(), kResultOk);
    EXPECT_EQ(rx->m_nDataBytes, 3u);
    EXPECT_EQ(ReadFile(pagePath), Bytes({0x48, 0x08, 0x2C}));
}

TEST_F(PageData, LineFeedAfterConnectIsTheFirstByte) {
    modem.Start({{"", "\n" + ModemData(Bytes({0x01}))}});
    EXPECT_EQ(rx->ReceivePageData(), kResultOk);
    EXPECT_EQ(ReadFile(pagePath), Bytes({0x50, 0x80}));
}

TEST_F(PageData, LongPageInBlocks) {
    std::string data;
    for (size_t i = 0; i < 200000; ++i) data.push_back(static_cast<char>((i * 7) & 0xFF));
    std::string expected;
    for (char c : data) expected.push_back(static_cast<char>(Reverse(static_cast<uint8_t>(c))));
    modem.Start({{"", ModemData(data)}});
    EXPECT_EQ(rx->ReceivePageData(), kResultOk);
    EXPECT_EQ(rx->m_nDataBytes, 200000u);
    EXPECT_TRUE(ReadFile(pagePath) == expected);
}

TEST_F(PageData, CancelDuringThePage) {
    modem.Start({{"", Repeat('\x11', 100), 0, [this] { platform::PostToUiThread([this] { rx->m_bCancel = 1; }); }}});
    EXPECT_EQ(rx->ReceivePageData(), kResultCancelled);
}

TEST_F(PageData, ModemThatStopsSendingEndsThePage) {
    rx->m_nPageSilenceTimeoutMs = 700;
    modem.Start({{"", Repeat('\x11', 100)}});
    uint32_t start = platform::TickCountMs();
    EXPECT_EQ(rx->ReceivePageData(), kResultTimeout);
    EXPECT_GE(platform::TickCountMs() - start, 700u);
    EXPECT_EQ(LogTexts(), std::vector<std::string>{"页面数据超时"});
}

TEST_F(PageData, VanishedDeviceEndsThePage) {
    modem.Start({{"", Repeat('\x11', 100), 50, [this] { modem.CloseMaster(); }}});
    uint32_t start = platform::TickCountMs();
    EXPECT_EQ(rx->ReceivePageData(), kResultTimeout);
    EXPECT_LT(platform::TickCountMs() - start, 5000u);
}

TEST_F(PageData, FailedFileWriteIsReported) {
    // A file size limit makes the file system refuse the page's bytes.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = 10;
    setrlimit(RLIMIT_FSIZE, &limited);
    modem.Start({{"", ModemData(Repeat('\x22', 100))}});
    int result = rx->ReceivePageData();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(result, kResultFileWrite);
}

}  // namespace
}  // namespace faxtest

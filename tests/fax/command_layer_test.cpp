#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>

#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/serial_port.h"
#include "tests/fax/fax_fixture.h"

namespace faxtest {
namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";
const std::string kConnect = "\r\nCONNECT\r\n";

using CommandLayer = FaxFixture;

bool AllZero(const uint8_t* data, size_t count) {
    return std::all_of(data, data + count, [](uint8_t b) { return b == 0; });
}

TEST_F(CommandLayer, EchoedCommandIsSkipped) {
    modem.Start({{"", "AT\r" + kOk}});
    EXPECT_EQ(rx->WaitResponse("OK", "ERROR", 2000, ClearAll::Yes), kResultOk);
    EXPECT_EQ(rx->m_pComm->m_nRxLen, 0u);
}

TEST_F(CommandLayer, FcErrorCountsAsError) {
    modem.Start({{"", "\r\n+FCERROR\r\n"}});
    EXPECT_EQ(rx->WaitResponse("CONNECT", "ERROR", 2000, ClearAll::No), kResultAlternative);
}

TEST_F(CommandLayer, NoCarrierIsTheAlternativeAndPurges) {
    modem.Start({{"", "\r\nNO CARRIER\r\nleftover bytes"}});
    EXPECT_EQ(rx->WaitResponse("CONNECT", "NO CARRIER", 2000, ClearAll::No), kResultAlternative);
    EXPECT_EQ(platform::SerialQueuedBytes(rx->m_pComm->m_hComm), 0);
}

TEST_F(CommandLayer, OtherLinesAreBlankedUntilTheTimeOut) {
    modem.Start({{"", "\r\nRING\r\n"}});
    uint32_t start = platform::TickCountMs();
    EXPECT_EQ(rx->WaitResponse("OK", "ERROR", 400, ClearAll::Yes), kResultTimeout);
    EXPECT_GE(platform::TickCountMs() - start, 400u);
    // "\r\nRING\r" blanked; the LF that followed is all that is left.
    ASSERT_EQ(rx->m_pComm->m_nRxLen, 8u);
    EXPECT_TRUE(AllZero(rx->m_pComm->m_pRxBuf.get(), 7));
    EXPECT_EQ(rx->m_pComm->m_pRxBuf[7], '\n');
}

TEST_F(CommandLayer, LateMatchAfterABlankedLine) {
    modem.Start({{"", "\r\nRING\r\n"}, {"", kOk, 100}});
    EXPECT_EQ(rx->WaitResponse("OK", "ERROR", 2000, ClearAll::Yes), kResultOk);
}

TEST_F(CommandLayer, ClearAllEmptiesTheAccumulator) {
    modem.Start({{"", kConnect}});
    EXPECT_EQ(rx->WaitResponse("CONNECT", "NO CARRIER", 2000, ClearAll::Yes), kResultOk);
    EXPECT_EQ(rx->m_pComm->m_nRxLen, 0u);
}

TEST_F(CommandLayer, WithoutClearAllTheLineIsZeroedAndTheLfStaysQueued) {
    modem.Start({{"", kConnect}});
    EXPECT_EQ(rx->WaitResponse("CONNECT", "NO CARRIER", 2000, ClearAll::No), kResultOk);
    ASSERT_EQ(rx->m_pComm->m_nRxLen, 10u);  // CR LF CONNECT CR
    EXPECT_TRUE(AllZero(rx->m_pComm->m_pRxBuf.get(), 10));
    EXPECT_EQ(platform::SerialQueuedBytes(rx->m_pComm->m_hComm), 1);
}

TEST_F(CommandLayer, FullAccumulatorEndsTheWait) {
    modem.Start({{"", Repeat('x', 3100)}});
    EXPECT_EQ(rx->WaitResponse("OK", "ERROR", 10000, ClearAll::No), kResultOverflow);
    EXPECT_EQ(rx->m_pComm->m_nRxLen, 0u);
}

TEST_F(CommandLayer, CancelIsNoticedWithinOnePass) {
    modem.Send(Repeat('z', 50));
    for (int i = 0; i < 200 && platform::SerialQueuedBytes(rx->m_pComm->m_hComm) < 50; ++i) usleep(5000);
    // Two messages of nothing, then the stop: exactly two passes, two bytes.
    platform::PostToUiThread([] {});
    platform::PostToUiThread([] {});
    platform::PostToUiThread([this] { rx->m_bCancel = 1; });
    EXPECT_EQ(rx->WaitResponse("OK", "ERROR", 2000, ClearAll::No), kResultCancelled);
    EXPECT_EQ(rx->m_pComm->m_nRxLen, 2u);
    EXPECT_EQ(platform::SerialQueuedBytes(rx->m_pComm->m_hComm), 0);  // purged
}

TEST_F(CommandLayer, CancelFromAnotherThreadWakesTheWait) {
    modem.Start({{"", "", 200, [this] { platform::PostToUiThread([this] { rx->m_bCancel = 1; }); }}});
    uint32_t start = platform::TickCountMs();
    EXPECT_EQ(rx->WaitResponse("OK", "ERROR", 20000, ClearAll::Yes), kResultCancelled);
    EXPECT_LT(platform::TickCountMs() - start, 5000u);
}

TEST_F(CommandLayer, SilentModemWaitDoesNotSpin) {
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    EXPECT_EQ(rx->WaitResponse("OK", "ERROR", 1500, ClearAll::Yes), kResultTimeout);
    getrusage(RUSAGE_THREAD, &after);
    double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) + (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                 ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) + (after.ru_stime.tv_usec - before.ru_stime.tv_usec)) / 1e6;
    EXPECT_LT(cpu, 0.3) << "a 1.5 s wait used " << cpu << " s of CPU";
}

TEST_F(CommandLayer, VanishedModemEndsTheWaitAtOnce) {
    modem.CloseMaster();
    uint32_t start = platform::TickCountMs();
    EXPECT_EQ(rx->WaitResponse("OK", "ERROR", 20000, ClearAll::Yes), kResultTimeout);
    EXPECT_LT(platform::TickCountMs() - start, 2000u);
}

TEST_F(CommandLayer, InitModemProbesThreeTimesOnError) {
    modem.Start({{"AT\r", kError}, {"AT\r", kError}, {"AT\r", kError}});
    EXPECT_EQ(rx->InitModem(), kResultAlternative);
    modem.Finish();
    EXPECT_TRUE(modem.Completed()) << modem.Failure();
    EXPECT_EQ(modem.Received(), "AT\rAT\rAT\r");
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"at begin", "atat", "atat", "atat", "at end"}));
}

TEST_F(CommandLayer, InitModemWithoutClassOne) {
    modem.Start({{"AT\r", kOk}, {"AT+FCLASS=1\r", kError}});
    EXPECT_EQ(rx->InitModem(), kResultAlternative);
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"at begin", "atat", "at end"}));
}

TEST_F(CommandLayer, InitModemSecondProbeAnswers) {
    modem.Start({{"AT\r", ""}, {"AT\r", kOk}, {"AT+FCLASS=1\r", kOk}});
    EXPECT_EQ(rx->InitModem(), kResultOk);
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"at begin", "atat", "atat", "at end", "class"}));
}

TEST_F(CommandLayer, HdlcReceiveAfterAnswerSendsNothing) {
    rx->m_bTxReady = 1;
    EXPECT_EQ(rx->EnterHdlcMode(Direction::Receive), kResultOk);
    EXPECT_EQ(rx->m_bTxReady, 0);
    modem.Finish();
    EXPECT_EQ(modem.Received(), "");
}

TEST_F(CommandLayer, HdlcReceiveAfterTransmitSendsSilenceFirst) {
    g_nCarrierMode = kCarrierHdlcTransmit;
    modem.Start({{"AT+FTS=8\r", kOk}, {"AT+FRH=3\r", kConnect}});
    EXPECT_EQ(rx->EnterHdlcMode(Direction::Receive), kResultOk);
    EXPECT_EQ(g_nCarrierMode, kCarrierHdlcReceive);
    modem.Finish();
    EXPECT_EQ(modem.Received(), "AT+FTS=8\rAT+FRH=3\r");
}

TEST_F(CommandLayer, HdlcTransmitAfterDataReceiveHasNoSilence) {
    g_nCarrierMode = kCarrierDataReceive;
    modem.Start({{"AT+FTH=3\r", kConnect}});
    EXPECT_EQ(rx->EnterHdlcMode(Direction::Transmit), kResultOk);
    EXPECT_EQ(g_nCarrierMode, kCarrierHdlcTransmit);
    modem.Finish();
    EXPECT_EQ(modem.Received(), "AT+FTH=3\r");
}

TEST_F(CommandLayer, HdlcTransmitAfterReceiveSendsSilenceEvenWithoutItsOk) {
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{"AT+FTS=8\r", ""}, {"AT+FTH=3\r", "\r\nNO CARRIER\r\n"}});
    EXPECT_EQ(rx->EnterHdlcMode(Direction::Transmit), kResultAlternative);
    modem.Finish();
    EXPECT_EQ(modem.Received(), "AT+FTS=8\rAT+FTH=3\r");
}

TEST_F(CommandLayer, SameDirectionNeedsNoSilence) {
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{"AT+FRH=3\r", kConnect}});
    EXPECT_EQ(rx->EnterHdlcMode(Direction::Receive), kResultOk);
    modem.Finish();
    EXPECT_EQ(modem.Received(), "AT+FRH=3\r");
}

TEST_F(CommandLayer, DataReceiveFormatsTheModulation) {
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{"AT+FRM=96\r", kConnect}});
    EXPECT_EQ(rx->EnterDataMode(Direction::Receive, 96), kResultOk);
    EXPECT_EQ(g_nCarrierMode, kCarrierDataReceive);
    EXPECT_STREQ(rx->m_szCommand, "AT+FRM=96");
    modem.Finish();
    EXPECT_EQ(modem.Received(), "AT+FRM=96\r");
}

TEST_F(CommandLayer, DataTransmitAfterHdlcReceiveSendsSilence) {
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{"AT+FTS=8\r", kOk}, {"AT+FTM=24\r", kConnect}});
    EXPECT_EQ(rx->EnterDataMode(Direction::Transmit, 24), kResultOk);
    EXPECT_EQ(g_nCarrierMode, kCarrierDataTransmit);
}

TEST_F(CommandLayer, CommandWriteFailureIsMinusThree) {
    rx->m_pComm->Close();
    g_nCarrierMode = kCarrierHdlcReceive;
    EXPECT_EQ(rx->EnterHdlcMode(Direction::Receive), kResultWriteFailed);
    EXPECT_EQ(rx->EnterDataMode(Direction::Receive, 96), kResultWriteFailed);
    EXPECT_EQ(rx->InitModem(), kResultWriteFailed);
}

}  // namespace
}  // namespace faxtest

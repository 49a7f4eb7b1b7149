// Result waits and modem initialisation against scripted modem transcripts; the carrier switches
// run in the session transcripts.
#include <gtest/gtest.h>

#include <optional>

#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/serial_port.h"
#include "tests/fax/fax_fixture.h"

namespace faxtest {
namespace {

struct WaitRow {
    const char* name;
    std::vector<Step> script;  // what the modem says, unprompted
    const char* wanted;
    const char* alternative;
    ClearAll clear;
    uint32_t timeoutMs;
    int result;
    std::optional<std::string> accumulator;  // what is left in it afterwards
    long queued;                             // bytes still queued at the port, -1: any
};
void PrintTo(const WaitRow& row, std::ostream* out) { *out << row.name; }

// clang-format off
const WaitRow kWaits[] = {
    {"FcErrorCountsAsError", {{"", "\r\n+FCERROR\r\n"}}, "CONNECT", "ERROR", ClearAll::No, 2000,
     kResultAlternative, std::nullopt, -1},
    {"NoCarrierIsTheAlternativeAndPurges", {{"", kNoCarrier + "leftover bytes"}}, "CONNECT",
     "NO CARRIER", ClearAll::No, 2000, kResultAlternative, std::nullopt, 0},
    // The line is zeroed, and the LF that ends it stays queued for the next reader.
    {"WithoutClearAllTheLineIsZeroed", {{"", kConnect}}, "CONNECT", "NO CARRIER", ClearAll::No,
     2000, kResultOk, std::string(10, '\0'), 1},
    // "\r\nRING\r" blanked; the LF that followed is all that is left.
    {"OtherLinesAreBlankedUntilTheTimeOut", {{"", "\r\nRING\r\n"}}, "OK", "ERROR", ClearAll::Yes,
     400, kResultTimeout, std::string(7, '\0') + "\n", -1},
    {"LateMatchAfterABlankedLine", {{"", "\r\nRING\r\n"}, {"", kOk, 100}}, "OK", "ERROR",
     ClearAll::Yes, 2000, kResultOk, "", -1},
    {"FullAccumulatorEndsTheWait", {{"", std::string(3100, 'x')}}, "OK", "ERROR", ClearAll::No,
     10000, kResultOverflow, "", -1},
};
// clang-format on

class WaitResponse : public FaxFixture, public ::testing::WithParamInterface<WaitRow> {};

TEST_P(WaitResponse, Table) {
    const WaitRow& row = GetParam();
    modem.Start(row.script);
    const uint32_t start = platform::TickCountMs();
    EXPECT_EQ(rx->WaitResponse(row.wanted, row.alternative, row.timeoutMs, row.clear), row.result);
    if (row.result == kResultTimeout) {
        EXPECT_GE(platform::TickCountMs() - start, row.timeoutMs);
    }
    const CCommPort& port = *rx->m_pComm;
    if (row.accumulator) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(port.m_pRxBuf.get()), port.m_nRxLen),
                  *row.accumulator);
    }
    if (row.queued >= 0) {
        EXPECT_EQ(platform::SerialQueuedBytes(port.Handle()), row.queued);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, WaitResponse, ::testing::ValuesIn(kWaits), RowName());

using CommandLayer = FaxFixture;

TEST_F(CommandLayer, CancelIsNoticedWithinOnePass) {
    modem.Send(std::string(50, 'z'));
    for (int i = 0; i < 200 && platform::SerialQueuedBytes(rx->m_pComm->Handle()) < 50; ++i)
        usleep(5000);
    // Two messages of nothing, then the stop: exactly two passes, two bytes.
    platform::PostToUiThread([] {});
    platform::PostToUiThread([] {});
    platform::PostToUiThread([this] { rx->m_bCancel = 1; });
    EXPECT_EQ(rx->WaitResponse("OK", "ERROR", 2000, ClearAll::No), kResultCancelled);
    EXPECT_EQ(rx->m_pComm->m_nRxLen, 2u);
    EXPECT_EQ(platform::SerialQueuedBytes(rx->m_pComm->Handle()), 0);  // purged
}

TEST_F(CommandLayer, CommandWriteFailureIsMinusThree) {
    rx->m_pComm->Close();
    g_nCarrierMode = kCarrierHdlcReceive;
    EXPECT_EQ(rx->EnterHdlcMode(Direction::Receive), kResultWriteFailed);
    EXPECT_EQ(rx->EnterDataMode(Direction::Receive, 96), kResultWriteFailed);
    EXPECT_EQ(rx->InitModem(), kResultWriteFailed);
}

struct InitRow {
    const char* name;
    std::vector<Step> script;
    int result;
    std::vector<std::string> log;
};
void PrintTo(const InitRow& row, std::ostream* out) { *out << row.name; }

// clang-format off
const InitRow kInits[] = {
    {"ProbesThreeTimesOnError", {{"AT\r", kError}, {"AT\r", kError}, {"AT\r", kError}},
     kResultAlternative, {"at begin", "atat", "atat", "atat", "at end"}},
    {"WithoutClassOne", {{"AT\r", kOk}, {"AT+FCLASS=1\r", kError}}, kResultAlternative,
     {"at begin", "atat", "at end"}},
    {"SecondProbeAnswers", {{"AT\r", ""}, {"AT\r", kOk}, {"AT+FCLASS=1\r", kOk}}, kResultOk,
     {"at begin", "atat", "atat", "at end", "class"}},
};
// clang-format on

class InitModem : public FaxFixture, public ::testing::WithParamInterface<InitRow> {};

TEST_P(InitModem, Table) {
    ExpectExactly(GetParam().script, [this] { EXPECT_EQ(rx->InitModem(), GetParam().result); });
    EXPECT_EQ(LogTexts(), GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(Rows, InitModem, ::testing::ValuesIn(kInits), RowName());

}  // namespace
}  // namespace faxtest

// Received HDLC frames, the training check and page data against scripted modem transcripts;
// the frames we send are in the session transcripts.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/fax/fax_fixture.h"

namespace faxtest {
namespace {

const std::vector<uint8_t> kDcsWritten = {0xFF, 0xC8, 0x41, 0x00, 0x60, 0x00};

struct ReceivedRow {
    const char* name;
    bool command;  // AT+FRH=3 first (ReceiveFrame), else the bytes alone (ReceiveFrameBytes)
    std::string reply;
    int result;
    std::string frame;  // m_frame afterwards: written order, check bytes, DLE ETX
};
void PrintTo(const ReceivedRow& row, std::ostream* out) { *out << row.name; }

// clang-format off
const ReceivedRow kReceived[] = {
    // A doubled DLE in the check sequence is stored once; only DLE ETX ends the frame.
    {"DoubledDleInTheCheckSequenceIsStoredOnce", true,
     kConnect + ModemFrame(kDcsWritten, kDleEtx) + kOk, kResultOk,
     Bytes({0xFF, 0xC8, 0x41, 0x00, 0x60, 0x00, 0x08, 0xC0, 0x10, 0x03})},
    {"BadCheckSequenceIsTheAlternative", true, kConnect + ModemFrame(kDcsWritten) + "\r\nERROR\r\n",
     kResultAlternative, ""},
    {"FrameTooShortForACheckSequenceIsRefused", true,
     kConnect + Bytes({0xFF, 0x13}) + kDleEtx + kOk, kResultAlternative, ""},
    {"ResultTextInsteadOfAFrame", true, kConnect + kOk, kResultText, ""},
    {"FrameWithoutEndTimesOut", false, Bytes({0xFF, 0x13, 0x80}), kResultTimeout, ""},
    {"FrameOverflowAt256Bytes", false, "\xFF" + std::string(300, '\x55'), kResultOverflow, ""},
    // Inside a frame CR LF is data, not the end of a result line.
    {"CrLfInTheCheckSequenceIsData", true, kConnect + ModemFrame(kDcsWritten, "\r\n") + kOk,
     kResultOk, Bytes({0xFF, 0xC8, 0x41, 0x00, 0x60, 0x00, 0xB0, 0x50, 0x10, 0x03})},
};
// clang-format on

class ReceivedFrames : public FaxFixture, public ::testing::WithParamInterface<ReceivedRow> {};

TEST_P(ReceivedFrames, Table) {
    const ReceivedRow& row = GetParam();
    g_nCarrierMode = kCarrierHdlcReceive;
    modem.Start({{row.command ? "AT+FRH=3\r" : "", row.reply}});
    const uint32_t start = platform::TickCountMs();
    EXPECT_EQ(row.command ? rx->ReceiveFrame() : rx->ReceiveFrameBytes(), row.result);
    if (row.result == kResultTimeout) {
        EXPECT_GE(platform::TickCountMs() - start, rx->m_timeouts.frameMs);
    }
    if (!row.frame.empty()) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(rx->m_frame), rx->m_nFrameLen),
                  row.frame);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReceivedFrames, ::testing::ValuesIn(kReceived), RowName());

// TCF zeros after CONNECT's LF, closed by DLE ETX and NO CARRIER: 1.35 to 1.65 s of zeros pass.
// Either way the modem ends up back in command state, a failed check's carrier cut off with CAN
// when it does not end by itself.
struct TrainingRow {
    const char* name;
    int modulation;
    std::vector<Step> script;
    int result;
};
void PrintTo(const TrainingRow& row, std::ostream* out) { *out << row.name; }

std::vector<Step> Tcf(size_t zeros, const std::string& noise = "") {
    return {{"", "\n" + noise + std::string(zeros, '\0') + kDleEtx + "\r\nNO CARRIER\r\n"}};
}

// `bursts` runs of `length` bytes spread through 1800 zeros, every `step`th of them bad: what
// lost packets leave.
std::vector<Step> TcfWithBursts(int bursts, size_t length, size_t step = 1) {
    std::string tcf;
    for (int i = 0; i < bursts; ++i) {
        tcf += std::string(1800 / (bursts + 1), '\0');
        for (size_t at = 0; at < length; ++at) tcf.push_back(at % step ? '\0' : '\x5A');
    }
    return Tcf(1800 - tcf.size(), tcf);
}

// clang-format off
const TrainingRow kTrainings[] = {
    {"Of1618ZerosAt9600Fails", 96, Tcf(1618), kResultAlternative},
    {"Of1619ZerosAt9600Passes", 96, Tcf(1619), kResultOk},
    {"Of1979ZerosAt9600Passes", 96, Tcf(1979), kResultOk},
    {"Of1980ZerosAt9600Fails", 96, Tcf(1980), kResultAlternative},
    {"Of403ZerosAt2400Fails", 24, Tcf(403), kResultAlternative},
    {"Of404ZerosAt2400Passes", 24, Tcf(404), kResultOk},
    // 48 bytes at 9600 bit/s: two packets lost in a row.
    {"WithThreeBurstsOfLostPacketsPasses", 96, TcfWithBursts(3, 48), kResultOk},
    // A T.38 gateway's fill for a late datagram lengthens the carrier.
    {"WithAGatewaysFillPasses", 96, Tcf(946, std::string(1000, '\0') + std::string(37, '\xFF')),
     kResultOk},
    {"WithFourBurstsFails", 96, TcfWithBursts(4, 10), kResultAlternative},
    {"WithABurstOver150MsFails", 96, TcfWithBursts(1, 182, 10), kResultAlternative},
    {"WithNoiseAllThroughFailsAndIsReadToItsEnd", 96, TcfWithBursts(40, 1), kResultAlternative},
    {"ThatNeverEndsTimesOutAndIsCutOff", 96, {{"", std::string(500, '\0')}, {"\x18", kOk}},
     kResultTimeout},
};
// clang-format on

class Training : public FaxFixture, public ::testing::WithParamInterface<TrainingRow> {};

TEST_P(Training, Table) {
    rx->m_nModulation = GetParam().modulation;
    modem.Start(GetParam().script);
    ASSERT_EQ(rx->CheckTraining(), GetParam().result);
    if (GetParam().result != kResultTimeout) {
        EXPECT_EQ(rx->WaitResponse("NO CARRIER", "ERROR", 2000, ClearAll::Yes), kResultOk);
    } else {
        EXPECT_EQ(rx->EndTrainingCarrier(), kResultOk);
    }
    modem.Finish();
    EXPECT_TRUE(modem.Completed()) << modem.Failure();
}

INSTANTIATE_TEST_SUITE_P(Rows, Training, ::testing::ValuesIn(kTrainings), RowName());

std::string Ramp(size_t length) {
    std::string data;
    for (size_t i = 0; i < length; ++i) data.push_back(static_cast<char>((i * 7) & 0xFF));
    return data;
}

struct PageRow {
    const char* name;
    std::string fromModem;
    std::string inFile;  // bit-reversed, DLE shielding removed
};
void PrintTo(const PageRow& row, std::ostream* out) { *out << row.name; }

// clang-format off
const PageRow kPages[] = {
    {"DleDoublingAndEnd", Bytes({0x12, 0x10, 0x10, 0x34, 0x10, 0x03}), Bytes({0x48, 0x08, 0x2C})},
    {"LongPageInBlocks", ModemData(Ramp(200000)), Reversed(Ramp(200000))},
};
// clang-format on

class PageData : public FaxFixture, public ::testing::WithParamInterface<PageRow> {};

TEST_P(PageData, Table) {
    ASSERT_TRUE(rx->m_pageFile.Create(folder / "page.raw"));
    modem.Start({{"", GetParam().fromModem}});
    EXPECT_EQ(rx->ReceivePageData(), kResultOk);
    EXPECT_EQ(rx->m_pageFile.DataBytes(), GetParam().inFile.size());
    EXPECT_TRUE(ReadFile(folder / "page.raw").substr(raw_page_file::kHeaderSize) ==
                GetParam().inFile);
}

INSTANTIATE_TEST_SUITE_P(Rows, PageData, ::testing::ValuesIn(kPages), RowName());

}  // namespace
}  // namespace faxtest

// Class 1 answers that are not the expected CONNECT: +FCERROR or ERROR to AT+FRM (the caller is
// sending frames again), and AT+FRH / AT+FRM left unanswered, whole sessions as transcripts.
#include <gtest/gtest.h>

#include "tests/fax/fax_fixture.h"

namespace faxtest {
namespace {

using Script = std::vector<Step>;

const std::string kFrm96 = "AT+FRM=96\r";
const std::string kFcError = "\r\n+FCERROR\r\n";

Step Received(uint8_t fcf, const std::vector<uint8_t>& fif = {}) {
    std::vector<uint8_t> frame = {0xFF, 0xC8, fcf};
    frame.insert(frame.end(), fif.begin(), fif.end());
    return {"AT+FRH=3\r", kConnect + ModemFrame(frame) + kOk};
}

const Step kSilence = {"AT+FTS=8\r", kOk};
const Step kDcs = Received(kFcfDcs, {0x00, 0x60, 0x00});
const Step kTraining = {kFrm96, kConnect + std::string(1800, '\0') + kDleEtx + kNoCarrier};
const Step kAbort = {"\x18", kOk};
const Step kFts = {"AT+FTS=6\r", kOk};
const Script kOpening = {
    {"AT\r", kOk},
    {"AT+FCLASS=1\r", kOk},
    {"ATA\r", kConnect},
    {SentFrame(false, kFcfCsi, std::vector<uint8_t>(20, Reverse(' '))), kConnect},
    {SentFrame(true, kFcfDis, {0x00, 0x72, 0x10}), kOk}};
const Script kCfr = {kResponseGap, {"AT+FTH=3\r", kConnect}, {SentFrame(true, kFcfCfr), kOk}};

Script Join(std::initializer_list<Script> parts) {
    Script all;
    for (const Script& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The caller's post-page command and our MCF.
Script PostPage(uint8_t fcf) {
    return {Received(fcf), kResponseGap, {"AT+FTH=3\r", kConnect}, {SentFrame(true, kFcfMcf), kOk}};
}

const Step kPage = {kFrm96, kConnect + ModemData("pg") + kNoCarrier};
const Script kLastPage = Join({{kPage}, PostPage(kFcfEop), {kSilence, Received(kFcfDcn)}});

struct Row {
    const char* name;
    Script script;
    int error;
};

// clang-format off
const Row kRows[] = {
    // The caller repeats DCS before its TCF: the frame is read, then the training.
    {"FcErrorForTheTrainingReadsTheRepeatedDcs",
     Join({kOpening, {kSilence, kDcs, {kFrm96, kFcError}, kDcs, kTraining}, kCfr, kLastPage}),
     kFaxErrNone},
    // CFR was lost: DCS and TCF come again instead of the page.
    {"FcErrorForThePageMeansCfrWasLost", Join({kOpening, {kSilence, kDcs, kTraining}, kCfr,
     {{kFrm96, kFcError}, kDcs, kTraining}, kCfr, kLastPage}), kFaxErrNone},
    // MCF was lost: MPS comes again instead of the next page.
    {"ErrorForTheNextPageMeansMcfWasLost", Join({kOpening, {kSilence, kDcs, kTraining}, kCfr,
     {kPage}, PostPage(kFcfMps), {{kFrm96, kError}}, PostPage(kFcfMps), kLastPage}), kFaxErrNone},
    {"FourFcErrorsInARowFail", Join({kOpening, {kSilence, kDcs, {kFrm96, kFcError}, kDcs,
     {kFrm96, kFcError}, kDcs, {kFrm96, kFcError}, kDcs, {kFrm96, kFcError}}}),
     kFaxErrPrepareTraining},
    // An unanswered AT+FRH=3 is abandoned before CSI and DIS go out again, whole.
    {"UnansweredFrhIsAbortedBeforeTheNextCommand", Join({kOpening, {kSilence, {"AT+FRH=3\r", ""},
     kAbort, kResponseGap, {"AT+FTH=3\r", kConnect}, kOpening[3], kOpening[4], kSilence, kDcs,
     kTraining}, kCfr, kLastPage}), kFaxErrNone},
    // A modem without AT+FRS pauses with AT+FTS before this response and every later one.
    {"ModemWithoutFrsPausesWithFts", Join({kOpening, {kSilence, kDcs, kTraining,
     {"AT+FRS=6\r", kError}, kFts}, Script(kCfr.begin() + 1, kCfr.end()), {kPage, Received(kFcfEop),
     kFts, {"AT+FTH=3\r", kConnect}, {SentFrame(true, kFcfMcf), kOk}, kSilence, Received(kFcfDcn)}}),
     kFaxErrNone},
    // A training lost on the line: the unanswered AT+FRM is abandoned for the repeated DCS.
    {"UnansweredFrmForTheTrainingWaitsForTheRepeatedDcs", Join({kOpening, {kSilence, kDcs,
     {kFrm96, ""}, kAbort, kDcs, kTraining}, kCfr, kLastPage}), kFaxErrNone},
};
// clang-format on

class Class1Errors : public FaxFixture, public ::testing::WithParamInterface<Row> {};

TEST_P(Class1Errors, Table) {
    ExpectExactly(GetParam().script, [this] { rx->Receive(); });
    EXPECT_EQ(rx->m_nFaxError, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Rows, Class1Errors, ::testing::ValuesIn(kRows), RowName());

}  // namespace
}  // namespace faxtest

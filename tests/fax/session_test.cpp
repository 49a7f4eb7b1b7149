// Whole reception sessions against scripted transcripts of a calling fax machine's modem.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>

#include "platform/clock.h"
#include "tests/fax/fax_fixture.h"
#include "tests/fax/hdlc_line.h"
#include "tests/support/little_endian.h"

namespace faxtest {
namespace {

using namespace raw_page_file;

const std::string kFrm96 = "AT+FRM=96\r";
const std::string kFrm72 = "AT+FRM=72\r";

const std::vector<uint8_t> kDcs9600Normal = {0x00, 0x60, 0x00};
const std::vector<uint8_t> kDcs7200Normal = {0x00, 0x70, 0x00};
const std::string kCallerId = "5432 1 29";  // as the modem delivers it, last digit first
using Script = std::vector<Step>;

std::vector<uint8_t> Frame(bool final, uint8_t fcf, const std::vector<uint8_t>& fif = {}) {
    std::vector<uint8_t> frame = {0xFF, static_cast<uint8_t>(final ? 0xC8 : 0xC0), fcf};
    for (uint8_t byte : fif) frame.push_back(byte);
    return frame;
}

// The TSI's information field in written order: 20 characters, padded with spaces.
std::vector<uint8_t> TsiFif() {
    const std::string fif = Reversed(kCallerId + std::string(20 - kCallerId.size(), ' '));
    return {fif.begin(), fif.end()};
}

Step Received(const std::vector<uint8_t>& frame) {
    return {"AT+FRH=3\r", kConnect + ModemFrame(frame) + kOk};
}

// Readable pieces of a call, as the modem sees it.
const Step kCsi = {SentFrame(false, kFcfCsi, std::vector<uint8_t>(20, Reverse(' '))), kConnect};
const Step kDis = {SentFrame(true, kFcfDis, {0x00, 0x72, 0x10}), kOk};
const Step kSilence = {"AT+FTS=8\r", kOk};
const Script kOpening = {{"AT\r", kOk}, {"AT+FCLASS=1\r", kOk}, {"ATA\r", kConnect}, kCsi, kDis};
const Script kSendFtt = {
    kResponseGap, {"AT+FTH=3\r", kConnect}, {SentFrame(true, kFcfFtt), kOk}, kSilence};
const Script kSendCfr = {kResponseGap, {"AT+FTH=3\r", kConnect}, {SentFrame(true, kFcfCfr), kOk}};
const Script kFinalDcn = {kSilence, Received(Frame(true, kFcfDcn))};

Script Dcs(const std::vector<uint8_t>& dcs, bool withTsi = true, bool afterFtt = false) {
    Script steps;
    if (!afterFtt) steps.push_back(kSilence);
    if (withTsi) steps.push_back(Received(Frame(false, kFcfTsi, TsiFif())));
    steps.push_back(Received(Frame(true, kFcfDcs, dcs)));
    return steps;
}

Script Training(const std::string& frm, size_t zeros) {
    return {{frm, kConnect + std::string(zeros, '\0') + "\x10\x03" + kNoCarrier}};
}

Script Page(const std::string& frm, const std::string& data) {
    return {{frm, kConnect + ModemData(data) + kNoCarrier}};
}

// The caller's post-page command and our MCF.
Script PostPage(uint8_t fcf) {
    return {Received(Frame(true, fcf)),
            kResponseGap,
            {"AT+FTH=3\r", kConnect},
            {SentFrame(true, kFcfMcf), kOk}};
}

Script Join(std::initializer_list<Script> parts) {
    Script all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Everything up to the first page at 9600 bit/s, DCS after TSI.
Script UpToPage() {
    return Join({kOpening, Dcs(kDcs9600Normal), Training(kFrm96, 1800), kSendCfr});
}

Script LastPage(const std::string& data, const std::string& frm = kFrm96) {
    return Join({Page(frm, data), PostPage(kFcfEop), kFinalDcn});
}

class Session : public FaxFixture {
protected:
    // Runs a session against the script and checks that the modem saw exactly the script.
    void RunSession(Script steps) {
        ExpectExactly(std::move(steps), [this] { rx->Receive(); });
    }
    std::string Raw() { return ReadFile(folder / "page.raw"); }
};

// The paths of a session, each a transcript the modem follows.
Script DcnAfterDis(CFaxReceiver&, TranscriptModem&) {
    return Join({kOpening, {kSilence, Received(Frame(true, kFcfDcn))}});
}

// After each time-out the receive is abandoned (CAN, OK), then CSI and DIS go out again,
// behind the pause and AT+FTH=3.
Script ThreeTimeOuts(CFaxReceiver&, TranscriptModem&) {
    const Step silentFrame = {"AT+FRH=3\r", kConnect};  // carrier, but no frame follows
    const Step abort = {"\x18", kOk};
    const Script again = {silentFrame, abort, kResponseGap, {"AT+FTH=3\r", kConnect},
                          kCsi,        kDis,  kSilence};
    return Join({kOpening, {kSilence}, again, again, {silentFrame, abort}});
}

// A real sender's answer to FTT: TSI and DCS again at a lower rate, which the TSI does not
// pre-empt. The failed TCF is read to its end before AT+FTH=3, so FTT goes out.
Script FttThenRetrainingAtALowerRate(CFaxReceiver&, TranscriptModem&) {
    std::string noisyTcf;
    for (int i = 0; i < 18; ++i) noisyTcf += std::string(99, '\0') + "\x01";
    return Join({kOpening,
                 Dcs(kDcs9600Normal),
                 {{kFrm96, kConnect + noisyTcf + "\x10\x03" + kNoCarrier}},
                 kSendFtt,
                 Dcs(kDcs7200Normal, true, true),
                 Training(kFrm72, 1350),
                 kSendCfr,
                 LastPage("pg", kFrm72)});
}

// A DCS with a bad check sequence is not answered: the caller repeats it after its T4.
Script BadFcsOnDcsThenAGoodRepeat(CFaxReceiver&, TranscriptModem&) {
    const Step badDcs = {"AT+FRH=3\r",
                         kConnect + ModemFrame(Frame(true, kFcfDcs, kDcs9600Normal)) + kError};
    return Join({kOpening,
                 {kSilence, Received(Frame(false, kFcfTsi, TsiFif())), badDcs},
                 {Received(Frame(true, kFcfDcs, kDcs9600Normal))},
                 Training(kFrm96, 1800),
                 kSendCfr,
                 LastPage("pg")});
}

// The caller repeats a DCS only after its TCF and T4, later than a CONNECT is awaited otherwise:
// after a damaged DCS, and after a TSI whose DCS was lost, the receive waits for the repeat
// rather than send DIS over it.
Script DamagedThenLostDcsAndTheRepeats(CFaxReceiver&, TranscriptModem&) {
    const Step tsi = Received(Frame(false, kFcfTsi, TsiFif())),
               lateTsi = {tsi.expect, tsi.reply, kShortTimeoutMs + 500};
    const Step badDcs = {"AT+FRH=3\r",
                         kConnect + ModemFrame(Frame(true, kFcfDcs, kDcs9600Normal)) + kError};
    return Join({kOpening,
                 {kSilence, tsi, badDcs, lateTsi, {"AT+FRH=3\r", kConnect}, {"\x18", kOk}, lateTsi},
                 {Received(Frame(true, kFcfDcs, kDcs9600Normal))},
                 Training(kFrm96, 1800),
                 kSendCfr,
                 LastPage("pg")});
}

// ERROR where the post-page command was expected: receive again, and the repeat is answered.
Script ErrorForThePostPageCommandThenTheRepeat(CFaxReceiver&, TranscriptModem&) {
    return Join({UpToPage(),
                 Page(kFrm96, "pg"),
                 {{"AT+FRH=3\r", kConnect + kError}},
                 PostPage(kFcfEop),
                 kFinalDcn});
}

// A damaged post-page command is answered with CRP, and the caller sends it again.
Script CrpForADamagedPostPageCommand(CFaxReceiver&, TranscriptModem&) {
    const Step damaged = {"AT+FRH=3\r", kConnect + ModemFrame(Frame(true, kFcfMps)) + kError};
    const Script crp = {
        kResponseGap, {"AT+FTH=3\r", kConnect}, {SentFrame(true, kFcfCrp), kOk}, kSilence};
    return Join(
        {UpToPage(), Page(kFrm96, "pg"), {damaged}, crp, PostPage(kFcfMps), LastPage("pg2")});
}

// Our MCF was lost: MPS comes again where the next page should start. The page counts once.
Script LostMcfStoresThePageOnce(CFaxReceiver&, TranscriptModem&) {
    return Join({UpToPage(),
                 Page(kFrm96, "pg"),
                 PostPage(kFcfMps),
                 {{kFrm96, "\r\n+FCERROR\r\n"}},
                 PostPage(kFcfMps),
                 LastPage("pg2")});
}

// The MCF to EOP was lost: EOP again, answered again, then DCN.
Script RepeatedEopIsAnsweredAgain(CFaxReceiver&, TranscriptModem&) {
    return Join({UpToPage(),
                 Page(kFrm96, "pg"),
                 PostPage(kFcfEop),
                 {kSilence},
                 PostPage(kFcfEop),
                 kFinalDcn});
}

// After EOP a damaged frame, then the caller is gone: that was its DCN, and the fax is whole.
Script DamagedDcnThenSilence(CFaxReceiver&, TranscriptModem&) {
    const Step damaged = {"AT+FRH=3\r", kConnect + ModemFrame(Frame(true, kFcfDcn)) + kError};
    return Join({UpToPage(),
                 Page(kFrm96, "pg"),
                 PostPage(kFcfEop),
                 {kSilence, damaged},
                 {{"AT+FRH=3\r", ""}, {"\x18", kOk}}});
}

// After EOP and our MCF nothing more came: the page is stored, and the fax is whole.
Script NoDcnAfterTheLastMcf(CFaxReceiver&, TranscriptModem&) {
    return Join({UpToPage(),
                 Page(kFrm96, "pg"),
                 PostPage(kFcfEop),
                 {kSilence, {"AT+FRH=3\r", ""}, {"\x18", kOk}}});
}

Script EomAfterAPage(CFaxReceiver&, TranscriptModem&) {
    return Join({UpToPage(), Page(kFrm96, "page"), {Received(Frame(true, kFcfEom))}});
}

Script ModemStopsMidPage(CFaxReceiver& rx, TranscriptModem&) {
    rx.m_nPageSilenceTimeoutMs = 800;
    return Join({UpToPage(), {{kFrm96, kConnect + std::string(300, '\x44')}}});
}

Script ModemVanishesMidPage(CFaxReceiver&, TranscriptModem& modem) {
    Script steps = UpToPage();
    steps.push_back({kFrm96, kConnect + std::string(300, '\x44'), 0, [&modem] {
                         usleep(500000);  // the page is under way
                         modem.Vanish();
                     }});
    return steps;
}

// We hang up with DCN instead of taking a 256th page.
Script PagesBeyond255(CFaxReceiver&, TranscriptModem&) {
    Script steps = UpToPage();
    for (int page = 1; page <= 255; ++page) {
        Script post = PostPage(kFcfMps);
        if (page == 255) post.resize(1);
        steps = Join({steps, Page(kFrm96, "p"), post});
    }
    return Join({steps, {kResponseGap, {"AT+FTH=3\r", kConnect}, {SentFrame(true, kFcfDcn), kOk}}});
}

// Error correction, scripted: the fast mode's opening on a modem without V.17, a DCS that
// chooses error correction with 64-octet frames at 9600 bit/s.
const Script kFastOpening = {{"AT\r", kOk},
                             {"AT+FCLASS=1\r", kOk},
                             {"AT+FRM=?\r", "\r\n24,48,72,96\r\n" + kOk},
                             {"ATA\r", kConnect},
                             kCsi,
                             {SentFrame(true, kFcfDis, {0x00, 0x73, 0x1F, 0x22}), kOk}};
const std::vector<uint8_t> kDcsEcm64 = {0x00, 0x60, 0x01, 0x30};

std::string EcmFrameData(uint8_t number) {
    return std::string(64, static_cast<char>(0xA0 + number)) + std::string(1, '\x7E');
}

// A high-speed carrier with the given FCD frames (as the sender's octets) and three RCP; the
// frame `damaged` gets a bit error.
Script EcmBurst(const std::string& frm, const std::vector<uint8_t>& numbers, int damaged = -1) {
    HdlcLine line;
    line.Flags(20);
    for (uint8_t number : numbers) {
        std::vector<uint8_t> frame = {0xFF, 0x03, 0x06, number};
        const std::string data = EcmFrameData(number).substr(0, 64);
        frame.insert(frame.end(), data.begin(), data.end());
        const size_t start = line.Bits().size();
        line.Frame(frame);
        if (number == damaged) line.Bits()[start + 100] ^= 1;
    }
    for (int i = 0; i < 3; ++i) line.Frame({0xFF, 0x13, 0x86});
    const std::vector<uint8_t> octets = line.Octets();
    return {{frm, kConnect + ModemData(std::string(octets.begin(), octets.end())) + kNoCarrier}};
}

Script Answer(uint8_t fcf, const std::vector<uint8_t>& fif = {}) {
    return {kResponseGap, {"AT+FTH=3\r", kConnect}, {SentFrame(true, fcf, fif), kOk}};
}

// PPS with its post-message command, page 1, block 1, and three frames.
Step Pps(uint8_t postMessage) {
    return Received(Frame(true, kFcfPps, {postMessage, 0x00, 0x00, Reverse(2)}));
}

// The block's carrier never connects (its training was lost): the PPS after it is answered
// with a PPR for every frame, and the block sent again completes the page.
Script EcmBlockWhoseTrainingWasLost(CFaxReceiver& rx, TranscriptModem&) {
    rx.m_faxMode = FaxMode::kFast;
    std::vector<uint8_t> map(32, 0);
    map[0] = Reverse(0x07);  // frames 0 to 2
    return Join({kFastOpening,
                 Dcs(kDcsEcm64),
                 Training(kFrm96, 1800),
                 kSendCfr,
                 {{kFrm96, ""}, {"\x18", kOk}, Pps(kFcfEop)},
                 Answer(kFcfPpr, map),
                 EcmBurst(kFrm96, {0, 1, 2}),
                 {Pps(kFcfEop)},
                 Answer(kFcfMcf),
                 kFinalDcn});
}

struct PathRow {
    const char* name;
    Script (*script)(CFaxReceiver&, TranscriptModem&);
    int error;
    std::vector<std::string> lastStatus;
    int pages;       // in the header; -1: the raw page file stays empty, -2: not checked
    int dataLength;  // in the header, -1: not checked
    const char* logged;
    uint32_t maxMs;  // the whole session, 0: no limit
};
void PrintTo(const PathRow& row, std::ostream* out) { *out << row.name; }

const std::vector<std::string> kFailed = {"接收传真失败"};
const std::vector<std::string> kSuccess = {"传真接收结束", "接收传真成功"};

// clang-format off
const PathRow kPaths[] = {
    {"DcnAfterDis", DcnAfterDis, kFaxErrDcnBeforeTraining,
     {"收到DCN帧", "传真接收错误", "传真接收结束", "接收传真失败"}, -1, -1, nullptr, 0},
    {"ThreeTimeOuts", ThreeTimeOuts, kFaxErrNoCommand, kFailed, -2, -1, nullptr, 0},
    {"FttThenRetrainingAtALowerRate", FttThenRetrainingAtALowerRate, kFaxErrNone,
     {"传真接收结束", "接收传真成功"}, 1, 3, nullptr, 0},
    {"BadFcsOnDcsThenAGoodRepeat", BadFcsOnDcsThenAGoodRepeat, kFaxErrNone, kSuccess, 1, 3,
     "命令帧损坏，重新接收", 0},
    {"DamagedThenLostDcsAndTheRepeats", DamagedThenLostDcsAndTheRepeats, kFaxErrNone, kSuccess, 1,
     3, "未收到完整的命令，等待对方重发", 0},
    {"ErrorForThePostPageCommandThenTheRepeat", ErrorForThePostPageCommandThenTheRepeat, kFaxErrNone,
     kSuccess, 1, 3, "未收到页后命令，重新接收", 0},
    {"CrpForADamagedPostPageCommand", CrpForADamagedPostPageCommand, kFaxErrNone, kSuccess, 2, 7,
     "页后命令损坏，发送CRP", 0},
    {"LostMcfStoresThePageOnce", LostMcfStoresThePageOnce, kFaxErrNone, kSuccess, 2, 7,
     "对方重发页后命令，再次应答", 0},
    {"RepeatedEopIsAnsweredAgain", RepeatedEopIsAnsweredAgain, kFaxErrNone, kSuccess, 1, 3,
     "再次收到EOP，重发MCF", 0},
    {"DamagedDcnThenSilence", DamagedDcnThenSilence, kFaxErrNone, kSuccess, 1, 3,
     "未收到完整的DCN，结束接收", 0},
    {"NoDcnAfterTheLastMcf", NoDcnAfterTheLastMcf, kFaxErrNone, kSuccess, 1, 3,
     "未收到DCN，传真已完整接收", 0},
    {"EcmBlockWhoseTrainingWasLost", EcmBlockWhoseTrainingWasLost, kFaxErrNone, kSuccess, 1, 192,
     "未收到页面数据，等待PPS", 0},
    {"EomAfterAPage", EomAfterAPage, kFaxErrEom, kFailed, 1, 5, nullptr, 0},
    {"ModemThatStopsMidPage", ModemStopsMidPage, kFaxErrReceivePage, kFailed, -2, -1, "页面数据超时", 0},
    // Far sooner than the page silence time-out: the read error says the device is gone.
    {"ModemThatVanishesMidPage", ModemVanishesMidPage, kFaxErrReceivePage, kFailed, -2, -1, nullptr, 8000},
    {"PagesBeyond255AreRefused", PagesBeyond255, kFaxErrTooManyPages, kFailed, 255, 510, nullptr, 0},
};
// clang-format on

class SessionPath : public Session, public ::testing::WithParamInterface<PathRow> {};

TEST_P(SessionPath, Table) {
    const PathRow& row = GetParam();
    const uint32_t start = platform::TickCountMs();
    RunSession(row.script(*rx, modem));
    if (row.maxMs) {
        EXPECT_LT(platform::TickCountMs() - start, row.maxMs);
    }
    EXPECT_EQ(rx->m_nFaxError, row.error);
    ASSERT_GE(window->texts.size(), row.lastStatus.size());
    EXPECT_EQ(
        std::vector<std::string>(window->texts.end() - row.lastStatus.size(), window->texts.end()),
        row.lastStatus);
    std::vector<std::string> log = LogTexts();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.back(), "传真接收结束");
    if (row.error != kFaxErrNone) {
        EXPECT_EQ(log.end()[-2], "错误号：" + std::to_string(row.error));
    }
    if (row.logged) {
        EXPECT_NE(std::find(log.begin(), log.end(), row.logged), log.end());
    }
    const std::string raw = Raw();
    if (row.pages == -1) {
        EXPECT_EQ(raw.size(), 0u);
    }
    if (row.pages >= 0) {
        ASSERT_GE(raw.size(), kHeaderSize);
        EXPECT_EQ(static_cast<uint8_t>(raw[kPageCountOffset]), row.pages);
    }
    if (row.dataLength >= 0) {
        EXPECT_EQ(Le32(raw, kDataLengthOffset), uint32_t(row.dataLength));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, SessionPath, ::testing::ValuesIn(kPaths), RowName());

TEST_F(Session, OnePageWithTsiAndDcs) {
    const std::string page = "\x00\x08\x01\x10\x02\xFF" + std::string(500, '\x5A');
    RunSession(Join({UpToPage(), LastPage(page)}));
    EXPECT_EQ(rx->m_nFaxError, 0);
    EXPECT_EQ(window->texts.back(), "接收传真成功");

    // Header: "G3", the DCS field, the caller's id, the page count, the data length.
    const std::string raw = Raw(), data = "\x50" + Reversed(page);  // CONNECT's LF comes first
    ASSERT_EQ(raw.size(), kHeaderSize + data.size());
    EXPECT_EQ(raw.substr(0, kDcsOffset), std::string("G3\0", 3));
    EXPECT_EQ(raw.substr(kDcsOffset, kDcsSize),
              std::string("\x00\x60\x00", 3) + std::string(13, '\0'));
    EXPECT_EQ(raw.substr(kTsiOffset, kTsiSize),
              kCallerId + std::string(20 - kCallerId.size(), ' ') + '\0');
    EXPECT_EQ(static_cast<uint8_t>(raw[kPageCountOffset]), 1);
    EXPECT_EQ(Le32(raw, kDataLengthOffset), data.size());
    EXPECT_TRUE(raw.substr(kHeaderSize) == data);
    EXPECT_FALSE(rx->m_pComm->HasHandle());  // closed in Finish
}

// Without TSI the id area stays empty; a DCS field longer than 16 bytes is cut to 16.
TEST_F(Session, DcsWithoutTsiAndALongDcsField) {
    std::vector<uint8_t> dcs = {0x00, 0x60, 0x00};
    for (uint8_t i = 0; i < 17; ++i) dcs.push_back(static_cast<uint8_t>(0xA0 + i));
    RunSession(Join({kOpening, Dcs(dcs, false), Training(kFrm96, 1800), kSendCfr, LastPage("x")}));
    EXPECT_EQ(rx->m_nFaxError, 0);
    std::string raw = Raw();
    ASSERT_GE(raw.size(), kHeaderSize);
    EXPECT_EQ(raw.substr(kDcsOffset, kDcsSize), std::string(dcs.begin(), dcs.begin() + 16));
    EXPECT_EQ(raw.substr(kTsiOffset, kTsiSize), std::string(21, '\0'));
}

// Each page's start goes into the header before its data; nothing of an earlier fax (its page
// starts, its caller's id) stays in the next one's header.
TEST_F(Session, PageStartsGoIntoTheHeaderAndNothingOfAnEarlierFaxStays) {
    RunSession(Join({UpToPage(), Page(kFrm96, "first"), PostPage(kFcfMps), LastPage("2nd")}));
    std::string raw = Raw();  // each page's data begin with 0x50
    ASSERT_EQ(raw.size(), kHeaderSize + 6 + 4);
    std::string starts = raw.substr(kPageStartsOffset, kDataLengthOffset - kPageStartsOffset);
    EXPECT_EQ(starts, std::string(4, '\0') + '\6' + std::string(starts.size() - 5, '\0'));
    EXPECT_NE(raw.substr(kTsiOffset, kTsiSize), std::string(kTsiSize, '\0'));

    // The next fax starts from the same receiver.
    ASSERT_TRUE(rx->m_pageFile.Create(folder / "page.raw"));
    ASSERT_TRUE(rx->m_pageFile.WriteHeader());
    ASSERT_TRUE(rx->m_pageFile.BeginPage());
    raw = Raw();
    ASSERT_EQ(raw.size(), kHeaderSize);
    EXPECT_EQ(raw.substr(0, 2), "G3");
    EXPECT_EQ(raw.substr(kDcsOffset), std::string(kHeaderSize - kDcsOffset, '\0'));
}

// Frame 1 of three never arrives intact: four PPRs ask for it, the sender steps down with CTC,
// asks once more at 7200 bit/s, then ends the block with EOR; the page keeps frames 0 and 2.
TEST_F(Session, EcmFrameThatNeverArrivesLeadsToCtcThenEorAndThePageKeepsTheRest) {
    rx->m_faxMode = FaxMode::kFast;
    std::vector<uint8_t> map(32, 0);
    map[0] = Reverse(0x02);  // frame 1
    Script steps = Join({kFastOpening, Dcs(kDcsEcm64), Training(kFrm96, 1800), kSendCfr,
                         EcmBurst(kFrm96, {0, 1, 2}, 1)});
    steps = Join({steps, {Pps(kFcfEop)}, Answer(kFcfPpr, map)});
    for (int ppr = 2; ppr <= 4; ++ppr)
        steps = Join({steps, EcmBurst(kFrm96, {}), {Pps(kFcfEop)}, Answer(kFcfPpr, map)});
    // Each time the caller sends a command where we expect the data again.
    const Step fcError96 = {kFrm96, "\r\n+FCERROR\r\n"}, fcError72 = {kFrm72, fcError96.reply};
    steps = Join({steps,
                  {fcError96, Received(Frame(true, kFcfCtc, {0x00, 0x70}))},
                  Answer(kFcfCtr),
                  EcmBurst(kFrm72, {}),
                  {Pps(kFcfEop)},
                  Answer(kFcfPpr, map),
                  {fcError72, Received(Frame(true, kFcfEor, {kFcfEop}))},
                  Answer(kFcfErr),
                  kFinalDcn});
    RunSession(steps);
    EXPECT_EQ(rx->m_nFaxError, 0);
    const std::vector<std::string> log = LogTexts();
    EXPECT_EQ(std::count(log.begin(), log.end(), "发送PPR，请求重发1帧"), 5);
    EXPECT_NE(std::find(log.begin(), log.end(), "对方选择ECM，帧长64字节"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "收到CTC，改用调制方式72重发"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "收到EOR-EOP，本块缺1帧，保留已收到的数据"),
              log.end());
    const std::string raw = Raw();
    ASSERT_GE(raw.size(), kHeaderSize);
    EXPECT_EQ(raw.substr(kDcsOffset, 4), std::string(kDcsEcm64.begin(), kDcsEcm64.end()));
    EXPECT_EQ(static_cast<uint8_t>(raw[kPageCountOffset]), 1);
    const std::string kept = EcmFrameData(0).substr(0, 64) + EcmFrameData(2).substr(0, 64);
    EXPECT_TRUE(raw.substr(kHeaderSize) == Reversed(kept));
}

TEST_F(Session, PageFileInAMissingFolderSendsNothing) {
    rx->SetFaxTempFile(folder / "missing/page.raw");
    RunSession({});
    EXPECT_EQ(rx->m_nFaxError, kFaxErrCreateFile);
    EXPECT_TRUE(rx->m_pComm->HasHandle());  // not closed
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"准备接收传真", "接收传真失败", "错误号：-4",
                                                    "传真接收结束"}));
    // The receiver still owns the modem's descriptor and closes it when it goes.
    const int fd = rx->m_pComm->Handle();
    rx.reset();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

// A full disk: a file size limit makes the file system refuse the page's bytes.
TEST_F(Session, PageFileWriteFailureEndsTheSession) {
    LogToPipe();  // the limit must not hit the log
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = kHeaderSize + 50;
    setrlimit(RLIMIT_FSIZE, &limited);
    RunSession(Join({UpToPage(), Page(kFrm96, std::string(300, '\x44'))}));
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(rx->m_nFaxError, kFaxErrPageFileWrite);
    std::vector<std::string> log = LogTexts();
    EXPECT_NE(std::find(log.begin(), log.end(), "写入页面文件失败"), log.end());
    EXPECT_EQ(log.end()[-2], "错误号：-29");
    EXPECT_EQ(window->texts.back(), "接收传真失败");
}

}  // namespace
}  // namespace faxtest

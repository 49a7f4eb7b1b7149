#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/messages.h"
#include "tests/fax/fax_fixture.h"

namespace faxtest {
namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kConnect = "\r\nCONNECT\r\n";
const std::string kNoCarrier = "\r\nNO CARRIER\r\n";

const std::vector<uint8_t> kDcs9600Normal = {0x00, 0x60, 0x00};
const std::vector<uint8_t> kDcs4800Fine = {0x00, 0x52, 0x00};
const std::string kCallerId = "5432 1 29";  // as the modem delivers it, last digit first

std::vector<uint8_t> Frame(bool final, uint8_t fcf, const std::vector<uint8_t>& fif = {}) {
    std::vector<uint8_t> frame = {0xFF, static_cast<uint8_t>(final ? 0xC8 : 0xC0), fcf};
    for (uint8_t byte : fif) frame.push_back(byte);
    return frame;
}

// The TSI's information field in written order: 20 characters, padded with spaces.
std::vector<uint8_t> TsiFif() {
    std::string id = kCallerId + std::string(20 - kCallerId.size(), ' ');
    std::vector<uint8_t> fif;
    for (char c : id) fif.push_back(Reverse(static_cast<uint8_t>(c)));
    return fif;
}

// Readable pieces of a call, as the modem sees it.
std::vector<Step> Opening() {
    return {
        {"AT\r", kOk},
        {"AT+FCLASS=1\r", kOk},
        {"ATA\r", kConnect},
        {SentFrame(false, kFcfCsi, std::vector<uint8_t>(20, Reverse(' '))), kConnect},
        {SentFrame(true, kFcfDis, {0x00, 0x72, 0x10}), kOk},
    };
}

Step Received(const std::string& command, const std::vector<uint8_t>& frame) {
    return {command, kConnect + ModemFrame(frame) + kOk};
}

std::vector<Step> TsiAndDcs(const std::vector<uint8_t>& dcs) {
    return {
        {"AT+FTS=8\r", kOk},
        Received("AT+FRH=3\r", Frame(false, kFcfTsi, TsiFif())),
        Received("AT+FRH=3\r", Frame(true, kFcfDcs, dcs)),
    };
}

std::vector<Step> Training(const std::string& frm, size_t zeros) {
    return {{frm, kConnect + Repeat('\0', zeros) + "\x10\x03" + kNoCarrier}};
}

std::vector<Step> SendCfr() {
    return {{"AT+FTH=3\r", kConnect}, {SentFrame(true, kFcfCfr), kOk}};
}

std::vector<Step> Page(const std::string& frm, const std::string& data) {
    return {{frm, kConnect + ModemData(data) + kNoCarrier}};
}

// The caller's post-page command and our MCF.
std::vector<Step> PostPage(uint8_t fcf) {
    return {
        Received("AT+FRH=3\r", Frame(true, fcf)),
        {"AT+FTS=8\r", kOk},
        {"AT+FTH=3\r", kConnect},
        {SentFrame(true, kFcfMcf), kOk},
    };
}

std::vector<Step> FinalDcn() {
    return {{"AT+FTS=8\r", kOk}, Received("AT+FRH=3\r", Frame(true, kFcfDcn))};
}

std::vector<Step> Join(std::initializer_list<std::vector<Step>> parts) {
    std::vector<Step> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string Reversed(const std::string& data) {
    std::string out;
    for (char c : data) out.push_back(static_cast<char>(Reverse(static_cast<uint8_t>(c))));
    return out;
}

uint32_t Le32(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[offset + i]);
    return value;
}

class Session : public FaxFixture {
protected:
    // Runs a session against the script and checks that the modem saw exactly the script.
    void RunSession(std::vector<Step> steps) {
        modem.Start(std::move(steps));
        rx->Receive();
        modem.Finish();
        EXPECT_TRUE(modem.Completed()) << modem.Failure();
    }
    std::string Raw() { return ReadFile(TempPath("page.raw")); }
};

const std::vector<std::string> kOpeningStatus = {"准备接收传真", "开始接收传真", "正在初始化MODEM",
                                                 "正在应答传真", "发送CSI", "发送DIS"};

std::vector<std::string> With(std::vector<std::string> head, std::initializer_list<std::string> tail) {
    head.insert(head.end(), tail);
    return head;
}

TEST_F(Session, OnePageWithTsiAndDcs) {
    const std::string page = "\x00\x08\x01\x10\x02\xFF" + Repeat('\x5A', 500);
    RunSession(Join({Opening(), TsiAndDcs(kDcs9600Normal), Training("AT+FRM=96\r", 1800), SendCfr(),
                     Page("AT+FRM=96\r", page), PostPage(kFcfEop), FinalDcn()}));
    EXPECT_EQ(rx->m_nFaxError, 0);
    EXPECT_EQ(window->texts,
              With(kOpeningStatus, {"收到TSI帧", "收到DCS帧", "准备接收TCF训练序列", "正在接收训练序列",
                                    "训练序列接收正确", "准备接收页面数据", "正在接收页面数据", "本页接收完毕",
                                    "收到EOP", "传真接收结束", "接收传真成功"}));
    std::vector<std::string> log = LogTexts();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "传真接收结束");
    EXPECT_EQ(log[log.size() - 2], "接收传真成功");
    EXPECT_EQ(log.back(), "传真接收结束");

    std::string raw = Raw();
    const std::string data = "\x50" + Reversed(page);
    ASSERT_EQ(raw.size(), kHeaderSize + data.size());
    EXPECT_EQ(raw.substr(0, 3), std::string("G3\0", 3));
    EXPECT_EQ(raw.substr(3, 16), std::string("\x00\x60\x00", 3) + std::string(13, '\0'));
    EXPECT_EQ(raw.substr(19, 21), kCallerId + std::string(20 - kCallerId.size(), ' ') + std::string(1, '\0'));
    EXPECT_EQ(static_cast<uint8_t>(raw[40]), 1);
    EXPECT_EQ(raw.substr(41, 87), std::string(87, '\0'));
    EXPECT_EQ(Le32(raw, 128), data.size());
    EXPECT_TRUE(raw.substr(kHeaderSize) == data);
    EXPECT_FALSE(rx->m_pComm->HasHandle());  // closed in Finish
    std::vector<FaxState> expectedStates = {
        FaxState::Init, FaxState::Answer, FaxState::SendCsi, FaxState::SendDis, FaxState::ReceiveCommand,
        FaxState::ReceiveCommand, FaxState::SelectRate, FaxState::PrepareTraining, FaxState::ReceiveTraining,
        FaxState::SendCfr, FaxState::PreparePage, FaxState::ReceivePage, FaxState::PageDone,
        FaxState::ReceivePostPage, FaxState::ReceiveFinalDcn, FaxState::Finish, FaxState::End};
    EXPECT_EQ(rx->StateTrace(), expectedStates);
}

TEST_F(Session, TwoPagesAndRateFromTheDcs) {
    const std::string page1 = Repeat('\x21', 300), page2 = Repeat('\x42', 200);
    RunSession(Join({Opening(), TsiAndDcs(kDcs4800Fine), Training("AT+FRM=48\r", 900), SendCfr(),
                     Page("AT+FRM=48\r", page1), PostPage(kFcfMps), Page("AT+FRM=48\r", page2),
                     PostPage(kFcfEop), FinalDcn()}));
    EXPECT_EQ(rx->m_nFaxError, 0);
    EXPECT_EQ(rx->m_nModulation, 48);
    std::string raw = Raw();
    EXPECT_EQ(static_cast<uint8_t>(raw[40]), 2);
    EXPECT_EQ(Le32(raw, 128), 301u + 201u);  // each page starts with CONNECT's LF
    EXPECT_EQ(static_cast<uint8_t>(raw[4]) & 0x02, 0x02);  // fine resolution
    EXPECT_EQ(window->texts.back(), "接收传真成功");
}

TEST_F(Session, RateBitsSelectTheModulation) {
    const std::pair<uint8_t, std::string> cases[] = {{0x40, "24"}, {0x50, "48"}, {0x60, "96"}, {0x70, "72"}};
    for (const auto& [bits, number] : cases) {
        SCOPED_TRACE(number);
        ScriptedModem local;
        CFaxReceiver receiver;
        receiver.m_pComm->Attach(local.OpenSlave());
        receiver.SetFaxTempFile(TempPath("rate.raw"));
        local.Start(Join({Opening(), {{"AT+FTS=8\r", kOk}, Received("AT+FRH=3\r", Frame(true, kFcfDcs, {0x00, bits, 0x00}))},
                          {{"AT+FRM=" + number + "\r", kNoCarrier}}, {{"AT+FTH=3\r", kNoCarrier}}}));
        receiver.Receive();
        local.Finish();
        EXPECT_TRUE(local.Completed()) << local.Failure();
    }
}

TEST_F(Session, DcnAfterDis) {
    RunSession(Join({Opening(), {{"AT+FTS=8\r", kOk}, Received("AT+FRH=3\r", Frame(true, kFcfDcn))}}));
    EXPECT_EQ(rx->m_nFaxError, kFaxErrDcnBeforeTraining);
    EXPECT_EQ(window->texts, With(kOpeningStatus, {"收到DCN帧", "传真接收错误", "传真接收结束", "接收传真失败"}));
    std::vector<std::string> log = LogTexts();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "错误号：-24");
    EXPECT_EQ(Raw().size(), 0u);
}

TEST_F(Session, DcsWithoutTsiLeavesTheTsiAreaEmpty) {
    RunSession(Join({Opening(), {{"AT+FTS=8\r", kOk}, Received("AT+FRH=3\r", Frame(true, kFcfDcs, kDcs9600Normal))},
                     Training("AT+FRM=96\r", 1800), SendCfr(), Page("AT+FRM=96\r", "ab"), PostPage(kFcfEop),
                     FinalDcn()}));
    EXPECT_EQ(rx->m_nFaxError, 0);
    std::string raw = Raw();
    EXPECT_EQ(raw.substr(19, 21), std::string(21, '\0'));
    EXPECT_EQ(raw.substr(3, 3), std::string("\x00\x60\x00", 3));
}

TEST_F(Session, LongDcsFieldIsCutToSixteenBytes) {
    std::vector<uint8_t> dcs = {0x00, 0x60, 0x00};
    for (uint8_t i = 0; i < 17; ++i) dcs.push_back(static_cast<uint8_t>(0xA0 + i));
    RunSession(Join({Opening(), {{"AT+FTS=8\r", kOk}, Received("AT+FRH=3\r", Frame(true, kFcfDcs, dcs))},
                     Training("AT+FRM=96\r", 1800), SendCfr(), Page("AT+FRM=96\r", "x"), PostPage(kFcfEop),
                     FinalDcn()}));
    std::string raw = Raw();
    std::string expected(dcs.begin(), dcs.begin() + 16);
    EXPECT_EQ(raw.substr(3, 16), expected);
    EXPECT_EQ(raw.substr(19, 21), std::string(21, '\0'));
}

TEST_F(Session, EomAfterAPage) {
    RunSession(Join({Opening(), TsiAndDcs(kDcs9600Normal), Training("AT+FRM=96\r", 1800), SendCfr(),
                     Page("AT+FRM=96\r", "page"), {Received("AT+FRH=3\r", Frame(true, kFcfEom))}}));
    EXPECT_EQ(rx->m_nFaxError, kFaxErrEom);
    EXPECT_EQ(static_cast<uint8_t>(Raw()[40]), 1);
    EXPECT_EQ(Le32(Raw(), 128), 5u);
    EXPECT_EQ(window->texts.back(), "接收传真失败");
}

TEST_F(Session, ThreeTimeOutsResendCsiAndDis) {
    const Step csi = {SentFrame(false, kFcfCsi, std::vector<uint8_t>(20, Reverse(' '))), kConnect};
    const Step dis = {SentFrame(true, kFcfDis, {0x00, 0x72, 0x10}), kOk};
    const Step silentFrame = {"AT+FRH=3\r", kConnect};  // carrier, but no frame follows
    // After a receive the next CSI needs AT+FTS=8 and AT+FTH=3 again.
    RunSession(Join({Opening(), {{"AT+FTS=8\r", kOk}, silentFrame, {"AT+FTS=8\r", kOk}, {"AT+FTH=3\r", kConnect}, csi,
                                 dis, {"AT+FTS=8\r", kOk}, silentFrame, {"AT+FTS=8\r", kOk},
                                 {"AT+FTH=3\r", kConnect}, csi, dis, {"AT+FTS=8\r", kOk}, silentFrame}}));
    EXPECT_EQ(rx->m_nFaxError, kFaxErrNoCommand);
    EXPECT_EQ(LogTexts().end()[-2], "错误号：-10");
}

TEST_F(Session, FailedTrainingThenSuccessKeepsItsNumber) {
    RunSession(Join({Opening(), TsiAndDcs(kDcs9600Normal), Training("AT+FRM=96\r", 1000),
                     {{"AT+FTH=3\r", kConnect}, {SentFrame(true, kFcfFtt), kOk}, {"AT+FTS=8\r", kOk}},
                     // The caller trains again with TSI and DCS; the TSI alone leads to training.
                     {Received("AT+FRH=3\r", Frame(false, kFcfTsi, TsiFif()))}, Training("AT+FRM=96\r", 1800),
                     SendCfr(), Page("AT+FRM=96\r", "pg"), PostPage(kFcfEop), FinalDcn()}));
    EXPECT_EQ(rx->m_nFaxError, kFaxErrTraining);
    EXPECT_EQ(window->texts.back(), "接收传真失败");
    EXPECT_EQ(LogTexts().end()[-2], "错误号：-14");
    EXPECT_EQ(static_cast<uint8_t>(Raw()[40]), 1);
}

TEST_F(Session, FcErrorForTheTrainingCarrierFails) {
    // +FCERROR is neither CONNECT nor NO CARRIER: the wait runs out.
    RunSession(Join({Opening(), TsiAndDcs(kDcs9600Normal), {{"AT+FRM=96\r", "\r\n+FCERROR\r\n"}}}));
    EXPECT_EQ(rx->m_nFaxError, kFaxErrPrepareTraining);
}

TEST_F(Session, NoCarrierForTrainingThenSuccess) {
    RunSession(Join({Opening(), TsiAndDcs(kDcs9600Normal), {{"AT+FRM=96\r", kNoCarrier}},
                     {{"AT+FTH=3\r", kConnect}, {SentFrame(true, kFcfFtt), kOk}, {"AT+FTS=8\r", kOk}},
                     {Received("AT+FRH=3\r", Frame(true, kFcfDcs, kDcs9600Normal))}, Training("AT+FRM=96\r", 1800),
                     SendCfr(), Page("AT+FRM=96\r", "pg"), PostPage(kFcfEop), FinalDcn()}));
    EXPECT_EQ(rx->m_nFaxError, 0);
    EXPECT_EQ(window->texts.back(), "接收传真成功");
}

TEST_F(Session, StopDuringTheSecondPage) {
    auto steps = Join({Opening(), TsiAndDcs(kDcs9600Normal), Training("AT+FRM=96\r", 1800), SendCfr(),
                       Page("AT+FRM=96\r", "first"), PostPage(kFcfMps)});
    steps.push_back({"AT+FRM=96\r", kConnect + Repeat('\x33', 200), 0,
                     [this] { platform::PostToUiThread([this] { rx->m_bCancel = 1; }); }});
    RunSession(steps);
    EXPECT_EQ(rx->m_nFaxError, kFaxErrCancelled);
    std::vector<std::string> tail(window->texts.end() - 3, window->texts.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"用户取消操作", "传真接收结束", "用户取消传真"}));
    EXPECT_EQ(static_cast<uint8_t>(Raw()[40]), 1);
    EXPECT_EQ(Le32(Raw(), 128), 6u);
}

TEST_F(Session, PageFileInAMissingFolder) {
    rx->SetFaxTempFile(TempPath("missing/page.raw"));
    modem.Start({});
    rx->Receive();
    modem.Finish();
    EXPECT_EQ(rx->m_nFaxError, kFaxErrCreateFile);
    EXPECT_EQ(modem.Received(), "");
    EXPECT_TRUE(rx->m_pComm->HasHandle());  // not closed
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"准备接收传真", "接收传真失败", "错误号：-4", "传真接收结束"}));
}

TEST_F(Session, SecondSessionAfterAFailureSucceeds) {
    RunSession(Join({Opening(), {{"AT+FTS=8\r", kOk}, Received("AT+FRH=3\r", Frame(true, kFcfDcn))}}));
    ASSERT_EQ(rx->m_nFaxError, kFaxErrDcnBeforeTraining);
    ScriptedModem second;
    rx->m_pComm->Attach(second.OpenSlave());
    second.Start(Join({Opening(), TsiAndDcs(kDcs9600Normal), Training("AT+FRM=96\r", 1800), SendCfr(),
                       Page("AT+FRM=96\r", "x"), PostPage(kFcfEop), FinalDcn()}));
    rx->Receive();
    second.Finish();
    EXPECT_TRUE(second.Completed()) << second.Failure();
    EXPECT_EQ(rx->m_nFaxError, 0);
    EXPECT_EQ(window->texts.back(), "接收传真成功");
}

TEST_F(Session, ShortFrameIsABadCommandFrame) {
    RunSession(Join({Opening(), {{"AT+FTS=8\r", kOk}, {"AT+FRH=3\r", kConnect + Bytes({0xFF, 0x13, 0x10, 0x03}) + kOk}}}));
    EXPECT_EQ(rx->m_nFaxError, kFaxErrReceiveCommand);
}

TEST_F(Session, ModemThatStopsMidPageFailsThePage) {
    rx->m_nPageSilenceTimeoutMs = 800;
    RunSession(Join({Opening(), TsiAndDcs(kDcs9600Normal), Training("AT+FRM=96\r", 1800), SendCfr(),
                     {{"AT+FRM=96\r", kConnect + Repeat('\x44', 300)}}}));
    EXPECT_EQ(rx->m_nFaxError, kFaxErrReceivePage);
    EXPECT_EQ(window->texts.back(), "接收传真失败");
}

TEST_F(Session, VanishedModemMidPageFailsThePage) {
    uint32_t start = 0;
    auto steps = Join({Opening(), TsiAndDcs(kDcs9600Normal), Training("AT+FRM=96\r", 1800), SendCfr()});
    steps.push_back({"AT+FRM=96\r", kConnect + Repeat('\x44', 300), 0, [&] {
                         usleep(500000);  // the page is under way
                         start = platform::TickCountMs();
                         modem.CloseMaster();
                     }});
    RunSession(steps);
    EXPECT_EQ(rx->m_nFaxError, kFaxErrReceivePage);
    EXPECT_LT(platform::TickCountMs() - start, 3000u);
}

TEST_F(Session, PageFileWriteFailureEndsTheSession) {
    LogToPipe();  // the file size limit below must not hit the log
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = kHeaderSize + 50;
    setrlimit(RLIMIT_FSIZE, &limited);
    RunSession(Join({Opening(), TsiAndDcs(kDcs9600Normal), Training("AT+FRM=96\r", 1800), SendCfr(),
                     {{"AT+FRM=96\r", kConnect + ModemData(Repeat('\x44', 300)) + kNoCarrier}}}));
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(rx->m_nFaxError, kFaxErrPageFileWrite);
    std::vector<std::string> log = LogTexts();
    EXPECT_NE(std::find(log.begin(), log.end(), "写入页面文件失败"), log.end());
    EXPECT_EQ(log.end()[-2], "错误号：-29");
    EXPECT_EQ(window->texts.back(), "接收传真失败");
}

TEST_F(Session, PagesBeyond255AreRefused) {
    auto steps = Join({Opening(), TsiAndDcs(kDcs9600Normal), Training("AT+FRM=96\r", 1800), SendCfr()});
    for (int page = 1; page <= 255; ++page) {
        auto pageSteps = Page("AT+FRM=96\r", "p");
        steps.insert(steps.end(), pageSteps.begin(), pageSteps.end());
        auto post = PostPage(kFcfMps);
        if (page == 255) post.resize(1);
        steps.insert(steps.end(), post.begin(), post.end());
    }
    // We hang up with DCN instead of taking a 256th page.
    steps.push_back({"AT+FTS=8\r", kOk});
    steps.push_back({"AT+FTH=3\r", kConnect});
    steps.push_back({SentFrame(true, kFcfDcn), kOk});
    RunSession(steps);
    EXPECT_EQ(rx->m_nFaxError, kFaxErrTooManyPages);
    std::string raw = Raw();
    EXPECT_EQ(static_cast<uint8_t>(raw[40]), 255);
    EXPECT_EQ(Le32(raw, 128), 255u * 2u);
}

}  // namespace
}  // namespace faxtest

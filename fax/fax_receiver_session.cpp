#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fax/fax_receiver.h"
#include "fax/t30_dis_dcs_bits.h"
#include "platform/clock.h"

namespace {

constexpr char kCmdAnswer[] = "ATA";
constexpr char kResConnect[] = "CONNECT";
constexpr char kResNoCarrier[] = "NO CARRIER";
constexpr char kResError[] = "ERROR";

// DCS bits 11 to 14 (the rate field), of which bits 13 and 14 are not looked at: the rate, as
// AT+FRM's modulation number.
constexpr unsigned kDcsRateFieldV27V29Mask = 0xC;
struct DcsRate {
    unsigned field;
    int modulation;
};
constexpr DcsRate kDcsRates[] = {
    {0x0, 24},  // V.27 ter 2400 bit/s
    {0x4, 48},  // V.27 ter 4800 bit/s
    {0x8, 96},  // V.29 9600 bit/s
    {0xC, 72},  // V.29 7200 bit/s
};

// With bit 14 set, a V.17 rate. Its T.31 modulation number announces long training; short is one
// more.
struct V17Rate {
    unsigned field;
    int longTraining;
};
constexpr V17Rate kV17Rates[] = {
    {0x1, 145},  // V.17 14400 bit/s
    {0x5, 121},  // V.17 12000 bit/s
    {0x9, 97},   // V.17 9600 bit/s
    {0xD, 73},   // V.17 7200 bit/s
};
constexpr int kShortTraining = 1;

constexpr char kCmdListReceiveModulations[] = "AT+FRM=?";
constexpr uint32_t kModulationListTimeoutMs = 2000;

namespace rpf = raw_page_file;

// The numbers of a modem's "24,48,72,..." answer.
std::vector<int> ModulationList(const std::string& answer) {
    std::vector<int> codes;
    int value = -1;
    for (char c : answer + ",") {
        if (c >= '0' && c <= '9') {
            value = (value < 0 ? 0 : value * 10) + (c - '0');
            continue;
        }
        if (value >= 0) codes.push_back(value);
        value = -1;
    }
    return codes;
}

}  // namespace

CFaxReceiver::CFaxReceiver()
    : m_pComm(std::make_unique<CCommPort>()),
      m_pPageBuf(new uint8_t[kPageBufSize]()),
      m_pEcmBlock(std::make_unique<CEcmBlock>()) {
    g_nCarrierMode = kCarrierHdlcReceive;
}

CFaxReceiver::~CFaxReceiver() {
    m_pageFile.Close();
    CloseLog();
}

void CFaxReceiver::LogAndShow(const std::string& text) {
    Log(text);
    SetStatus(text);
}

FaxState CFaxReceiver::Fail(int error) {
    m_nFaxError = error;
    return FaxState::Error;
}

void CFaxReceiver::Receive() {
    m_bAnswered = false;
    LogAndShow("准备接收传真");
    if (!m_pageFile.Create(m_strPageFile)) {
        m_nFaxError = kFaxErrCreateFile;
        FinalReport();
        return;
    }
    LogAndShow("开始接收传真");
    m_nFaxError = kFaxErrNone;
    g_nCarrierMode = kCarrierHdlcTransmit;
    m_bAnswerRole = 1;
    m_nModulation = 0;
    m_nPageModulation = 0;
    m_bModemHasV17 = false;
    m_bModemHasFrs = true;
    m_session = Session{};
    Run();
    FinalReport();
}

void CFaxReceiver::Run() {
    m_state = FaxState::Init;
    while (m_state != FaxState::End) m_state = RunState(m_state);
}

FaxState CFaxReceiver::RunState(FaxState state) {
    switch (state) {
        case FaxState::Init:
            return DoInit();
        case FaxState::Answer:
            return DoAnswer();
        case FaxState::SendCsi:
            return DoSendCsi();
        case FaxState::SendDis:
            return DoSendDis();
        case FaxState::ReceiveCommand:
            return DoReceiveCommand();
        case FaxState::SelectRate:
            return DoSelectRate();
        case FaxState::PrepareTraining:
            return DoPrepareTraining();
        case FaxState::SendFtt:
            return DoSendFtt();
        case FaxState::ReceiveTraining:
            return DoReceiveTraining();
        case FaxState::SendCfr:
            return DoSendCfr();
        case FaxState::PreparePage:
            return DoPreparePage();
        case FaxState::ReceivePage:
            return DoReceivePage();
        case FaxState::ReceiveEcmBlock:
            return DoReceiveEcmBlock();
        case FaxState::ReceiveEcmCommand:
            return DoReceiveEcmCommand();
        case FaxState::PageDone:
            return DoPageDone();
        case FaxState::ReceivePostPage:
            return DoReceivePostPage();
        case FaxState::ReceiveFinalDcn:
            return DoReceiveFinalDcn();
        case FaxState::Error:
            return DoError();
        case FaxState::Cancelled:
            return DoCancelled();
        case FaxState::Finish:
            return DoFinish();
        case FaxState::End:
            return FaxState::End;
    }
    return FaxState::End;
}

FaxState CFaxReceiver::DoInit() {
    LogAndShow("正在初始化MODEM");
    int result = InitModem();
    if (result == kResultOk && m_faxMode == FaxMode::kFast) QueryModulations();
    if (result == kResultOk) return FaxState::Answer;
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrInit);
}

void CFaxReceiver::QueryModulations() {
    CCommPort& port = *m_pComm;
    if (!port.SendCommand(kCmdListReceiveModulations)) return;
    std::string answer;
    const uint32_t start = platform::TickCountMs();
    while (!platform::TickDeadlinePassed(start, kModulationListTimeoutMs) && !port.DeviceGone()) {
        if (!port.ReadByte()) {
            WaitForModem(
                platform::TicksLeft(start, kModulationListTimeoutMs, platform::TickCountMs()));
            continue;
        }
        answer.push_back(static_cast<char>(port.m_byLast));
        if (answer.find("OK\r\n") != std::string::npos) break;
        if (answer.find("ERROR\r\n") != std::string::npos) return;
    }
    const std::string echo = std::string(kCmdListReceiveModulations) + "\r";
    if (answer.compare(0, echo.size(), echo) == 0) answer.erase(0, echo.size());
    const std::vector<int> codes = ModulationList(answer);
    m_bModemHasV17 = true;
    for (const V17Rate& rate : kV17Rates) {
        for (int code : {rate.longTraining, rate.longTraining + kShortTraining}) {
            if (std::find(codes.begin(), codes.end(), code) == codes.end()) m_bModemHasV17 = false;
        }
    }
    Log(m_bModemHasV17 ? "MODEM支持V.17" : "MODEM不支持V.17");
}

FaxState CFaxReceiver::DoAnswer() {
    LogAndShow("正在应答传真");
    int result = kResultWriteFailed;
    if (m_pComm->SendCommand(kCmdAnswer)) {
        result = WaitResponse(kResConnect, kResNoCarrier, m_timeouts.answerMs, ClearAll::No);
    }
    if (result == kResultOk) {
        m_bAnswered = true;
        m_bTxReady = 1;  // the answering modem is already in HDLC transmit
        return FaxState::SendCsi;
    }
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrAnswer);
}

FaxState CFaxReceiver::DoSendCsi() {
    LogAndShow("发送CSI");
    int result = SendCSI();
    if (result == kResultOk) return FaxState::SendDis;
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrSendCsi);
}

FaxState CFaxReceiver::DoSendDis() {
    LogAndShow("发送DIS");
    int result = SendDIS();
    if (result == kResultOk) {
        m_session.resultTexts = 0;
        ForgetCommandRepeat();
        return FaxState::ReceiveCommand;
    }
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrSendDis);
}

FaxState CFaxReceiver::DoReceiveCommand() {
    int result = ReceiveFrame();
    switch (result) {
        case kResultOk:
            m_session.damageSeen = false;
            return DispatchCommand();
        case kResultTimeout:
            if (m_session.commandHeard && m_session.repeatWaits < kRepeatWaitsAllowed)
                return AwaitCommandRepeat();
            return CommandTimedOut();
        case kResultText:
            if (m_session.resultTexts < kResultTextsAllowed) {
                ++m_session.resultTexts;
                return FaxState::ReceiveCommand;
            }
            return CommandDamaged();
        case kResultCancelled:
            return FaxState::Cancelled;
        default:
            return CommandDamaged();
    }
}

FaxState CFaxReceiver::CommandTimedOut() {
    m_session.damageSeen = false;
    ForgetCommandRepeat();
    if (++m_session.timeouts < kCommandTimeoutsAllowed) return FaxState::SendCsi;
    return Fail(kFaxErrNoCommand);
}

// A damaged command frame: the caller repeats its command when no response comes, so receive
// again, long enough for the repeat. CRP would go out over the TCF that follows a DCS. The
// count, not T2, limits this: the repeat comes after T2 has run out.
FaxState CFaxReceiver::CommandDamaged() {
    if (!m_session.damageSeen) {
        m_session.damageSeen = true;
        m_session.damagedFrames = 0;
    }
    if (++m_session.damagedFrames > kDamagedFramesAllowed) return CommandTimedOut();
    m_session.commandHeard = m_session.repeatAwaited = true;
    Log("命令帧损坏，重新接收");
    return FaxState::ReceiveCommand;
}

// The caller sent part of its commands (its TSI), and the rest was lost: a DIS now
// would meet its repeat on the line, so wait for that repeat instead.
FaxState CFaxReceiver::AwaitCommandRepeat() {
    m_session.repeatAwaited = true;
    ++m_session.repeatWaits;
    Log("未收到完整的命令，等待对方重发");
    return FaxState::ReceiveCommand;
}

void CFaxReceiver::ForgetCommandRepeat() {
    m_session.commandHeard = m_session.repeatAwaited = false;
    m_session.repeatWaits = 0;
}

// Opens the T2 window at the first damaged frame; true while it lasts. A modem that answers
// every AT+FRH at once with NO CARRIER ends it early.
bool CFaxReceiver::WithinT2OfDamage() {
    if (!m_session.damageSeen) {
        m_session.damageSeen = true;
        m_session.damageStartMs = platform::TickCountMs();
        m_session.damagedFrames = 0;
    }
    return ++m_session.damagedFrames <= kDamagedFramesAllowed &&
           !platform::TickDeadlinePassed(m_session.damageStartMs, kT2Ms);
}

FaxState CFaxReceiver::DispatchCommand() {
    const uint8_t fcf = m_frame[kFrameFcfPos] & kFcfMask;
    const size_t fifLength = m_nFrameLen - kMinFrameLen;
    switch (fcf) {
        case kFcfDcs:
            LogAndShow("收到DCS帧");
            std::memset(m_session.dcs, 0, sizeof m_session.dcs);
            // The header holds 16 bytes of the DCS; a longer field is cut.
            std::memcpy(m_session.dcs, m_frame + kFrameFifPos, std::min(fifLength, rpf::kDcsSize));
            m_pageFile.SetDcs(m_session.dcs, rpf::kDcsSize);
            m_session.dcsSeen = true;
            ForgetCommandRepeat();
            NoteEcmChoice();
            break;
        case kFcfTsi:
            LogAndShow("收到TSI帧");
            ReverseBuffer(m_frame + kFrameFifPos, kCsiFifSize);
            m_pageFile.SetTsi(m_frame + kFrameFifPos, kCsiFifSize);
            m_session.commandHeard = true;
            if (!m_session.dcsSeen) return FaxState::ReceiveCommand;
            break;
        case kFcfDcn:
            LogAndShow("收到DCN帧");
            return Fail(kFaxErrDcnBeforeTraining);
        default:
            if (!m_session.dcsSeen) return FaxState::ReceiveCommand;
            break;
    }
    if (!m_pageFile.WriteHeader()) {
        Log("写入页面文件失败");
        return Fail(kFaxErrPageFileWrite);
    }
    return FaxState::SelectRate;
}

// Only the fast mode offers error correction; a DCS that asks for it anyway is taken as without.
void CFaxReceiver::NoteEcmChoice() {
    const size_t length = sizeof m_session.dcs;
    m_session.ecm =
        m_faxMode == FaxMode::kFast && t30_bits::IsSet(m_session.dcs, length, t30_bits::kEcm);
    m_session.ecmFrameOctets = t30_bits::IsSet(m_session.dcs, length, t30_bits::kFrameSize64)
                                   ? kEcmSmallFrameOctets
                                   : CEcmBlock::kMaxFrameOctets;
    // A new DCS (after EOM) may count pages and blocks from the start again.
    m_pEcmBlock->Start(m_session.ecmFrameOctets);
    m_session.ecmFrameCount = -1;
    m_session.ecmAckedPage = m_session.ecmAckedBlock = -1;
    if (m_session.ecm) {
        Log(m_session.ecmFrameOctets == kEcmSmallFrameOctets ? "对方选择ECM，帧长64字节"
                                                             : "对方选择ECM，帧长256字节");
    }
}

FaxState CFaxReceiver::DoSelectRate() {
    SelectRate(m_session.dcs, sizeof m_session.dcs);
    return FaxState::PrepareTraining;
}

void CFaxReceiver::SelectRate(const uint8_t* field, size_t length) {
    const unsigned rateField =
        t30_bits::Field(field, length, t30_bits::kRateFirst, t30_bits::kRateBitCount);
    for (const DcsRate& rate : kDcsRates) {
        if (rate.field == (rateField & kDcsRateFieldV27V29Mask)) m_nModulation = rate.modulation;
    }
    m_nPageModulation = m_nModulation;
    if (m_faxMode != FaxMode::kFast || !m_bModemHasV17) return;
    for (const V17Rate& rate : kV17Rates) {
        if (rate.field != rateField) continue;
        // T.30: long training for the TCF, short for the pages that follow CFR and MCF.
        m_nModulation = rate.longTraining;
        m_nPageModulation = rate.longTraining + kShortTraining;
    }
}

FaxState CFaxReceiver::DoPrepareTraining() {
    LogAndShow("准备接收TCF训练序列");
    int result = EnterDataMode(Direction::Receive, m_nModulation);
    if (result == kResultOk) return FaxState::ReceiveTraining;
    if (result == kResultAlternative) return FaxState::SendFtt;
    // A training lost on the line leaves the modem silent; the caller hears no answer and sends
    // its DCS again after T4.
    if (result == kResultCarrierError || result == kResultTimeout)
        return BackToFrames(FaxState::ReceiveCommand, kFaxErrPrepareTraining);
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrPrepareTraining);
}

FaxState CFaxReceiver::DoSendFtt() {
    Log("发送FTT");
    // The caller answers FTT with a new DCS, mostly at a lower rate: that DCS chooses the rate.
    m_session.dcsSeen = false;
    int result = SendFrame(FrameFinal::Yes, kFcfFtt, 0);
    if (result == kResultOk) return FaxState::ReceiveCommand;
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrSendFtt);
}

FaxState CFaxReceiver::DoReceiveTraining() {
    LogAndShow("正在接收训练序列");
    const int check = CheckTraining();
    if (check != kResultOk) {
        m_nFaxError = kFaxErrTraining;
        // A judged TCF was read to its end; NO CARRIER follows.
        const int end =
            check == kResultAlternative
                ? WaitResponse(kResNoCarrier, kResError, m_timeouts.carrierEndMs, ClearAll::Yes)
                : EndTrainingCarrier();
        if (end == kResultCancelled) return FaxState::Cancelled;
        return FaxState::SendFtt;
    }
    // A later training that passes clears the failure: the fax can still arrive whole.
    if (m_nFaxError == kFaxErrTraining) m_nFaxError = kFaxErrNone;
    int result = WaitResponse(kResNoCarrier, kResError, m_timeouts.carrierEndMs, ClearAll::Yes);
    if (result == kResultOk) return FaxState::SendCfr;
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrTrainingEnd);
}

FaxState CFaxReceiver::DoSendCfr() {
    LogAndShow("训练序列接收正确");
    int result = SendFrame(FrameFinal::Yes, kFcfCfr, 0);
    if (result == kResultOk) return FaxState::PreparePage;
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrSendCfr);
}

FaxState CFaxReceiver::DoPreparePage() {
    LogAndShow("准备接收页面数据");
    int result = EnterDataMode(Direction::Receive, m_nPageModulation);
    if (result == kResultOk) {
        // Page data are appended at the end.
        return m_session.ecm ? FaxState::ReceiveEcmBlock : FaxState::ReceivePage;
    }
    // With error correction a block whose training was lost on the line is no loss: the PPS
    // after it follows, and PPR asks for every frame.
    if (result == kResultTimeout && m_session.ecm) {
        Log("未收到页面数据，等待PPS");
        return BackToFrames(FaxState::ReceiveEcmCommand, kFaxErrPreparePage);
    }
    if (result == kResultCarrierError) {
        // Before the first page the caller missed CFR and repeats DCS; after one, it missed MCF
        // and repeats its post-page command (with error correction, its PPS, EOR or CTC).
        // With error correction it may also be the PPS of a block we did not hear at all.
        if (m_session.ecm) return BackToFrames(FaxState::ReceiveEcmCommand, kFaxErrPreparePage);
        return BackToFrames(
            m_pageFile.Pages() == 0 ? FaxState::ReceiveCommand : FaxState::ReceivePostPage,
            kFaxErrPreparePage);
    }
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrPreparePage);
}

// AT+FRM found the caller still sending frames: read the frame instead of waiting for the data
// carrier. The DCS that follows decides the rate anew.
FaxState CFaxReceiver::BackToFrames(FaxState next, int error) {
    if (++m_session.carrierErrors > kCarrierErrorsAllowed) return Fail(error);
    const bool postPage = next == FaxState::ReceivePostPage || next == FaxState::ReceiveEcmCommand;
    Log(postPage ? "对方重发页后命令，再次应答" : "对方重发命令，重新接收");
    m_session.dcsSeen = false;
    return next;
}

FaxState CFaxReceiver::DoReceivePage() {
    LogAndShow("正在接收页面数据");
    if (!m_pageFile.BeginPage()) {
        Log("写入页面文件失败");
        return Fail(kFaxErrPageFileWrite);
    }
    int result = ReceivePageData();
    if (result == kResultOk)
        result = WaitResponse(kResNoCarrier, kResError, m_timeouts.carrierEndMs, ClearAll::Yes);
    if (result == kResultOk) return FaxState::PageDone;
    if (result == kResultCancelled) return FaxState::Cancelled;
    if (result == kResultFileWrite) {
        Log("写入页面文件失败");
        return Fail(kFaxErrPageFileWrite);
    }
    return Fail(kFaxErrReceivePage);
}

FaxState CFaxReceiver::DoPageDone() {
    LogAndShow("本页接收完毕");
    if (!m_pageFile.EndPage()) {
        Log("写入页面文件失败");
        return Fail(kFaxErrPageFileWrite);
    }
    return FaxState::ReceivePostPage;
}

FaxState CFaxReceiver::DoReceivePostPage() {
    m_nFrameLen = 0;
    int result = ReceiveFrame();
    if (result == kResultOk) {
        m_session.damageSeen = false;
        return DispatchPostPage();
    }
    if (result == kResultCancelled) return FaxState::Cancelled;
    if (!WithinT2OfDamage()) return Fail(kFaxErrPostPage);
    if (m_nFrameLen == 0) {
        Log("未收到页后命令，重新接收");
        return FaxState::ReceivePostPage;
    }
    // The frame came, damaged: the caller waits for our response, so ask for the repeat.
    Log("页后命令损坏，发送CRP");
    result = SendFrame(FrameFinal::Yes, kFcfCrp, 0);
    if (result == kResultOk) return FaxState::ReceivePostPage;
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrPostPage);
}

FaxState CFaxReceiver::DispatchPostPage() {
    const uint8_t fcf = m_frame[kFrameFcfPos] & kFcfMask;
    int result = kResultOk;
    switch (fcf) {
        case kFcfMps:
            LogAndShow("准备接收下一页");
            if (m_pageFile.Full()) {
                // The header counts pages in one byte: end the call rather than lose count.
                Log("页数已达255，拒绝接收后续页面");
                SendFrame(FrameFinal::Yes, kFcfDcn, 0);
                return Fail(kFaxErrTooManyPages);
            }
            result = SendFrame(FrameFinal::Yes, kFcfMcf, 0);
            if (result == kResultOk) return FaxState::PreparePage;
            break;
        case kFcfEop:
            LogAndShow("收到EOP");
            result = SendFrame(FrameFinal::Yes, kFcfMcf, 0);
            if (result == kResultOk) return FaxState::ReceiveFinalDcn;
            break;
        case kFcfEom:
            LogAndShow("收到EOM");
            return Fail(kFaxErrEom);
        case kFcfDcn:
            LogAndShow("收到DCN");
            return Fail(kFaxErrDcnAfterPage);
        default:
            return Fail(kFaxErrUnexpectedPostPage);
    }
    if (result == kResultCancelled) return FaxState::Cancelled;
    return Fail(kFaxErrSendMcf);
}

// After EOP and MCF only DCN is to come, or EOP again when our MCF was lost.
FaxState CFaxReceiver::DoReceiveFinalDcn() {
    m_nFrameLen = 0;
    int result = ReceiveFrame();
    const uint8_t fcf = m_frame[kFrameFcfPos] & kFcfMask;
    // With error correction the caller repeats its PPS-EOP.
    if (result == kResultOk && (fcf == kFcfEop || (m_session.ecm && fcf == kFcfPps))) {
        Log("再次收到EOP，重发MCF");
        result = SendFrame(FrameFinal::Yes, kFcfMcf, 0);
        if (result == kResultOk) return FaxState::ReceiveFinalDcn;
        if (result == kResultCancelled) return FaxState::Cancelled;
        return Fail(kFaxErrSendMcf);
    }
    if (result == kResultOk) return FaxState::Finish;
    if (result == kResultCancelled) return FaxState::Cancelled;
    const bool damagedFrame = m_nFrameLen > 0;
    m_session.finalFrameDamaged |= damagedFrame;
    if (result != kResultTimeout && WithinT2OfDamage()) {
        Log(damagedFrame ? "结束帧损坏，重新接收" : "未收到结束帧，重新接收");
        return FaxState::ReceiveFinalDcn;
    }
    // A damaged frame and then nothing more: it was the DCN, and the caller has gone.
    if (m_session.finalFrameDamaged) {
        Log("未收到完整的DCN，结束接收");
        return FaxState::Finish;
    }
    // Every page was confirmed and is stored, and the caller did not repeat its last command:
    // a DCN lost on the line does not undo the fax.
    Log("未收到DCN，传真已完整接收");
    return FaxState::Finish;
}

FaxState CFaxReceiver::DoError() {
    LogAndShow("传真接收错误");
    return FaxState::Finish;
}

FaxState CFaxReceiver::DoCancelled() {
    LogAndShow("用户取消操作");
    m_nFaxError = kFaxErrCancelled;
    return FaxState::Finish;
}

FaxState CFaxReceiver::DoFinish() {
    m_pComm->Close();
    LogAndShow("传真接收结束");
    return FaxState::End;
}

void CFaxReceiver::FinalReport() {
    if (m_nFaxError == kFaxErrNone) {
        SetStatus("接收传真成功");
        Log("接收传真成功");
    } else if (m_nFaxError == kFaxErrCancelled) {
        LogAndShow("用户取消传真");
    } else {
        LogAndShow("接收传真失败");
        char text[32];
        std::snprintf(text, sizeof text, "错误号：%d", m_nFaxError);
        Log(text);
    }
    m_pageFile.Close();
    Log("传真接收结束");
}

// The call flow: (re)open the line, count rings, answer, greet, record, and start over after
// every call.

#include <QTimer>
#include <chrono>
#include <thread>

#include "app/answering_dlg.h"
#include "audio/wave_check.h"
#include "platform/message_box.h"
#include "platform/paths.h"

namespace {

constexpr uintptr_t kEventRing = LINEDEVSTATE_RINGING;  // also LINECALLSTATE_OFFERING
constexpr uintptr_t kEventFaxTone = LINEMEDIAMODE_G3FAX;
// The value of LINECALLSTATE_UNKNOWN too, which would only read the number again.
constexpr uintptr_t kEventCallerId = LINECALLINFOSTATE_CALLERID;
constexpr char kLineLostText[] = "线路中断，正在重新打开...";
constexpr char kOutOfServicePrefix[] = "线路不可用：";
constexpr char kLineBackText[] = "线路已恢复";

constexpr uint32_t kGreetingResource = 158;
constexpr uint32_t kToneResource = 159;
constexpr uint32_t kBeforeGreetingMs = 100;
constexpr uint32_t kAfterToneMs = 1000;
constexpr uint32_t kAfterLimitSleepMs = 1000;
// A fax machine calling gives up after 35-60 s without an answer: no greeting plays longer.
constexpr uint64_t kGreetingLimitMs = 60000;
constexpr char kCallerIdLogPrefix[] = "来电号码: ";
constexpr char kCallerUnknownText[] = "未知";
constexpr char kBlockedLogText[] = "拒接来电，立即挂断";
// Caller id comes before the first ring or between the first two: after the second ring a
// caller without one is known to be unknown.
constexpr uint32_t kRingsToKnowCaller = 2;

}  // namespace

bool CAnsweringDlg::StartWaiting() {
    AnnounceMessage();  // the call that recorded it is over
    WriteCallRecord();
    ++m_waitingSerial;
    KillRecordTimer();
    faxWindowOpen = 1;
    faxDetected = 0;
    manualFaxBusy = 0;
    m_line.ringCount = 0;
    m_strCallerId.clear();
    m_callCaller.clear();  // a caller who gives up before the number is not the last one
    m_blocking = false;
    m_callConnected = false;

    FindProgramFolder();
    if (!EnsureFolders()) {
        EndOnError();
        return false;
    }
    CreateFaxTempFile();
    if (!LoadSettings()) {
        EndOnError();
        return false;
    }
    m_line.SetFaxTempFile(faxTempFile);
    return OpenLine();
}

// A line that cannot be opened at start ends the program; one that was open before is lost (a
// modem unplugged, a virtual one restarted) and is tried again every few seconds meanwhile.
bool CAnsweringDlg::OpenLine() {
    const bool retrying = m_lineRetryTimerId != 0;
    m_line.SetStepLog(retrying ? CTapiLine::StepLog::Off : CTapiLine::StepLog::On);
    const char* failure = !m_line.Initialize(this) ? "线路初始化失败！"
                          : !m_line.Open()         ? "线路打开失败！"
                                                   : nullptr;
    m_line.SetStepLog(CTapiLine::StepLog::On);
    if (failure) {
        m_line.Shutdown();  // a service that found no usable line is still ended
        if (m_lineWasOpen) {
            OnLineLost();
            return true;
        }
        platform::ShowMessageBox(this, failure, "错误", platform::MsgIcon::Error,
                                 platform::MsgButtons::Ok);
        EndOnError();
        return false;
    }
    if (retrying) m_line.Log(kLineBackText);
    KillLineRetryTimer();
    m_lineWasOpen = true;
    TakeLineService();
    SetStatusText(WaitingText());
    callState = CallState::Waiting;
    return true;
}

// An open line may bring no calls (a SIP line that cannot start): the window says so instead of
// waiting in silence, and the log has a line each time that changes.
bool CAnsweringDlg::TakeLineService() {
    std::string reason;
    const std::string text =
        m_line.OutOfService(&reason) ? kOutOfServicePrefix + reason : std::string();
    if (text == m_outOfServiceText) return false;
    m_line.Log(text.empty() ? kLineBackText : text);
    m_outOfServiceText = text;
    return true;
}

std::string CAnsweringDlg::WaitingText() const {
    return m_outOfServiceText.empty() ? "等待呼叫..." : m_outOfServiceText;
}

void CAnsweringDlg::OnLineService() {
    if (TakeLineService() && callState == CallState::Waiting) SetStatusText(WaitingText());
}

void CAnsweringDlg::OnLineLost() {
    m_line.Shutdown();
    AnnounceMessage();
    WriteCallRecord();
    callState = CallState::Idle;
    if (m_lineRetryTimerId != 0) return;
    m_line.Log("线路中断");
    SetStatusText(kLineLostText);
    m_lineRetryTimerId = startTimer(static_cast<int>(kLineRetryMs));
}

intptr_t CAnsweringDlg::OnLineEvent(uintptr_t wParam, intptr_t) {
    switch (wParam) {
        case kEventRing:
            if (callState == CallState::Waiting) {
                callState = CallState::Ringing;
                BeginCallRecord(CallOutcome::Unanswered);
            }
            if (callState == CallState::Answered) break;
            SetStatusText("电话机振铃...");
            // Caller id arrives before the first ring or between the first two.
            if (const std::string caller = m_line.CallerId(); !caller.empty()) {
                m_strCallerId = QString::fromStdString(caller);
            }
            m_blocking = CallerIsBlocked();
            if (m_line.ringCount < m_line.ringsToAnswer && !m_blocking) {
                ++m_line.ringCount;
                break;
            }
            SetStatusText("正在应答呼叫");
            m_line.Log(kCallerIdLogPrefix + (m_strCallerId.isEmpty()
                                                 ? std::string(kCallerUnknownText)
                                                 : m_strCallerId.toStdString()));
            m_callCaller = m_strCallerId.toStdString();
            SetCallOutcome(m_blocking ? CallOutcome::Blocked : CallOutcome::NoMessage);
            // Taking the call stops the telephones in the house ringing; hanging up ends it.
            if (m_blocking) m_line.Log(kBlockedLogText);
            m_line.Answer();
            callState = CallState::Answered;
            break;
        case kEventCallerId:
            TakeCallerId();
            break;
        case LINECALLSTATE_CONNECTED:
            if (callState != CallState::Answered) break;
            m_callConnected = true;
            if (m_blocking) {
                m_line.Shutdown();
                StartWaiting();
                break;
            }
            PlayGreetingAndRecord();
            break;
        case kEventFaxTone:
            m_line.Log("接收传真信号");
            m_line.MonitorFax(false);
            if (faxWindowOpen == 1) {
                faxDetected = 1;
                faxWindowOpen = 0;
                m_line.StopPlaying();  // ends a greeting still playing
            }
            break;
        case LINECALLSTATE_DISCONNECTED:
            SetStatusText("对方已经挂机");
            // Deliberate re-entry: this runs inside the line's own callback, yet closes that
            // line and opens it afresh; the callback touches nothing of the old line after us.
            m_line.Shutdown();
            StartWaiting();
            break;
        case LINECALLSTATE_IDLE:
            m_line.Shutdown();
            StartWaiting();
            break;
        default:
            break;
    }
    return 0;
}

void CAnsweringDlg::OnStop() {
    platform::MsgAnswer answer =
        platform::ShowMessageBox(this, "是否取消当前操作？", "确认", platform::MsgIcon::Stop,
                                 platform::MsgButtons::OkCancel);
    if (answer != platform::MsgAnswer::Ok) return;
    m_line.CancelFax();
    m_line.Shutdown();
    StartWaiting();
}

// Every wait below dispatches messages, so the call may end (and the line be opened afresh by
// a nested StartWaiting) inside it; the sequence then ends at once and leaves the new call's
// flags alone.
void CAnsweringDlg::PlayGreetingAndRecord() {
    const uint32_t serial = m_waitingSerial;
    auto callEnded = [this, serial] { return m_waitingSerial != serial || m_ended; };

    SetStatusText("正在播放欢迎词");
    m_line.Log("播放欢迎词");
    m_line.Wait(kBeforeGreetingMs);
    if (callEnded()) return;
    PlayGreeting();
    if (callEnded()) return;
    m_line.StopPlaying();

    bool faxTone = FaxWindowSawTone(serial);
    if (callEnded()) return;
    faxWindowOpen = 0;
    if (faxTone) {
        RunAutomaticFax();
        return;
    }

    // A tone that cannot be played means the call has gone: no recording.
    if (!m_line.PlayResource(kToneResource) || callEnded()) return;
    m_line.StopPlaying();
    m_line.Wait(kAfterToneMs);
    if (callEnded()) return;

    const platform::LocalTime now = platform::GetLocalTime();
    messageFile = programFolder + "wav/" + FormatStamp(now) + ".wav";
    // Claimed only once it runs: a file that cannot be written (a full disk) has been reported,
    // and the call has nothing more to do.
    const std::string file = messageFile;
    if (!m_line.StartRecording(file)) {
        if (callEnded()) return;
        m_line.Shutdown();
        StartWaiting();
        return;
    }
    // The caller hung up while the recording started: the call's end came before its file.
    if (callEnded()) {
        DiscardEmptyMessage(file);
        return;
    }
    m_recordTimerId = startTimer(static_cast<int>(m_line.recordLimitMs), Qt::PreciseTimer);
    StartListening();
    SetStatusText("正在录制留言");
}

void CAnsweringDlg::EndRecording() {
    if (m_recordTimerId == 0) return;  // armed exactly while a recording runs
    KillRecordTimer();
    m_line.StopRecording();
}

bool CAnsweringDlg::CallerIsBlocked() const {
    const std::string caller = m_strCallerId.toStdString();
    if (CTapiLine::IsNumber(caller)) return m_blockList.Blocks(caller);
    const bool knownUnknown = !caller.empty() || m_line.ringCount + 1 >= kRingsToKnowCaller ||
                              m_line.ringCount >= m_line.ringsToAnswer;
    return knownUnknown && m_blockList.BlocksUnknown();
}

// A modem that tells the number after the first ring tells it after the answer when that ring
// is answered: the call takes it then, and a caller it blocks is hung up all the same.
void CAnsweringDlg::TakeCallerId() {
    const QString caller = QString::fromStdString(m_line.CallerId());
    if (caller.isEmpty() || caller == m_strCallerId) return;
    // Told after a ring the call was read at: a caller who gives up before the next one is
    // still known in the call log.
    if (callState == CallState::Ringing) m_strCallerId = caller;
    if (callState != CallState::Answered) return;
    m_strCallerId = caller;
    m_callCaller = caller.toStdString();
    m_line.Log(kCallerIdLogPrefix + m_callCaller);
    const bool blocking = CallerIsBlocked();
    if (blocking == m_blocking) return;
    // Blocked as unknown at the answer, the caller may turn out to have a number that is not.
    m_blocking = blocking;
    SetCallOutcome(m_blocking ? CallOutcome::Blocked : CallOutcome::NoMessage);
    if (!m_blocking) return;
    m_line.Log(kBlockedLogText);
    if (!m_callConnected) return;  // the connection hangs up
    m_line.CancelFax();
    m_line.Shutdown();
    if (!messageFile.empty()) platform::RemoveFile(messageFile);
    messageFile.clear();
    StartWaiting();
}

// The user's welcome.wav where the line can play it, cut at the limit; else the built-in one.
void CAnsweringDlg::PlayGreeting() {
    const std::string welcome = programFolder + "welcome.wav";
    if (!platform::PathExists(welcome)) {
        m_line.PlayResource(kGreetingResource);
        return;
    }
    uint64_t lengthMs = 0;
    const std::string problem = wave_check::ProblemForLine(welcome, lengthMs);
    if (!problem.empty()) {
        m_line.Log("欢迎词文件 " + welcome + " 无法播放(" + problem + ")，改用内置欢迎词");
        m_line.PlayResource(kGreetingResource);
        return;
    }
    QTimer cut;
    cut.setSingleShot(true);
    if (lengthMs > kGreetingLimitMs) {
        m_line.Log("欢迎词文件 " + welcome + " 长于60秒，只播放前60秒");
        connect(&cut, &QTimer::timeout, this, [this] { m_line.StopPlaying(); });
        cut.start(static_cast<int>(kGreetingLimitMs));
    }
    m_line.PlayFile(welcome);
}

// The fax window after the greeting: the flag is tested after each message, the time after it.
bool CAnsweringDlg::FaxWindowSawTone(uint32_t waitingSerial) {
    const uint32_t start = platform::TickCountMs();
    for (;;) {
        platform::PumpOneMessage();
        if (m_waitingSerial != waitingSerial || m_ended) return false;
        if (faxDetected == 1) return true;
        const uint32_t now = platform::TickCountMs();
        if (platform::TickDeadlinePassed(start, m_faxWindowMs, now)) return false;
        platform::WaitForActivity(-1, platform::TicksLeft(start, m_faxWindowMs, now));
    }
}

void CAnsweringDlg::OnRecordLimit(int) {
    KillRecordTimer();
    m_line.Shutdown();
    std::this_thread::sleep_for(std::chrono::milliseconds(kAfterLimitSleepMs));
    StartWaiting();
}

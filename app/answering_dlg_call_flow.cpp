// The call flow: (re)open the line, count rings, answer, and start over after every call.

#include "app/answering_dlg.h"
#include "platform/message_box.h"

namespace {

constexpr uintptr_t kEventRing = LINEDEVSTATE_RINGING;  // also LINECALLSTATE_OFFERING
constexpr uintptr_t kEventFaxTone = LINEMEDIAMODE_G3FAX;

}  // namespace

bool CAnsweringDlg::StartWaiting() {
    KillRecordTimer();
    faxWindowOpen = 1;
    faxDetected = 0;
    manualFaxBusy = 0;
    m_line.ringCount = 0;

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
    const char* failure = !m_line.Initialize(this) ? "线路初始化失败！"
                          : !m_line.Open()         ? "线路打开失败！"
                                                   : nullptr;
    if (failure) {
        m_line.Shutdown();  // a service that found no usable line is still ended
        platform::ShowMessageBox(this, failure, "错误", platform::MsgIcon::Error,
                                 platform::MsgButtons::Ok);
        EndOnError();
        return false;
    }
    SetStatusText("等待呼叫...");
    callState = CallState::Waiting;
    return true;
}

intptr_t CAnsweringDlg::OnLineEvent(uintptr_t wParam, intptr_t) {
    switch (wParam) {
        case kEventRing:
            if (callState == CallState::Waiting) callState = CallState::Ringing;
            if (callState == CallState::Answered) break;
            SetStatusText("电话机振铃...");
            if (m_line.ringCount < m_line.ringsToAnswer) {
                ++m_line.ringCount;
                break;
            }
            SetStatusText("正在应答呼叫");
            m_line.Answer();
            callState = CallState::Answered;
            break;
        case LINECALLSTATE_CONNECTED:
            // The greeting sequence starts here once the voice paths exist.
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
    m_line.m_faxReceiver.m_bCancel = 1;  // a running reception ends at its next check
    m_line.Shutdown();
    StartWaiting();
}

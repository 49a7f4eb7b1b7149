#include "app/answering_dlg.h"

#include <unistd.h>

#include <QCloseEvent>
#include <QEventLoop>
#include <QTimerEvent>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/exit_signals.h"
#include "app/headless_console.h"
#include "platform/message_box.h"
#include "platform/paths.h"

CAnsweringDlg::CAnsweringDlg() : QDialog(nullptr) {
    BuildWindow();
    OnCreate();
    platform::SetMessageBoxLog([this](const std::string& text) { m_line.Log(text); });
}

CAnsweringDlg::~CAnsweringDlg() {
    m_line.m_voiceChannel.SetRecordTap(nullptr);
    platform::SetMessageBoxLog(nullptr);
    RemoveFaxTempFile();
}

int CAnsweringDlg::DoModal() {
    // A request to end from the session or the terminal takes the exit command's path, so the
    // call is hung up, the temporary file removed and the skin kept.
    m_exitSignals = std::make_unique<CExitSignals>([this] {
        if (!m_ended) OnExit();
    });
    if (platform::IsHeadless()) {
        m_console =
            std::make_unique<CHeadlessConsole>(STDIN_FILENO, [this](const std::string& command) {
                if (command == "stop")
                    OnStop();
                else if (command == "receive-fax")
                    OnReceiveFax();
                else if (command == "exit")
                    OnExit();
                else
                    std::fprintf(stderr, "unknown command: %s\n", command.c_str());
            });
    }
    if (OnInitDialog() && !m_ended) {
        // The window's own loop, also headless where the window never shows: QDialog::exec()
        // would end as soon as the window hides to the tray.
        if (!platform::IsHeadless()) show();
        QEventLoop loop;
        m_mainLoop = &loop;
        loop.exec();
        m_mainLoop = nullptr;
    }
    m_line.Shutdown();  // every way out ends the use of the telephony service, not only exit
    RemoveFaxTempFile();
    return QDialog::Accepted;
}

bool CAnsweringDlg::OnInitDialog() {
    setWindowIcon(m_programIcon);
    if (!m_line.OpenLog()) {
        std::fprintf(stderr, "vantoro: cannot open the log %s: %s\n",
                     CFaxReceiver::LogFilePath().c_str(), std::strerror(errno));
        EndOnError();
        return false;
    }
    if (!StartWaiting()) return false;
    SetUpInbox();
    if (!ApplySkin(skinNumber)) {
        EndOnError();
        return false;
    }
    return true;
}

void CAnsweringDlg::OnOK() {
    m_ended = true;
    if (m_mainLoop) m_mainLoop->quit();
    hide();
}

void CAnsweringDlg::EndOnError() {
    m_exitCode = 1;
    OnOK();
}

void CAnsweringDlg::RemoveFaxTempFile() {
    if (!faxTempFile.empty() && platform::PathExists(faxTempFile)) {
        platform::RemoveFile(faxTempFile);
    }
}

void CAnsweringDlg::reject() {}

void CAnsweringDlg::closeEvent(QCloseEvent* event) {
    // Only the OK path may end the window; a close request from the desktop is ignored.
    if (!m_ended) event->ignore();
}

void CAnsweringDlg::SetStatusText(const std::string& text) {
    m_statusText = text;
    m_statusLabel.SetText(QString::fromStdString(text));
    if (platform::IsHeadless()) {
        std::fprintf(stdout, "%s\n", text.c_str());
        std::fflush(stdout);
    }
}

intptr_t CAnsweringDlg::HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
        case platform::WM_LINE_EVENT:
            return OnLineEvent(wParam, lParam);
        case platform::WM_TRAY_NOTIFY:
            return OnTrayNotify(wParam, lParam);
        case platform::WM_LINE_LOST:
            OnLineLost();
            return 0;
        case platform::WM_LINE_SERVICE:
            OnLineService();
            return 0;
        case platform::WM_FAX_STATUS:
            return OnFaxStatus();
        default:
            return 0;
    }
}

void CAnsweringDlg::KillRecordTimer() {
    StopListening();  // every end of a recording comes here
    if (m_recordTimerId != 0) killTimer(m_recordTimerId);
    m_recordTimerId = 0;
}

void CAnsweringDlg::KillLineRetryTimer() {
    if (m_lineRetryTimerId != 0) killTimer(m_lineRetryTimerId);
    m_lineRetryTimerId = 0;
}

void CAnsweringDlg::timerEvent(QTimerEvent* event) {
    if (m_lineRetryTimerId != 0 && event->timerId() == m_lineRetryTimerId) {
        OpenLine();
        return;
    }
    if (m_recordTimerId != 0 && event->timerId() == m_recordTimerId) {
        OnRecordLimit(IDT_RECORD_LIMIT);
        return;
    }
    QDialog::timerEvent(event);
}

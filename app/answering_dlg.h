#pragma once
#include <QDialog>
#include <cstdint>
#include <memory>
#include <string>

#include "line/tapi_line.h"
#include "platform/clock.h"
#include "platform/messages.h"

class QEventLoop;
class QLabel;
class QPushButton;
class CHeadlessConsole;

// The main window. Its modal run is the program's main loop; it holds the line object and runs
// the call flow inside its message handlers.
class CAnsweringDlg : public QDialog, public platform::MessageTarget {
public:
    enum class CallState : uint32_t { Idle = 0, Waiting = 1, Ringing = 2, Answered = 3 };

    static constexpr int IDT_RECORD_LIMIT = 1001;

    CAnsweringDlg();
    ~CAnsweringDlg() override;

    int DoModal();
    // 0 after the exit command; non-zero when the program ends on an error.
    int ExitCode() const { return m_exitCode; }

    // Window messages.
    intptr_t HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

    // Call flow.
    bool StartWaiting();
    intptr_t OnLineEvent(uintptr_t wParam, intptr_t lParam);
    void OnStop();
    void OnReceiveFax();
    void OnExit();

    // Settings and storage folders.
    void FindProgramFolder();
    bool EnsureFolders();
    void CreateFaxTempFile();
    bool LoadSettings();
    void SaveSkin();
    std::string MakeTimestampName(const std::string& subfolder, const std::string& extension) const;
    static std::string FormatStamp(const platform::LocalTime& time);

    const std::string& StatusText() const { return m_statusText; }
    CallState GetCallState() const { return callState; }
    CTapiLine& Line() { return m_line; }

    std::string programFolder;
    std::string faxTempFile;
    uint32_t skinNumber = 1;

    void reject() override;  // Esc and the close request do nothing

protected:
    void closeEvent(QCloseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    bool OnInitDialog();
    void OnOK();
    void EndOnError();
    void RemoveFaxTempFile();
    void SetStatusText(const std::string& text);
    void KillRecordTimer();
    void BuildWindow();

    CTapiLine m_line;
    CallState callState = CallState::Idle;
    uint32_t faxWindowOpen = 0;
    uint32_t faxDetected = 0;
    uint32_t manualFaxBusy = 0;
    int m_recordTimerId = 0;
    bool m_ended = false;
    int m_exitCode = 0;
    std::string m_statusText;

    QLabel* m_statusLabel = nullptr;
    QLabel* m_dateLabel = nullptr;
    std::unique_ptr<CHeadlessConsole> m_console;
    QEventLoop* m_headlessLoop = nullptr;
};

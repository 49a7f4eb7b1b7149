#pragma once
#include <QDialog>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QRegion>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/block_list.h"
#include "app/call_log.h"
#include "app/inbox_channel.h"
#include "app/inbox_model.h"
#include "app/inbox_window.h"
#include "app/live_listener.h"
#include "app/notifier.h"
#include "app/notify_command.h"
#include "line/tapi_line.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "skin/skin_button.h"
#include "skin/skin_label.h"

class QEventLoop;
class CExitSignals;
class CHeadlessConsole;

// The main window. Its modal run is the program's main loop; it holds the line object and runs
// the call flow inside its message handlers.
class CAnsweringDlg : public QDialog, public platform::MessageTarget {
public:
    enum class CallState : uint32_t { Idle = 0, Waiting = 1, Ringing = 2, Answered = 3 };

    static constexpr int IDT_RECORD_LIMIT = 1001;
    // A lost line is opened again this often until it is back.
    static constexpr uint32_t kLineRetryMs = 3000;

    // Controls of the window's template.
    static constexpr int IDC_RECEIVE_FAX = 1000;
    static constexpr int IDC_STOP = 1001;
    static constexpr int IDC_FAX_FOLDER = 1019;
    static constexpr int IDC_WAV_FOLDER = 1020;
    static constexpr int IDC_SKIN = 1021;
    static constexpr int IDC_STATUS = 1023;
    static constexpr int IDC_EXIT = 1024;
    static constexpr int IDC_MINIMIZE = 1025;
    static constexpr int IDC_HELP = 1026;
    static constexpr int IDC_SPARE_LABEL = 1027;
    static constexpr int IDC_DATE = 1028;

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
    void OnLineLost();
    void OnLineService();
    void OnStop();
    void OnReceiveFax();
    void OnRecordLimit(int timerId);
    void OnExit();
    intptr_t OnFaxStatus();

    // Settings and storage folders.
    void FindProgramFolder();
    bool EnsureFolders();
    void CreateFaxTempFile();
    bool LoadSettings();
    void SaveSkin();
    std::string MakeTimestampName(const std::string& subfolder, const std::string& extension) const;
    static std::string FormatStamp(const platform::LocalTime& time);

    // Skin, shape and painting of the window.
    bool ApplySkin(uint32_t skinNumber);
    QRegion MakeWindowRegion(const QImage& bitmap, QRgb keyColour);
    // The shape of the bitmap's pixels that differ from the key, compared as a screen of that
    // many bits per pixel (8, 16, 24 or 32) would hold them.
    static QRegion RegionFromBitmap(const QImage& bitmap, QRgb keyColour, int bitsPerPixel);
    QIcon OnQueryDragIcon() const { return m_programIcon; }
    QWidget* Control(int id);

    // Window commands and the tray icon.
    intptr_t OnTrayNotify(uintptr_t iconId, intptr_t mouseMessage);
    void OnRestore();
    void OnMinimize();
    void OnOpenWavFolder();
    void OnOpenFaxFolder();
    void OnHelp();
    void OnChangeSkin();
    QMenu& TrayMenu() { return m_trayMenu; }
    bool HidesToTray() const;
    // The inbox (answering_dlg_inbox.cpp): shown with `file` selected when it is listed.
    void OpenInbox(const QString& file = QString());
    CInboxWindow* InboxWindow() { return m_inboxWindow.get(); }
    QSystemTrayIcon* TrayIcon() { return m_trayIcon.get(); }

    const std::string& StatusText() const { return m_statusText; }
    CallState GetCallState() const { return callState; }
    CTapiLine& Line() { return m_line; }

    std::string programFolder;
    std::string faxTempFile;
    std::string messageFile;
    uint32_t skinNumber = 1;
    QString m_strCallerId;  // the offered call's number from the line; empty when unknown

    void reject() override;  // Esc and the close request do nothing

protected:
    void closeEvent(QCloseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool OnInitDialog();
    void OnOK();
    void EndOnError();
    void RemoveFaxTempFile();
    void SetStatusText(const std::string& text);
    void KillRecordTimer();
    bool OpenLine();
    // Reads whether the open line brings calls; true when that changed (then logged).
    bool TakeLineService();
    std::string WaitingText() const;
    void KillLineRetryTimer();
    void BuildWindow();
    void OnCreate();
    void PlaceControls();
    void SetUpControls();
    void RefreshDate();
    void ScheduleDateCheck();
    void OnPaint();
    void OnLButtonDown(const QPoint& point);
    void OnMouseMove(const QPoint& point);
    void OnLButtonUp();
    // Greeting, tone and recording of an answered call (answering_dlg_call_flow.cpp).
    void PlayGreetingAndRecord();
    void PlayGreeting();
    bool FaxWindowSawTone(uint32_t waitingSerial);
    // At a ring: whether the caller is one the user does not take, once the number is known.
    bool CallerIsBlocked() const;
    void TakeCallerId();
    // Fax paths (answering_dlg_fax.cpp); `rawFile` is the raw page file the session wrote.
    void RunAutomaticFax();
    void ReceiveAndStore(const std::string& rawFile);
    void StoreReceivedFax(const std::string& rawFile);
    // Ends a recording that runs (the message is kept) and its time limit.
    void EndRecording();
    // The exit command's clean-up and end, once no reception runs.
    void FinishExit();
    // Notification and the user's command for each stored message and fax
    // (answering_dlg_notify.cpp).
    void AnnounceStored(const StoredItem& item);
    void AnnounceMessage();
    // Deletes a recording with nothing of the caller in it; true when it did.
    bool DiscardEmptyMessage(const std::string& file);
    // The call's line in calls.tsv (answering_dlg_notify.cpp): opened at its first ring or the
    // receive-fax button, its outcome kept up to date, written once when the call is over.
    void BeginCallRecord(CallOutcome outcome);
    void SetCallOutcome(CallOutcome outcome, unsigned count = 0, const std::string& file = "");
    void WriteCallRecord();
    // The inbox's tray entries, count and live listening (answering_dlg_inbox.cpp).
    void SetUpInbox();
    void UpdateInboxCount();
    QIcon MarkedIcon() const;
    bool ListeningWanted() const;
    void SetListening(bool on);
    void StartListening();
    void StopListening();

    CTapiLine m_line;
    CallState callState = CallState::Idle;
    uint32_t faxWindowOpen = 0;
    // How long fax tone is listened for after the greeting.
    static constexpr uint32_t kFaxWindowMs = 5000;
    uint32_t m_faxWindowMs = kFaxWindowMs;
    uint32_t faxDetected = 0;
    uint32_t manualFaxBusy = 0;
    bool m_faxRunning = false;   // a fax path is between its hand-over and storing the pages
    bool m_exitPending = false;  // the exit command waits for that fax path to store them
    int m_recordTimerId = 0;
    // Counts the StartWaiting runs: a sequence that sees it change knows its call has ended.
    uint32_t m_waitingSerial = 0;
    int m_lineRetryTimerId = 0;
    bool m_lineWasOpen = false;      // a line failure then means "lost", no longer "cannot start"
    std::string m_outOfServiceText;  // what the window says while the open line brings no calls
    bool m_ended = false;
    int m_exitCode = 0;
    std::string m_statusText;

    QIcon m_programIcon;
    QPixmap m_skinSurface;
    int32_t m_skinWidth = 0;
    int32_t m_skinHeight = 0;
    bool m_dragging = false;
    QPoint m_dragAnchor;
    QString m_shownDate;
    QTimer m_dateTimer;

    QMenu m_trayMenu;
    std::unique_ptr<QSystemTrayIcon> m_trayIcon;

    CSkinButton m_receiveFaxButton{this};
    CSkinButton m_stopButton{this};
    CSkinButton m_exitButton{this};
    CSkinButton m_faxFolderButton{this};
    CSkinButton m_wavFolderButton{this};
    CSkinButton m_minimizeButton{this};
    CSkinButton m_helpButton{this};
    CSkinButton m_skinButton{this};
    CSkinLabel m_statusLabel{this, CSkinLabel::SS_LEFT};
    CSkinLabel m_spareLabel{this, CSkinLabel::SS_CENTERIMAGE};
    CSkinLabel m_dateLabel{this, CSkinLabel::SS_LEFT};
    std::unique_ptr<CHeadlessConsole> m_console;
    QEventLoop* m_mainLoop = nullptr;
    std::unique_ptr<CExitSignals> m_exitSignals;

    std::optional<CallRecord> m_callRecord;
    CBlockList m_blockList;
    bool m_blocking = false;       // the call is answered only to be hung up
    bool m_callConnected = false;  // the answered call's connection has come
    std::string m_callCaller;      // the number of the call the program took, for what it stores
    CNotifier m_notifier;
    std::unique_ptr<CInboxModel> m_inboxModel;  // none headless
    std::unique_ptr<CInboxWindow> m_inboxWindow;
    std::unique_ptr<CInboxChannel> m_inboxChannel;
    QAction* m_inboxAction = nullptr;
    QAction* m_listenAction = nullptr;
    CLiveListener m_liveListener{[this](const std::string& text) { m_line.Log(text); }};
    CNotifyCommand m_notifyCommand{[this](const std::string& text) { m_line.Log(text); }};
};

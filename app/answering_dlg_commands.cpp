// The window's commands: the tray icon and its menu, hiding and restoring, exit, the folder
// buttons, the help page and the skin button.

#include <QDesktopServices>
#include <QDialog>
#include <QEvent>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "app/answering_dlg.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/resources.h"

namespace {

constexpr uintptr_t kTrayIconId = platform::kIconProgram;
constexpr intptr_t WM_LBUTTONDBLCLK = 0x203;
constexpr uint32_t kExitSettleMs = 300;
constexpr uint32_t kSkinCount = 3;
const QSize kHelpWindowSize(520, 600);

}  // namespace

void CAnsweringDlg::OnCreate() {
    m_trayMenu.addAction(QStringLiteral("还原(&R)"), this, [this] { OnRestore(); })
        ->setStatusTip(QStringLiteral("还原窗口"));
    m_trayMenu.addSeparator();
    m_trayMenu.addAction(QStringLiteral("退出(&E)"), this, [this] { OnExit(); })
        ->setStatusTip(QStringLiteral("退出程序"));
    connect(&m_faxFolderButton, &QPushButton::clicked, this, [this] { OnOpenFaxFolder(); });
    connect(&m_wavFolderButton, &QPushButton::clicked, this, [this] { OnOpenWavFolder(); });
    connect(&m_minimizeButton, &QPushButton::clicked, this, [this] { OnMinimize(); });
    connect(&m_helpButton, &QPushButton::clicked, this, [this] { OnHelp(); });
    connect(&m_skinButton, &QPushButton::clicked, this, [this] { OnChangeSkin(); });

    // Without a tray the window keeps a taskbar button, or hiding it would lose it.
    if (platform::IsHeadless() || !QSystemTrayIcon::isSystemTrayAvailable()) return;
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    m_trayIcon = std::make_unique<QSystemTrayIcon>(m_programIcon);
    m_trayIcon->setToolTip(QStringLiteral("Vantoro 2000"));
    // The right button's menu is the icon's context menu, which the tray host shows itself.
    m_trayIcon->setContextMenu(&m_trayMenu);
    connect(m_trayIcon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    platform::SendMessage(this, platform::WM_TRAY_NOTIFY, kTrayIconId,
                                          WM_LBUTTONDBLCLK);
            });
    m_trayIcon->show();
}

bool CAnsweringDlg::HidesToTray() const {
    return m_trayIcon && m_trayIcon->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

intptr_t CAnsweringDlg::OnTrayNotify(uintptr_t iconId, intptr_t mouseMessage) {
    if (iconId != kTrayIconId) return 0;
    if (mouseMessage == WM_LBUTTONDBLCLK) {
        showNormal();
        raise();
        activateWindow();
    }
    return 0;
}

void CAnsweringDlg::OnRestore() {
    if (isMinimized())
        showNormal();
    else
        show();
}

void CAnsweringDlg::OnMinimize() {
    if (HidesToTray())
        hide();
    else
        showMinimized();
}

void CAnsweringDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // OnSize: a window minimised by the desktop goes to the tray too, once the change is done.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && HidesToTray()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                setWindowState(windowState() & ~Qt::WindowMinimized);
                hide();
            },
            Qt::QueuedConnection);
    }
}

// A reception still running ends as a stop ends it; its fax path then stores the completed
// pages and finishes the exit.
void CAnsweringDlg::OnExit() {
    if (m_ended || m_exitPending) return;
    if (m_faxRunning) {
        m_exitPending = true;
        m_line.CancelFax();
        KillLineRetryTimer();
        m_line.Shutdown();
        return;
    }
    FinishExit();
}

void CAnsweringDlg::FinishExit() {
    m_exitPending = false;
    KillLineRetryTimer();
    m_line.Shutdown();
    AnnounceMessage();  // a message cut short by the exit is stored all the same
    WriteCallRecord();
    m_line.Wait(kExitSettleMs);
    RemoveFaxTempFile();
    if (m_trayIcon) m_trayIcon->hide();
    m_trayIcon.reset();
    m_line.CloseLog();
    SaveSkin();
    OnOK();
}

void CAnsweringDlg::OnOpenWavFolder() {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(programFolder + "wav")));
}

void CAnsweringDlg::OnOpenFaxFolder() {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(programFolder + "fax")));
}

void CAnsweringDlg::OnHelp() {
    QDialog help(this);
    help.setWindowTitle(QStringLiteral("Vantoro 2000"));
    help.setWindowIcon(m_programIcon);
    QVBoxLayout layout(&help);
    QTextBrowser page(&help);
    page.setSource(platform::HelpPageUrl());
    layout.addWidget(&page);
    help.resize(kHelpWindowSize);
    // Modal for the user; line events go on being dispatched by its loop.
    help.exec();
}

void CAnsweringDlg::OnChangeSkin() {
    if (skinNumber >= 1 && skinNumber <= kSkinCount) skinNumber = skinNumber % kSkinCount + 1;
    hide();
    show();
    if (ApplySkin(skinNumber)) return;
    platform::ShowMessageBox(this, "换肤失败！", "错误", platform::MsgIcon::Error,
                             platform::MsgButtons::Ok);
    EndOnError();
}

// The inbox around the main window: its tray entries, the count of new items on the tray icon,
// the --inbox requests of a second copy, and live listening while a message records.

#include <QPainter>
#include <QPixmap>

#include "app/answering_dlg.h"
#include "platform/message_box.h"
#include "platform/profile.h"

namespace {

constexpr char kInboxSection[] = "inbox";
constexpr char kListenKey[] = "listen";
constexpr char kSettingsFileName[] = "vantoro.ini";
constexpr int kIconSize = 32;
const QColor kNewMarkColour(0xE0, 0x20, 0x20);

}  // namespace

void CAnsweringDlg::SetUpInbox() {
    if (platform::IsHeadless()) return;
    m_inboxModel = std::make_unique<CInboxModel>(QString::fromStdString(programFolder));
    QAction* first = m_trayMenu.actions().value(0);
    m_inboxAction = new QAction(&m_trayMenu);
    connect(m_inboxAction, &QAction::triggered, this, [this] { OpenInbox(); });
    m_listenAction = new QAction(QStringLiteral("监听留言"), &m_trayMenu);
    m_listenAction->setCheckable(true);
    m_listenAction->setChecked(ListeningWanted());
    connect(m_listenAction, &QAction::toggled, this, [this](bool on) { SetListening(on); });
    m_trayMenu.insertAction(first, m_inboxAction);
    m_trayMenu.insertAction(first, m_listenAction);
    m_trayMenu.insertSeparator(first);
    // Files the user moved away by hand leave the count when the menu is next opened.
    connect(&m_trayMenu, &QMenu::aboutToShow, this, [this] { UpdateInboxCount(); });
    m_inboxChannel = std::make_unique<CInboxChannel>([this] { OpenInbox(); });
    if (!m_inboxChannel->Listen()) m_line.Log("无法接收 --inbox 请求");
    m_notifier.SetOpener([this](const QString& file) { OpenInbox(file); });
    m_line.m_voiceChannel.SetRecordTap(
        [this](const uint8_t* data, size_t size) { m_liveListener.Feed(data, size); });
    UpdateInboxCount();
}

void CAnsweringDlg::OpenInbox(const QString& file) {
    if (!m_inboxModel) return;
    if (!m_inboxWindow) {
        m_inboxWindow =
            std::make_unique<CInboxWindow>(*m_inboxModel, [this] { UpdateInboxCount(); });
        m_inboxWindow->setWindowIcon(m_programIcon);
        m_inboxWindow->setFont(font());
    }
    m_inboxWindow->ShowItem(file);
    UpdateInboxCount();
}

void CAnsweringDlg::UpdateInboxCount() {
    if (!m_inboxModel) return;
    // An open inbox shows a call stored meanwhile at once.
    if (m_inboxWindow && m_inboxWindow->isVisible()) {
        m_inboxWindow->Refresh();
    } else {
        m_inboxModel->Reload();
    }
    const unsigned messages = m_inboxModel->NewCount(InboxItem::Kind::Message);
    const unsigned faxes = m_inboxModel->NewCount(InboxItem::Kind::Fax);
    m_inboxAction->setText(messages + faxes > 0
                               ? QStringLiteral("收件箱(&I) - %1 条新").arg(messages + faxes)
                               : QStringLiteral("收件箱(&I)"));
    if (!m_trayIcon) return;
    m_trayIcon->setToolTip(
        QStringLiteral("Vantoro 2000\n新留言 %1 条，新传真 %2 份").arg(messages).arg(faxes));
    m_trayIcon->setIcon(messages + faxes > 0 ? MarkedIcon() : m_programIcon);
}

// The program's icon with a red dot in its top right corner.
QIcon CAnsweringDlg::MarkedIcon() const {
    QPixmap pixmap = m_programIcon.pixmap(kIconSize, kIconSize);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::white);
    painter.setBrush(kNewMarkColour);
    const int mark = kIconSize * 7 / 16;
    painter.drawEllipse(kIconSize - mark - 1, 1, mark, mark);
    painter.end();
    return QIcon(pixmap);
}

bool CAnsweringDlg::ListeningWanted() const {
    return platform::GetProfileInt(kInboxSection, kListenKey, 1,
                                   programFolder + kSettingsFileName) != 0;
}

void CAnsweringDlg::SetListening(bool on) {
    platform::WriteProfileString(kInboxSection, kListenKey, on ? "1" : "0",
                                 programFolder + kSettingsFileName);
    if (!on) {
        m_liveListener.Stop();
    } else if (m_recordTimerId != 0) {
        StartListening();
    }
}

void CAnsweringDlg::StartListening() {
    // The setting is read afresh at each call, as the rest of them.
    if (platform::IsHeadless() || !m_inboxModel) return;
    const bool wanted = ListeningWanted();
    {
        const QSignalBlocker quiet(m_listenAction);
        m_listenAction->setChecked(wanted);
    }
    if (!wanted) return;
    const platform::WAVEFORMATEX* format = m_line.m_voiceChannel.RecordFormat();
    m_liveListener.Start(int(format->nSamplesPerSec), int(format->wBitsPerSample));
}

void CAnsweringDlg::StopListening() { m_liveListener.Stop(); }

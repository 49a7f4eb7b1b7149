#include "app/notifier.h"

#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QVariantMap>

#include "platform/message_box.h"

namespace {

// The freedesktop.org notification service's bus name, object and interface.
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");
constexpr int kServerDecidesTimeout = -1;
constexpr int kBalloonMs = 10000;

// Notification servers take the body as markup (GNOME, Plasma and dunst render <b>, <a href> and
// <img src>): what a caller's line sent must arrive as text.
QString EscapedMarkup(const QString& text) {
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QStringLiteral("&#39;"));
}

}  // namespace

CNotifier::CNotifier() {
    if (platform::IsHeadless()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(OnActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(OnClosed(uint, uint)));
}

QString CNotifier::Summary(const StoredItem& item) {
    return item.kind == StoredItem::Kind::Message ? QStringLiteral("新留言")
                                                  : QStringLiteral("新传真");
}

QString CNotifier::Body(const StoredItem& item) {
    const QString caller =
        item.caller.empty() ? QStringLiteral("未知号码") : QString::fromStdString(item.caller);
    const QString size = item.kind == StoredItem::Kind::Message
                             ? QStringLiteral("时长 %1 秒").arg(item.count)
                             : QStringLiteral("共 %1 页").arg(item.count);
    return QStringLiteral("来电：%1，%2").arg(caller, size);
}

void CNotifier::Show(const StoredItem& item, QSystemTrayIcon* tray) {
    if (platform::IsHeadless()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        ShowInTray(item, tray);
        return;
    }
    QDBusMessage notify =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("desktop-entry"), QStringLiteral("vantoro")},
        {QStringLiteral("category"), item.kind == StoredItem::Kind::Message
                                         ? QStringLiteral("im.received")
                                         : QStringLiteral("transfer.complete")}};
    notify << QStringLiteral("Vantoro 2000") << 0u << QStringLiteral("vantoro") << Summary(item)
           << EscapedMarkup(Body(item)) << QStringList{kDefaultAction, QStringLiteral("打开")}
           << hints << kServerDecidesTimeout;
    // The reply comes later; the line is never kept waiting for the desktop.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
    const QString file = QString::fromStdString(item.file);
    QPointer<QSystemTrayIcon> fallback(tray);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, item, file, fallback](QDBusPendingCallWatcher* call) {
                QDBusPendingReply<uint> reply = *call;
                if (reply.isError()) {
                    ShowInTray(item, fallback.data());
                } else {
                    m_files[reply.value()] = file;
                }
                call->deleteLater();
            });
}

void CNotifier::ShowInTray(const StoredItem& item, QSystemTrayIcon* tray) {
    if (!tray || !tray->isVisible()) return;
    m_trayFile = QString::fromStdString(item.file);
    connect(tray, &QSystemTrayIcon::messageClicked, this, &CNotifier::OnTrayClicked,
            Qt::UniqueConnection);
    tray->showMessage(Summary(item), Body(item), QSystemTrayIcon::Information, kBalloonMs);
}

void CNotifier::OnActionInvoked(uint id, const QString& action) {
    auto shown = m_files.find(id);
    if (shown == m_files.end() || action != kDefaultAction) return;
    Open(shown->second);
}

void CNotifier::OnClosed(uint id, uint) { m_files.erase(id); }

void CNotifier::OnTrayClicked() { Open(m_trayFile); }

void CNotifier::Open(const QString& file) {
    if (m_opener) {
        m_opener(file);
    } else {
        QDesktopServices::openUrl(QUrl::fromLocalFile(file));
    }
}

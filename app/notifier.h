#pragma once
#include <QObject>
#include <QString>
#include <functional>
#include <map>

#include "app/stored_item.h"

class QSystemTrayIcon;

// Tells the user of a stored message or fax: a desktop notification through
// org.freedesktop.Notifications on the session bus, or the tray icon's balloon where no
// notification service answers. Its default action (a click) opens the file, or hands it to the
// opener when one is set. Nothing headless.
class CNotifier : public QObject {
    Q_OBJECT
public:
    CNotifier();
    // `tray` is the fallback; null when the program has no tray icon.
    void Show(const StoredItem& item, QSystemTrayIcon* tray);
    void SetOpener(std::function<void(const QString& file)> opener) {
        m_opener = std::move(opener);
    }

    static QString Summary(const StoredItem& item);
    static QString Body(const StoredItem& item);

private slots:
    void OnActionInvoked(uint id, const QString& action);
    void OnClosed(uint id, uint reason);
    void OnTrayClicked();

private:
    void ShowInTray(const StoredItem& item, QSystemTrayIcon* tray);
    void Open(const QString& file);

    std::map<uint, QString> m_files;  // shown notifications and the file each opens
    QString m_trayFile;
    std::function<void(const QString& file)> m_opener;
};

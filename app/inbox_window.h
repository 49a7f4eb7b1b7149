#pragma once
// The inbox: one small ordinary window listing the messages and faxes, newest first, with a
// player for the selected message.

#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <functional>

#include "app/inbox_model.h"
#include "app/message_player.h"

class CInboxWindow : public QWidget {
    Q_OBJECT
public:
    // `changed` runs after every change of the new/heard state or of the list.
    CInboxWindow(CInboxModel& model, std::function<void()> changed);

    // Reloads the list and shows the window, raised, with `file` selected when it is listed.
    void ShowItem(const QString& file = QString());
    void Refresh();
    // What a row says in its columns, for the list and for tests.
    static QStringList RowTexts(const InboxItem& item);

    QTreeWidget& List() { return m_list; }
    CMessagePlayer& Player() { return m_player; }
    QPushButton& PlayButton() { return m_playButton; }
    QPushButton& DeleteButton() { return m_deleteButton; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildLayout();
    const InboxItem* Selected() const;
    void Select(const QString& file);
    void OnPlayPause();
    void OnSeek();
    void OnOpenFax(const InboxItem& item);
    void OnActivated();
    void OnMarkNew();
    void OnDelete();
    void OnPlayedToEnd(const QString& path);
    void UpdateControls();
    void UpdatePosition();

    CInboxModel& m_model;
    std::function<void()> m_changed;
    CMessagePlayer m_player;
    QTreeWidget m_list;
    QPushButton m_playButton;
    QPushButton m_markNewButton;
    QPushButton m_deleteButton;
    QSlider m_position{Qt::Horizontal};
    QLabel m_time;
    QTimer m_positionTimer;
};

#include "app/inbox_window.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QUrl>
#include <QVBoxLayout>

namespace {

constexpr int kPositionUpdateMs = 200;
const QSize kInboxWindowSize(460, 320);

enum Column { kWhenColumn, kWhoColumn, kSizeColumn, kStateColumn, kColumns };

QString Clock(qint64 ms) {
    const qint64 seconds = ms / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

CInboxWindow::CInboxWindow(CInboxModel& model, std::function<void()> changed)
    : m_model(model), m_changed(std::move(changed)) {
    setWindowTitle(QStringLiteral("收件箱 - Vantoro 2000"));
    BuildLayout();
    connect(&m_list, &QTreeWidget::itemSelectionChanged, this, [this] {
        m_player.Stop();
        UpdateControls();
    });
    connect(&m_list, &QTreeWidget::itemActivated, this, [this] { OnActivated(); });
    connect(&m_playButton, &QPushButton::clicked, this, [this] { OnActivated(); });
    connect(&m_markNewButton, &QPushButton::clicked, this, [this] { OnMarkNew(); });
    connect(&m_deleteButton, &QPushButton::clicked, this, [this] { OnDelete(); });
    connect(&m_position, &QSlider::sliderReleased, this, [this] { OnSeek(); });
    connect(&m_player, &CMessagePlayer::PlayedToEnd, this, &CInboxWindow::OnPlayedToEnd);
    connect(&m_player, &CMessagePlayer::StateChanged, this, [this] { UpdateControls(); });
    connect(&m_positionTimer, &QTimer::timeout, this, [this] { UpdatePosition(); });
    m_positionTimer.setInterval(kPositionUpdateMs);
}

void CInboxWindow::BuildLayout() {
    m_list.setColumnCount(kColumns);
    m_list.setHeaderLabels({QStringLiteral("时间"), QStringLiteral("来电"), QStringLiteral("长度"),
                            QStringLiteral("状态")});
    m_list.setRootIsDecorated(false);
    m_list.setUniformRowHeights(true);
    m_list.header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_playButton.setText(QStringLiteral("播放"));
    m_markNewButton.setText(QStringLiteral("标为新"));
    m_deleteButton.setText(QStringLiteral("删除"));
    auto* player = new QHBoxLayout;
    player->addWidget(&m_playButton);
    player->addWidget(&m_position, 1);
    player->addWidget(&m_time);
    auto* commands = new QHBoxLayout;
    commands->addStretch(1);
    commands->addWidget(&m_markNewButton);
    commands->addWidget(&m_deleteButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(&m_list, 1);
    layout->addLayout(player);
    layout->addLayout(commands);
    resize(kInboxWindowSize);
    UpdateControls();
}

QStringList CInboxWindow::RowTexts(const InboxItem& item) {
    const bool message = item.kind == InboxItem::Kind::Message;
    QString size = message ? QStringLiteral("%1 秒").arg(item.count)
                           : QStringLiteral("传真 %1 页").arg(item.count);
    QString state = item.heard ? (message ? QStringLiteral("已听") : QStringLiteral("已看"))
                               : QStringLiteral("新");
    return {item.time, item.caller.isEmpty() ? QStringLiteral("未知号码") : item.caller, size,
            state};
}

void CInboxWindow::ShowItem(const QString& file) {
    Refresh();
    if (!file.isEmpty()) Select(file);
    if (!m_list.currentItem() && m_list.topLevelItemCount() > 0) {
        m_list.setCurrentItem(m_list.topLevelItem(0));
    }
    showNormal();
    raise();
    activateWindow();
}

void CInboxWindow::Refresh() {
    const InboxItem* selected = Selected();
    const QString keep = selected ? selected->file : QString();
    m_model.Reload();
    const QSignalBlocker blocker(m_list);
    m_list.clear();
    for (const InboxItem& item : m_model.Items()) {
        auto* row = new QTreeWidgetItem(RowTexts(item));
        row->setData(0, Qt::UserRole, item.file);
        QFont font = row->font(0);
        font.setBold(!item.heard);
        for (int column = 0; column < kColumns; ++column) row->setFont(column, font);
        m_list.addTopLevelItem(row);
    }
    Select(keep);
    UpdateControls();
}

const InboxItem* CInboxWindow::Selected() const {
    const QTreeWidgetItem* row = m_list.currentItem();
    return row ? m_model.Find(row->data(0, Qt::UserRole).toString()) : nullptr;
}

void CInboxWindow::Select(const QString& file) {
    const InboxItem* item = m_model.Find(file);
    if (!item) return;
    for (int i = 0; i < m_list.topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = m_list.topLevelItem(i);
        if (row->data(0, Qt::UserRole).toString() == item->file) m_list.setCurrentItem(row);
    }
}

void CInboxWindow::OnActivated() {
    const InboxItem* item = Selected();
    if (!item) return;
    if (item->kind == InboxItem::Kind::Fax) {
        OnOpenFax(*item);
    } else {
        OnPlayPause();
    }
}

void CInboxWindow::OnPlayPause() {
    const InboxItem* item = Selected();
    if (!item) return;
    if (m_player.IsPlaying()) {
        m_player.Pause();
        return;
    }
    const QString path = m_model.AbsolutePath(*item);
    if (m_player.File() != path && !m_player.Load(path)) return;
    m_player.Play();
}

void CInboxWindow::OnSeek() {
    const InboxItem* item = Selected();
    if (!item || item->kind != InboxItem::Kind::Message) return;
    const QString path = m_model.AbsolutePath(*item);
    if (m_player.File() != path && !m_player.Load(path)) return;
    m_player.Seek(m_position.value());
}

void CInboxWindow::OnOpenFax(const InboxItem& item) {
    const QString file = item.file;
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(m_model.AbsolutePath(item))) && !item.heard) {
        m_model.SetHeard(file, true);
        Refresh();
        m_changed();
    }
}

void CInboxWindow::OnMarkNew() {
    const InboxItem* item = Selected();
    if (!item || !item->heard) return;
    m_model.SetHeard(item->file, false);
    Refresh();
    m_changed();
}

void CInboxWindow::OnDelete() {
    const InboxItem* item = Selected();
    if (!item) return;
    const QString file = item->file;
    if (m_player.File() == m_model.AbsolutePath(*item)) m_player.Unload();
    m_model.MoveToTrash(file);
    Refresh();
    m_changed();
}

void CInboxWindow::OnPlayedToEnd(const QString& path) {
    const InboxItem* item = m_model.Find(path);
    if (item && !item->heard) {
        m_model.SetHeard(item->file, true);
        Refresh();
        m_changed();
    }
    UpdateControls();
}

void CInboxWindow::UpdateControls() {
    const InboxItem* item = Selected();
    const bool message = item && item->kind == InboxItem::Kind::Message;
    m_playButton.setEnabled(item != nullptr);
    m_playButton.setText(
        !item || message ? (m_player.IsPlaying() ? QStringLiteral("暂停") : QStringLiteral("播放"))
                         : QStringLiteral("打开"));
    m_markNewButton.setEnabled(item && item->heard);
    m_deleteButton.setEnabled(item != nullptr);
    m_position.setEnabled(message);
    if (m_player.IsPlaying()) {
        m_positionTimer.start();
    } else {
        m_positionTimer.stop();
    }
    UpdatePosition();
}

void CInboxWindow::UpdatePosition() {
    const InboxItem* item = Selected();
    const bool loaded =
        item && !m_player.File().isEmpty() && m_player.File() == m_model.AbsolutePath(*item);
    const bool message = item && item->kind == InboxItem::Kind::Message;
    const qint64 durationMs = loaded ? m_player.DurationMs() : message ? item->count * 1000 : 0;
    const qint64 positionMs = loaded ? m_player.PositionMs() : 0;
    m_position.setRange(0, int(durationMs));
    if (!m_position.isSliderDown()) m_position.setValue(int(positionMs));
    m_time.setText(message ? Clock(positionMs) + QStringLiteral(" / ") + Clock(durationMs)
                           : QString());
}

void CInboxWindow::closeEvent(QCloseEvent* event) {
    m_player.Stop();
    event->accept();
}

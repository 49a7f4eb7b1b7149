#include "app/inbox_model.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>
#include <algorithm>

#include "app/call_log.h"

namespace {

enum CallLogColumn { kTime, kCaller, kOutcome, kLength, kFile, kColumnCount };

bool ParseItem(const QString& line, InboxItem* item) {
    const QStringList fields = line.split(QLatin1Char('\t'));
    if (fields.size() < kColumnCount || fields[kFile].isEmpty()) return false;
    if (fields[kOutcome] == QLatin1String(toString(CallOutcome::Message))) {
        item->kind = InboxItem::Kind::Message;
    } else if (fields[kOutcome] == QLatin1String(toString(CallOutcome::Fax))) {
        item->kind = InboxItem::Kind::Fax;
    } else {
        return false;
    }
    item->time = fields[kTime];
    item->caller = fields[kCaller];
    item->count = fields[kLength].toUInt();
    item->file = fields[kFile];
    return true;
}

}  // namespace

CInboxModel::CInboxModel(const QString& programFolder) : m_folder(programFolder) {
    if (!m_folder.endsWith(QLatin1Char('/'))) m_folder += QLatin1Char('/');
}

void CInboxModel::Reload() {
    m_items.clear();
    ReadState();
    QFile log(m_folder + QLatin1String(kCallLogFileName));
    if (!log.open(QIODevice::ReadOnly | QIODevice::Text)) return;
    QTextStream in(&log);
    in.setEncoding(QStringConverter::Utf8);
    std::set<QString> listed;
    for (QString line = in.readLine(); !line.isNull(); line = in.readLine()) {
        InboxItem item;
        if (!ParseItem(line, &item) || !QFileInfo::exists(AbsolutePath(item))) continue;
        // The same file twice would be one item shown twice: the later line wins.
        if (!listed.insert(item.file).second) {
            m_items.erase(std::remove_if(m_items.begin(), m_items.end(),
                                         [&](const InboxItem& i) { return i.file == item.file; }),
                          m_items.end());
        }
        item.heard = m_heard.count(item.file) > 0;
        m_items.push_back(item);
    }
    // The log is appended as calls end; a clock set back must not reorder what came later.
    std::reverse(m_items.begin(), m_items.end());
    std::stable_sort(m_items.begin(), m_items.end(),
                     [](const InboxItem& a, const InboxItem& b) { return a.time > b.time; });
}

const InboxItem* CInboxModel::Find(const QString& file) const {
    for (const InboxItem& item : m_items) {
        if (item.file == file || AbsolutePath(item) == file) return &item;
    }
    return nullptr;
}

QString CInboxModel::AbsolutePath(const InboxItem& item) const {
    return QDir::isAbsolutePath(item.file) ? item.file : m_folder + item.file;
}

unsigned CInboxModel::NewCount(InboxItem::Kind kind) const {
    return unsigned(std::count_if(m_items.begin(), m_items.end(), [kind](const InboxItem& item) {
        return item.kind == kind && !item.heard;
    }));
}

bool CInboxModel::SetHeard(const QString& file, bool heard) {
    const InboxItem* found = Find(file);
    if (!found) return false;
    const QString key = found->file;
    // Another window or a --list may have changed it since: start from what is stored.
    ReadState();
    if (heard) {
        m_heard.insert(key);
    } else {
        m_heard.erase(key);
    }
    const bool written = WriteState();
    Reload();
    return written;
}

bool CInboxModel::MoveToTrash(const QString& file) {
    const InboxItem* found = Find(file);
    if (!found) return false;
    const QString key = found->file;
    // Qt makes only the last folder of the trash: without the data folder it would put the
    // file into the working folder and call that a success.
    const QString dataFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    QString inTrash;
    const bool trashed = !dataFolder.isEmpty() && QDir().mkpath(dataFolder) &&
                         QFile::moveToTrash(AbsolutePath(*found), &inTrash) &&
                         QDir::isAbsolutePath(inTrash);
    if (trashed) {
        ReadState();
        m_heard.erase(key);
        WriteState();
    }
    Reload();
    return trashed;
}

QStringList CInboxModel::ListLines() const {
    QStringList lines;
    for (const InboxItem& item : m_items) {
        const bool message = item.kind == InboxItem::Kind::Message;
        lines << QStringList{item.time,
                             item.caller,
                             message ? QStringLiteral("message") : QStringLiteral("fax"),
                             QString::number(item.count),
                             item.heard ? QStringLiteral("heard") : QStringLiteral("new"),
                             item.file}
                     .join(QLatin1Char('\t'));
    }
    return lines;
}

void CInboxModel::ReadState() {
    m_heard.clear();
    QFile state(m_folder + QLatin1String(kInboxStateFileName));
    if (!state.open(QIODevice::ReadOnly | QIODevice::Text)) return;
    QTextStream in(&state);
    in.setEncoding(QStringConverter::Utf8);
    for (QString line = in.readLine(); !line.isNull(); line = in.readLine()) {
        if (!line.isEmpty()) m_heard.insert(line);
    }
}

// Written whole to a new file and renamed over the old one: a crash keeps the old state.
bool CInboxModel::WriteState() const {
    QSaveFile state(m_folder + QLatin1String(kInboxStateFileName));
    if (!state.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
    QByteArray text;
    for (const QString& file : m_heard) {
        // Files gone need no state; it would only grow.
        if (QFileInfo::exists(QDir::isAbsolutePath(file) ? file : m_folder + file)) {
            text += file.toUtf8() + '\n';
        }
    }
    return state.write(text) == text.size() && state.commit();
}

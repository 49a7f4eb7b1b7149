#pragma once
// The messages and faxes of calls.tsv whose files are still there, newest first, and which of
// them the user has heard or seen. The state lives in inbox-heard.txt in the program folder (one
// file name a line); the WAV and TIFF files themselves are only read or moved to the trash.

#include <QString>
#include <QStringList>
#include <set>
#include <vector>

struct InboxItem {
    enum class Kind { Message, Fax };
    Kind kind = Kind::Message;
    QString time;        // as calls.tsv has it: YYYY-MM-DD HH:MM:SS, local
    QString caller;      // empty when the line did not tell it
    unsigned count = 0;  // seconds or pages
    QString file;        // as calls.tsv names it: relative to the program folder, or absolute
    bool heard = false;
};

constexpr char kInboxStateFileName[] = "inbox-heard.txt";

class CInboxModel {
public:
    explicit CInboxModel(const QString& programFolder);

    // Reads calls.tsv and the state again; files gone since drop out.
    void Reload();
    const std::vector<InboxItem>& Items() const { return m_items; }
    const InboxItem* Find(const QString& file) const;
    QString AbsolutePath(const InboxItem& item) const;
    unsigned NewCount(InboxItem::Kind kind) const;

    // Each returns false when the state or the trash could not take the change.
    bool SetHeard(const QString& file, bool heard);
    bool MoveToTrash(const QString& file);

    // One line per item for `vantoro --list`: time, caller, kind, length, new|heard, file.
    QStringList ListLines() const;

private:
    void ReadState();
    bool WriteState() const;

    QString m_folder;
    std::vector<InboxItem> m_items;
    std::set<QString> m_heard;
};

#pragma once
// How `vantoro --inbox` reaches the copy that already runs: a local socket beside the
// single-instance lock, on which the running program opens its inbox.

#include <QLocalServer>
#include <QObject>
#include <functional>

class CInboxChannel : public QObject {
    Q_OBJECT
public:
    explicit CInboxChannel(std::function<void()> openInbox);
    // Starts listening; false (and nothing listens) when the socket cannot be made.
    bool Listen();
    // From a second copy: true when the running one was told to open its inbox.
    static bool AskRunningCopy();

private:
    static QString SocketPath();
    void OnNewConnection();

    QLocalServer m_server;
    std::function<void()> m_openInbox;
};

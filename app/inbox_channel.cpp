#include "app/inbox_channel.h"

#include <unistd.h>

#include <QDir>
#include <QLocalSocket>

namespace {

constexpr char kSocketName[] = "VANTORO2000.inbox";
constexpr char kOpenInboxRequest[] = "inbox\n";
constexpr int kConnectTimeoutMs = 2000;
constexpr int kRequestTimeoutMs = 2000;

}  // namespace

CInboxChannel::CInboxChannel(std::function<void()> openInbox) : m_openInbox(std::move(openInbox)) {
    connect(&m_server, &QLocalServer::newConnection, this, &CInboxChannel::OnNewConnection);
}

// Beside the lock file: the session's runtime folder, or this user's private temporary folder.
QString CInboxChannel::SocketPath() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString folder = !runtime.isEmpty()
                               ? runtime
                               : QDir::tempPath() + QStringLiteral("/vantoro-%1").arg(getuid());
    return folder + QLatin1Char('/') + QLatin1String(kSocketName);
}

bool CInboxChannel::Listen() {
    // Only the copy that holds the lock gets here, so a socket left there is a dead copy's.
    QLocalServer::removeServer(SocketPath());
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    return m_server.listen(SocketPath());
}

bool CInboxChannel::AskRunningCopy() {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
    socket.write(kOpenInboxRequest);
    const bool sent = socket.waitForBytesWritten(kRequestTimeoutMs);
    socket.disconnectFromServer();
    return sent;
}

void CInboxChannel::OnNewConnection() {
    while (QLocalSocket* client = m_server.nextPendingConnection()) {
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            if (client->readAll().contains('\n') && m_openInbox) m_openInbox();
        });
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    }
}

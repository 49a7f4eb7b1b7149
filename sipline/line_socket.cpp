#include "sipline/line_socket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "line_protocol/line_protocol.h"

namespace {

constexpr int kListenBacklog = 4;

bool address(const std::string& path, sockaddr_un& addr, std::string& error) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
        error = "line socket path too long: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

LineSocket::~LineSocket() {
    if (m_listen.valid()) unlink(m_listenPath.c_str());
}

bool LineSocket::connectTo(const std::string& path, std::string& error) {
    sockaddr_un addr;
    if (!address(path, addr, error)) return false;
    m_peer.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // A local socket connects at once or not at all, even when non-blocking.
    if (!m_peer.valid() || connect(m_peer.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr)) {
        error = "no soft modem answers on " + path + ": " + std::strerror(errno);
        m_peer.reset();
        return false;
    }
    return true;
}

bool LineSocket::listenOn(const std::string& path, std::string& error) {
    sockaddr_un addr;
    if (!address(path, addr, error)) return false;
    unlink(path.c_str());
    m_listen.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!m_listen.valid() ||
        bind(m_listen.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
        listen(m_listen.get(), kListenBacklog)) {
        error = "cannot serve a line socket on " + path + ": " + std::strerror(errno);
        m_listen.reset();
        return false;
    }
    m_listenPath = path;
    return true;
}

bool LineSocket::acceptPeer() {
    int fd = accept4(m_listen.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return false;
    m_peer.reset(fd);
    return true;
}

void LineSocket::refusePeer() {
    UniqueFd other(accept4(m_listen.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!other.valid()) return;
    const char busy = line_protocol::kBusy;
    ::send(other.get(), &busy, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void LineSocket::send(char type, const std::string& payload) {
    if (!m_peer.valid()) return;
    std::string packet(1, type);
    packet += payload;
    ::send(m_peer.get(), packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void LineSocket::sendAudio(const int16_t* samples, size_t count) {
    send(line_protocol::kAudio, line_protocol::audioPayload(samples, count));
}

LineSocket::Read LineSocket::receive(std::string& packet) {
    if (!m_peer.valid()) return Read::Closed;
    char buf[line_protocol::kMaxPacket];
    const ssize_t n = recv(m_peer.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Read::Empty;
    if (n <= 0) return Read::Closed;
    packet.assign(buf, size_t(n));
    return Read::Packet;
}

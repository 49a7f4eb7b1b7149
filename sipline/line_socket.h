#pragma once
// The soft modem's line socket seen from the bridge: as a caller connecting to the modem, or,
// in test mode, as the modem that vantoro-call connects to.

#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

class LineSocket {
public:
    enum class Read { Packet, Empty, Closed };

    LineSocket() = default;
    ~LineSocket();
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;

    bool connectTo(const std::string& path, std::string& error);
    bool listenOn(const std::string& path, std::string& error);
    // Takes the next waiting caller as the line's peer; false when none is waiting.
    bool acceptPeer();
    // Turns away the next waiting caller with the busy message.
    void refusePeer();

    int fd() const { return m_peer.get(); }
    int listenFd() const { return m_listen.get(); }
    bool connected() const { return m_peer.valid(); }

    void send(char type, const std::string& payload = "");
    void sendAudio(const int16_t* samples, size_t count);
    Read receive(std::string& packet);
    void close() { m_peer.reset(); }

private:
    UniqueFd m_peer;
    UniqueFd m_listen;
    std::string m_listenPath;
};

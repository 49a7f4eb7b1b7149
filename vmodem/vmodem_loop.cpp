#include <fcntl.h>
#include <poll.h>
#include <spandsp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "line_protocol/line_protocol.h"
#include "platform/clock.h"
#include "vmodem/vmodem.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

// The transmit buffer holds at most half a second; beyond that the pty is not read,
// so the DTE's writes block the way hardware flow control would hold them.
constexpr size_t kTransmitBufferMax = 4000;

}  // namespace

int64_t vmodemNowMs() { return platform::MonotonicNs() / 1'000'000; }
int64_t vmodemNowNs() { return platform::MonotonicNs(); }

const char* toString(StreamMode mode) {
    switch (mode) {
        case StreamMode::Command:
            return "command";
        case StreamMode::Transmit:
            return "transmit";
        case StreamMode::TransmitDraining:
            return "transmit-draining";
        case StreamMode::Receive:
            return "receive";
    }
    return "?";
}

const char* toString(CallState state) {
    switch (state) {
        case CallState::None:
            return "none";
        case CallState::Ringing:
            return "ringing";
        case CallState::Connected:
            return "connected";
        case CallState::FarEndGone:
            return "far-end-gone";
    }
    return "?";
}

const char* toString(ResultCode code) {
    switch (code) {
        case ResultCode::Ok:
            return "OK";
        case ResultCode::Connect:
            return "CONNECT";
        case ResultCode::Ring:
            return "RING";
        case ResultCode::NoCarrier:
            return "NO CARRIER";
        case ResultCode::Error:
            return "ERROR";
    }
    return "?";
}

VirtualModem::VirtualModem(VmodemOptions options) : m_options(std::move(options)) {
    m_active = m_callers.end();
    resetProfile();
}

VirtualModem::~VirtualModem() {
    if (m_t31) freeT31(m_t31);
    if (m_terminal) fax_free(m_terminal);
    if (m_cngDetector) modem_connect_tones_rx_free(m_cngDetector);
    if (m_hangupTone) tone_gen_free(m_hangupTone);
    if (!m_options.link.empty()) unlink(m_options.link.c_str());
    if (m_listen.valid()) unlink(m_options.socketPath.c_str());
}

bool VirtualModem::open() { return openPty() && openSocket(); }

bool VirtualModem::openPty() {
    m_master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!m_master.valid() || grantpt(m_master.get()) != 0 || unlockpt(m_master.get()) != 0) {
        std::perror("vantoro-vmodem: pty");
        return false;
    }
    m_slavePath = ptsname(m_master.get());
    // Holding the slave open keeps the master readable after the DTE closes, and raw mode
    // keeps the line discipline from echoing our own output back to us.
    m_slave.reset(::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!m_slave.valid()) {
        std::perror("vantoro-vmodem: pty slave");
        return false;
    }
    termios tio{};
    tcgetattr(m_slave.get(), &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(m_slave.get(), TCSANOW, &tio);
    if (!m_options.link.empty()) {
        unlink(m_options.link.c_str());
        if (symlink(m_slavePath.c_str(), m_options.link.c_str()) != 0) {
            std::fprintf(stderr, "vantoro-vmodem: cannot link %s: %s\n", m_options.link.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool VirtualModem::openSocket() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_options.socketPath.size() >= sizeof(addr.sun_path)) {
        std::fprintf(stderr, "vantoro-vmodem: socket path too long\n");
        return false;
    }
    std::strcpy(addr.sun_path, m_options.socketPath.c_str());
    UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        std::perror("vantoro-vmodem: socket");
        return false;
    }
    // A stale socket from a vmodem that died is replaced; a live one is refused.
    UniqueFd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        std::fprintf(stderr, "vantoro-vmodem: another vmodem listens on %s\n", addr.sun_path);
        return false;
    }
    unlink(addr.sun_path);
    mode_t old = umask(0077);
    int rc = bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    umask(old);
    if (rc != 0 || chmod(addr.sun_path, 0600) != 0 || listen(fd.get(), 8) != 0) {
        std::fprintf(stderr, "vantoro-vmodem: cannot listen on %s: %s\n", addr.sun_path,
                     std::strerror(errno));
        return false;
    }
    m_listen = std::move(fd);
    return true;
}

void VirtualModem::trace(const std::string& what) const {
    if (m_options.trace) std::fprintf(stderr, "vmodem: %s\n", what.c_str());
}

void VirtualModem::send(const std::string& bytes) {
    m_output += bytes;
    flushOutput();
}

void VirtualModem::sendResult(ResultCode code) {
    if (m_quiet) return;
    if (m_verbose) {
        send(std::string("\r\n") + toString(code) + "\r\n");
        return;
    }
    send(std::to_string(int(code)) + "\r");
}

void VirtualModem::sendInfo(const std::string& text) { send("\r\n" + text + "\r\n"); }

void VirtualModem::flushOutput() {
    while (!m_output.empty()) {
        ssize_t n = write(m_master.get(), m_output.data(), m_output.size());
        if (n <= 0) return;
        m_output.erase(0, size_t(n));
    }
}

void VirtualModem::readPty() {
    uint8_t buf[512];
    size_t room = sizeof(buf);
    if (m_mode == StreamMode::Transmit)
        room = std::min(room,
                        kTransmitBufferMax - std::min(kTransmitBufferMax, m_transmitBuffer.size()));
    if (room == 0) return;
    ssize_t n = read(m_master.get(), buf, room);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
        if (m_t31) {
            faxByte(buf[i]);
            continue;
        }
        switch (m_mode) {
            case StreamMode::Transmit:
                transmitByte(buf[i]);
                break;
            case StreamMode::Receive:
                receiveByte(buf[i]);
                break;
            case StreamMode::Command:
            case StreamMode::TransmitDraining:
                commandByte(buf[i]);
                break;
        }
    }
    runFaxDeferred();
}

int VirtualModem::run() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<pollfd> fds;
    while (!g_stop) {
        fds.clear();
        short ptyEvents = 0;
        bool transmitFull =
            m_mode == StreamMode::Transmit && m_transmitBuffer.size() >= kTransmitBufferMax;
        if (!transmitFull && !(m_t31 && !m_faxCts)) ptyEvents |= POLLIN;
        if (!m_output.empty()) ptyEvents |= POLLOUT;
        fds.push_back({m_master.get(), ptyEvents, 0});
        fds.push_back({m_listen.get(), POLLIN, 0});
        for (const Caller& caller : m_callers) fds.push_back({caller.fd.get(), POLLIN, 0});

        int64_t now = platform::MonotonicNs();
        int64_t deadline = now + 1'000'000'000;
        if (lineLive()) deadline = std::min(deadline, m_nextTickNs);
        if (m_call == CallState::Ringing) deadline = std::min(deadline, m_nextRingMs * 1'000'000);
        int64_t wait = std::max<int64_t>(0, deadline - now);
        timespec ts{time_t(wait / 1'000'000'000), long(wait % 1'000'000'000)};
        int rc = ppoll(fds.data(), fds.size(), &ts, nullptr);
        if (rc < 0 && errno != EINTR) {
            std::perror("vantoro-vmodem: ppoll");
            return 1;
        }
        if (rc > 0) {
            if (fds[0].revents & POLLOUT) flushOutput();
            if (fds[0].revents & POLLIN) readPty();
            // Handling the pty or one caller can end another caller's call, so each is looked up
            // anew.
            for (size_t i = 2; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                for (auto it = m_callers.begin(); it != m_callers.end(); ++it) {
                    if (it->fd.get() == fds[i].fd) {
                        readCaller(it);
                        break;
                    }
                }
            }
            if (fds[1].revents & POLLIN) acceptCaller();
        }
        if (m_call == CallState::Ringing && vmodemNowMs() >= m_nextRingMs) ring();
        while (lineLive() && platform::MonotonicNs() >= m_nextTickNs) {
            onTick();
            m_nextTickNs += line_protocol::kBlockNs;
        }
        startNextCall();
    }
    return 0;
}

void VirtualModem::onTick() {
    using line_protocol::kBlockSamples;
    int16_t out[kBlockSamples] = {};
    if (m_terminal) {
        terminalAudio(out, nullptr, kBlockSamples);
    } else if (m_t31 && m_faxJoined) {
        int got = t31_tx(m_t31, out, kBlockSamples);
        for (int i = got; i < kBlockSamples; ++i) out[i] = 0;
        // Stamped when sent, as the caller's audio is when it comes: a tick run late after the
        // host paused us would otherwise shorten the gaps the trace shows.
        if (m_options.traceCarriers) m_modemCarrier.feed(out, kBlockSamples, vmodemNowNs());
        runFaxDeferred();
    } else {
        voiceOutput(out, kBlockSamples);
    }
    if (m_call == CallState::Connected) {
        sendToCaller(line_protocol::kAudio, line_protocol::audioPayload(out, kBlockSamples));
    } else {
        // No far end: the line carries the exchange's tone after a hang-up, silence otherwise.
        int16_t in[kBlockSamples] = {};
        if (m_call == CallState::FarEndGone) hangupTone(in, kBlockSamples);
        lineAudio(in, kBlockSamples);
    }
    checkTransmitDrained();
}

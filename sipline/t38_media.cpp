// The only file that speaks to spandsp's T.38 gateway; UDPTL on libre's UDP sockets.
#include "sipline/t38_media.h"

#include <spandsp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "platform/clock.h"
#include "sipline/ifp_repair.h"
#include "sipline/udptl.h"
// libre last: its headers need the fixed-width types first and define min and max as macros.
#include <cstdint>
// clang-format off
#include <re.h>
// clang-format on
#undef min
#undef max

namespace {

constexpr size_t kFrameSamples = 160;
constexpr uint64_t kFrameMs = 20;
// The line's own pace drives the gateway; the clock makes frames only for a line that has
// stopped. The line's peer keeps time and catches up after the host pauses it (for up to 1.5 s
// under load), and a frame of silence made up in the middle of a carrier cuts the carrier.
constexpr int64_t kLineQuietNs = 2'000'000'000;
constexpr size_t kMaxPending = 8 * kFrameSamples;

void log(const std::string& text) { std::fprintf(stderr, "vantoro-sipline: %s\n", text.c_str()); }

std::string addressText(const sa& address) {
    char text[64] = "";
    sa_ntop(&address, text, sizeof text);
    return std::string(text) + ":" + std::to_string(sa_port(&address));
}

}  // namespace

struct T38Media::Impl {
    explicit Impl(const ImpairOptions& options)
        : impairOptions(options), impairment(options), sender(UdptlSendOptions{}) {}

    ImpairOptions impairOptions;
    Impairment impairment;
    udp_sock* sock = nullptr;
    uint16_t localPort = 0;
    sa offered{};
    sa peer{};
    bool latched = false;
    t38_gateway_state_t* gateway = nullptr;
    t38_terminal_state_t* terminal = nullptr;
    std::function<void(const std::string&)> terminalDone;
    bool active() const { return gateway || terminal; }
    t38_core_state_t* core() const {
        return gateway ? t38_gateway_get_t38_core_state(gateway)
                       : t38_terminal_get_t38_core_state(terminal);
    }
    UdptlSender sender;
    UdptlReceiver receiver;
    uint64_t ifpOut = 0;
    uint64_t datagramsOut = 0;
    uint64_t ignored = 0;
    uint64_t oversize = 0;  // IFPs larger than the far end takes, not sent
    FrameSink toLine;
    std::vector<int16_t> pending;
    int64_t lastLineNs = 0;
    tmr tick{};
    std::multimap<int64_t, std::vector<uint8_t>> delayed;
    tmr release{};

    void configure(const T38Offer& session);
    void onDatagram(const sa* src, mbuf* mb);
    void onIfp(const uint8_t* ifp, size_t size, uint16_t sequence);
    void sendIfp(const uint8_t* ifp, size_t size, int copies);
    IfpRepair repair{0};
    int onGatewayPacket(const uint8_t* ifp, int size, int copies);
    void send(const std::vector<uint8_t>& datagram);
    void transmit(const uint8_t* bytes, size_t size);
    void releaseDue();
    void frame(const int16_t* fromLine);
    void onTick();
};

namespace {

void receiveHandler(const sa* src, mbuf* mb, void* arg) {
    static_cast<T38Media::Impl*>(arg)->onDatagram(src, mb);
}

int gatewayPacketHandler(t38_core_state_t*, void* arg, const uint8_t* ifp, int size, int copies) {
    return static_cast<T38Media::Impl*>(arg)->onGatewayPacket(ifp, size, copies);
}

void tickHandler(void* arg) { static_cast<T38Media::Impl*>(arg)->onTick(); }

void releaseHandler(void* arg) { static_cast<T38Media::Impl*>(arg)->releaseDue(); }

uint64_t msUntil(int64_t deadlineNs) {
    const int64_t left = deadlineNs - platform::MonotonicNs();
    return left <= 0 ? 0 : uint64_t((left + 999'999) / 1'000'000);
}

}  // namespace

void T38Media::Impl::configure(const T38Offer& session) {
    sa_set_str(&offered, session.address.c_str(), session.port);
    latched = false;
    repair = IfpRepair(session.version);
    UdptlSendOptions options;
    options.maxDatagram = session.farMaxDatagram;
    sender = UdptlSender(options, uint16_t(rand_u16()));
}

void T38Media::Impl::onDatagram(const sa* src, mbuf* mb) {
    // Symmetric UDPTL: only the offer's host is heard, from whatever port it sends.
    if (!active() || !sa_cmp(src, &offered, SA_ADDR)) {
        ++ignored;
        return;
    }
    if (!latched || !sa_cmp(src, &peer, SA_ALL)) {
        if (latched) return void(++ignored);
        latched = true;
        peer = *src;
        log("T.38 from " + addressText(peer));
    }
    receiver.receive(
        mbuf_buf(mb), mbuf_get_left(mb),
        [this](const uint8_t* ifp, size_t size, uint16_t sequence) { onIfp(ifp, size, sequence); });
}

void T38Media::Impl::onIfp(const uint8_t* ifp, size_t size, uint16_t sequence) {
    repair.heard(ifp, size);
    // spandsp takes the packet as writable; it does not write it.
    t38_core_rx_ifp_packet(core(), const_cast<uint8_t*>(ifp), int(size), sequence);
}

// The gateway repeats its indicators itself: each copy goes out with the same number.
int T38Media::Impl::onGatewayPacket(const uint8_t* ifp, int size, int copies) {
    if (size <= 0) return -1;
    repair.put(ifp, size_t(size), copies,
               [this](const uint8_t* p, size_t n, int c) { sendIfp(p, n, c); });
    return 0;
}

void T38Media::Impl::sendIfp(const uint8_t* ifp, size_t size, int copies) {
    std::vector<uint8_t> datagram;
    if (!sender.encode(ifp, size, datagram)) {
        ++oversize;
        return;
    }
    ++ifpOut;
    for (int i = 0; i < copies; ++i) send(datagram);
}

void T38Media::Impl::send(const std::vector<uint8_t>& datagram) {
    ++datagramsOut;
    if (!impairOptions.active()) {
        transmit(datagram.data(), datagram.size());
        return;
    }
    const auto delay = impairment.delayNs();
    if (!delay) return;
    delayed.emplace(platform::MonotonicNs() + *delay, datagram);
    releaseDue();
}

void T38Media::Impl::transmit(const uint8_t* bytes, size_t size) {
    mbuf* mb = mbuf_alloc(size);
    if (!mb) return;
    mbuf_write_mem(mb, bytes, size);
    mb->pos = 0;
    udp_send(sock, latched ? &peer : &offered, mb);
    mem_deref(mb);
}

void T38Media::Impl::releaseDue() {
    const int64_t now = platform::MonotonicNs();
    while (!delayed.empty() && delayed.begin()->first <= now) {
        transmit(delayed.begin()->second.data(), delayed.begin()->second.size());
        delayed.erase(delayed.begin());
    }
    if (!delayed.empty())
        tmr_start(&release, msUntil(delayed.begin()->first), releaseHandler, this);
}

void T38Media::Impl::frame(const int16_t* fromLine) {
    int16_t in[kFrameSamples];
    std::memcpy(in, fromLine, sizeof in);
    t38_gateway_rx(gateway, in, int(kFrameSamples));
    int16_t out[kFrameSamples] = {};
    t38_gateway_tx(gateway, out, int(kFrameSamples));
    toLine(out, kFrameSamples);
}

void T38Media::Impl::onTick() {
    if (terminal) {
        t38_terminal_send_timeout(terminal, int(kFrameSamples));
        tmr_start(&tick, kFrameMs, tickHandler, this);
        return;
    }
    if (!gateway) return;
    if (platform::MonotonicNs() - lastLineNs > kLineQuietNs) {
        const int16_t silence[kFrameSamples] = {};
        frame(silence);
    }
    tmr_start(&tick, kFrameMs, tickHandler, this);
}

T38Media::T38Media(const ImpairOptions& impair) : m(std::make_unique<Impl>(impair)) {}

T38Media::~T38Media() {
    T38Counts unused;
    close(unused);
}

bool T38Media::open(const std::string& localAddress, uint16_t minPort, uint16_t maxPort,
                    std::string& error) {
    T38Counts unused;
    close(unused);
    sa local{};
    if (sa_set_str(&local, localAddress.c_str(), 0) != 0) {
        error = "no local address for T.38";
        return false;
    }
    const uint32_t ports = uint32_t(maxPort) - minPort + 1;
    const uint32_t first = rand_u32() % ports;
    for (uint32_t i = 0; i < ports; ++i) {
        const auto port = uint16_t(minPort + (first + i) % ports);
        sa_set_port(&local, port);
        if (udp_listen(&m->sock, &local, receiveHandler, m.get()) == 0) {
            m->localPort = port;
            return true;
        }
    }
    error = "no free UDPTL port in " + std::to_string(minPort) + "-" + std::to_string(maxPort);
    return false;
}

bool T38Media::isOpen() const { return m->sock != nullptr; }

uint16_t T38Media::port() const { return m->sock ? m->localPort : 0; }

bool T38Media::running() const { return m->active(); }

void T38Media::start(const T38Offer& session, FrameSink toLine) {
    if (!m->sock || m->active()) return;
    m->toLine = std::move(toLine);
    m->configure(session);
    m->receiver = UdptlReceiver();
    m->gateway = t38_gateway_init(nullptr, gatewayPacketHandler, m.get());
    if (!m->gateway) {
        log("cannot start the T.38 gateway");
        return;
    }
    t38_gateway_set_transmit_on_idle(m->gateway, 1);
    int modems = T30_SUPPORT_V27TER | T30_SUPPORT_V29;
    if (session.maxBitRate >= kT38RateV17) modems |= T30_SUPPORT_V17;
    t38_gateway_set_supported_modems(m->gateway, modems);
    t38_gateway_set_ecm_capability(m->gateway, 1);
    t38_gateway_set_nsx_suppression(m->gateway, nullptr, 0, nullptr, 0);
    t38_core_state_t* core = t38_gateway_get_t38_core_state(m->gateway);
    t38_set_t38_version(core, session.version);
    t38_set_max_datagram_size(core, int(session.farMaxDatagram));
    t38_set_data_rate_management_method(core, T38_DATA_RATE_MANAGEMENT_TRANSFERRED_TCF);
    m->lastLineNs = platform::MonotonicNs();
    tmr_start(&m->tick, kFrameMs, tickHandler, m.get());
    log("T.38 to " + addressText(m->offered) + ", version " + std::to_string(session.version) +
        ", up to " + std::to_string(session.maxBitRate) + " bit/s");
}

namespace {

void terminalPhaseE(t30_state_t* t30, void* arg, int code) {
    auto* m = static_cast<T38Media::Impl*>(arg);
    t30_stats_t stats{};
    t30_get_transfer_statistics(t30, &stats);
    const std::string result = code == T30_ERR_OK ? "ok pages=" + std::to_string(stats.pages_tx) +
                                                        " rate=" + std::to_string(stats.bit_rate)
                                                  : "failed code=" + std::to_string(code) + " " +
                                                        t30_completion_code_to_str(code);
    if (m->terminalDone) m->terminalDone(result);
}

}  // namespace

void T38Media::startTerminal(const T38Offer& session, const std::string& tiffPath,
                             std::function<void(const std::string& result)> done) {
    if (!m->sock || m->active()) return;
    m->configure(session);
    m->repair.holdEveryTraining();
    m->receiver = UdptlReceiver();
    m->terminalDone = std::move(done);
    m->terminal = t38_terminal_init(nullptr, 1, gatewayPacketHandler, m.get());
    if (!m->terminal) {
        log("cannot start the T.38 fax machine");
        return;
    }
    t38_core_state_t* core = t38_terminal_get_t38_core_state(m->terminal);
    t38_set_t38_version(core, session.version);
    t38_set_max_datagram_size(core, int(session.farMaxDatagram));
    t38_set_data_rate_management_method(core, T38_DATA_RATE_MANAGEMENT_TRANSFERRED_TCF);
    t30_state_t* t30 = t38_terminal_get_t30_state(m->terminal);
    t30_set_tx_ident(t30, "vantoro-sipline");
    t30_set_tx_file(t30, tiffPath.c_str(), -1, -1);
    t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29);
    t30_set_ecm_capability(t30, FALSE);
    t30_set_phase_e_handler(t30, terminalPhaseE, m.get());
    tmr_start(&m->tick, kFrameMs, tickHandler, m.get());
    log("T.38 fax machine to " + addressText(m->offered) + " sends " + tiffPath);
}

void T38Media::retarget(const T38Offer& session) {
    if (!m->active()) return;
    sa offered{};
    sa_set_str(&offered, session.address.c_str(), session.port);
    if (sa_cmp(&offered, &m->offered, SA_ALL)) return;  // a session refresh
    m->offered = offered;
    m->latched = false;
}

void T38Media::close(T38Counts& counts) {
    if (m->active()) {
        const UdptlStats& s = m->receiver.stats();
        char line[256];
        std::snprintf(
            line, sizeof line,
            "T.38 ended: %llu IFPs in (%llu recovered, %llu lost, %llu copies and late, "
            "%llu malformed), %llu out in %llu datagrams (%llu too large, %llu V.21 commands "
            "given back), %llu from other sources",
            (unsigned long long)s.delivered, (unsigned long long)s.recovered,
            (unsigned long long)s.lost, (unsigned long long)s.duplicates,
            (unsigned long long)s.malformed, (unsigned long long)m->ifpOut,
            (unsigned long long)m->datagramsOut, (unsigned long long)m->oversize,
            (unsigned long long)m->repair.repaired(), (unsigned long long)m->ignored);
        log(line);
        counts.ifpIn += s.delivered;
        counts.ifpOut += m->ifpOut;
        counts.lost += s.lost;
        counts.recovered += s.recovered;
        if (m->gateway) t38_gateway_free(m->gateway);
        if (m->terminal) t38_terminal_free(m->terminal);
        m->gateway = nullptr;
        m->terminal = nullptr;
        m->terminalDone = nullptr;
    }
    tmr_cancel(&m->tick);
    tmr_cancel(&m->release);
    m->delayed.clear();
    m->pending.clear();
    m->sock = static_cast<udp_sock*>(mem_deref(m->sock));
    m->localPort = 0;
    m->ifpOut = m->datagramsOut = m->ignored = m->oversize = 0;
    m->latched = false;
}

void T38Media::fromLine(const int16_t* samples, size_t count) {
    if (!m->gateway) return;
    m->lastLineNs = platform::MonotonicNs();
    m->pending.insert(m->pending.end(), samples, samples + count);
    size_t used = 0;
    for (; m->pending.size() - used >= kFrameSamples; used += kFrameSamples)
        m->frame(m->pending.data() + used);
    m->pending.erase(m->pending.begin(), m->pending.begin() + long(used));
    if (m->pending.size() > kMaxPending) m->pending.clear();
}

struct FaxAnswerDetector::Impl {
    modem_connect_tones_rx_state_t* rx = nullptr;
    bool heard = false;

    static void onTone(void* arg, int code, int, int) {
        if (code == MODEM_CONNECT_TONES_FAX_CED || code == MODEM_CONNECT_TONES_FAX_PREAMBLE)
            static_cast<Impl*>(arg)->heard = true;
    }
    void start() {
        if (rx) modem_connect_tones_rx_free(rx);
        rx = modem_connect_tones_rx_init(nullptr, MODEM_CONNECT_TONES_FAX_CED_OR_PREAMBLE, onTone,
                                         this);
        heard = false;
    }
};

FaxAnswerDetector::FaxAnswerDetector() : m(std::make_unique<Impl>()) { m->start(); }

FaxAnswerDetector::~FaxAnswerDetector() {
    if (m->rx) modem_connect_tones_rx_free(m->rx);
}

bool FaxAnswerDetector::heard(const int16_t* samples, size_t count) {
    if (!m->rx || m->heard) return false;
    int16_t copy[kFrameSamples];
    for (size_t done = 0; done < count && !m->heard; done += kFrameSamples) {
        const size_t n = std::min(kFrameSamples, count - done);
        std::memcpy(copy, samples + done, n * sizeof copy[0]);
        modem_connect_tones_rx(m->rx, copy, int(n));
    }
    return m->heard;
}

void FaxAnswerDetector::restart() { m->start(); }

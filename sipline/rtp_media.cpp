// The only file that speaks to libre's RTP stack; G.711 through spandsp.
#include "sipline/rtp_media.h"

#include <spandsp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "platform/clock.h"
#include "sipline/jitter_buffer.h"
// libre last: its headers need the fixed-width types first and define min and max as macros.
#include <cstdint>
// clang-format off
#include <re.h>
// clang-format on
#undef min
#undef max

#if VANTORO_LIBRE_MAJOR == 1
// RTP read here rather than in libre's handler must still feed RTCP's receive statistics. libre
// 1.x exports these two but leaves them out of its headers; the signature is 1.x's own.
extern "C" {
struct rtcp_sess* rtp_rtcp_sess(const struct rtp_sock* rs);
void rtcp_sess_rx_rtp(struct rtcp_sess* sess, uint16_t seq, uint32_t ts, uint32_t ssrc,
                      size_t payloadSize, const struct sa* peer);
void rtcp_sess_tx_rtp(struct rtcp_sess* sess, uint32_t ts, size_t payloadSize);
}
#endif

namespace {

constexpr int64_t kFrameNs = 20'000'000;
// The line's own packets pace the frames toward it, so one wake-up every 20 ms serves both
// directions: a frame may go this early on the line's pace, and the timer takes over only when
// the line has been quiet this long past a frame's time (wide, so that a soft modem woken late
// under load does not bring the timer's wake-ups back).
constexpr int64_t kLinePaceEarlyNs = 5'000'000;
constexpr int64_t kTimerLateNs = 15'000'000;
constexpr int kRtpBatch = 8;
constexpr size_t kMaxDatagram = 1500;
constexpr size_t kFrameSamples = JitterBuffer::kFrameSamples;
// A frame clock that fell this far behind (the process was stopped) restarts instead of
// bursting the frames it missed at the soft modem.
constexpr int64_t kMaxCatchUpNs = 200'000'000;
constexpr char kCname[] = "vantoro-sipline";
// A source other than the offer's address becomes the peer (a caller behind NAT) once it has
// sent this many packets in sequence, of the negotiated type and one SSRC: a stray or sprayed
// datagram alone never takes the call.
constexpr int kNatProofPackets = 3;
// Sources under that test at once; more evict the one with the shortest run.
constexpr size_t kMaxCandidates = 8;
// libre keeps, and warns about, every new SSRC it is given: a peer that changes its SSRC with
// every packet must not grow its table or fill the log.
constexpr size_t kMaxRtcpSources = 4;
// Where the RTCP guard sits among the RTCP socket's receive helpers (only one here).
constexpr int kRtcpGuardLayer = 0;
// What waited in the socket before the answer is read away at most this far: a flood must not
// hold the answer.
constexpr int kMaxDiscarded = 4096;

// When a datagram reached the socket, on the monotonic clock: the kernel stamps it on the
// wall clock, and reading it later must not make it look late.
int64_t arrivalNs(msghdr& msg, int64_t monotonicMinusReal) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_TIMESTAMPNS) continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        return int64_t(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec + monotonicMinusReal;
    }
    return platform::MonotonicNs();
}

uint64_t msUntil(int64_t deadlineNs) {
    const int64_t left = deadlineNs - platform::MonotonicNs();
    return left <= 0 ? 0 : uint64_t((left + 999'999) / 1'000'000);
}

}  // namespace

struct RtpMedia::Impl {
    explicit Impl(int jitterMs, const ImpairOptions& options)
        : jitter(jitterMs), impairOptions(options), impairment(options) {}

    JitterBuffer jitter;
    ImpairOptions impairOptions;
    Impairment impairment;
    struct rtp_sock* rtp = nullptr;  // "struct": libre has a function of the same name
    int rtpFd = -1;                  // read here on the media clock, not by libre's loop
    bool linePaced = false;
    MediaTarget target;
    sa offered{};      // the c= and m= of the far end's SDP
    sa destination{};  // where our packets go: the offered address, or the latched peer
    sa peer{};
    // Offered: the offer's own address sent, and only it is heard. Nat: another source proved
    // itself; the offer's address still outranks it if that ever sends.
    enum class Latch { None, Offered, Nat };
    Latch latch = Latch::None;
    // Once the offer has moved in the call, only its new address is the peer.
    bool natAllowed = true;
    struct Candidate {
        sa source{};
        uint32_t ssrc = 0;
        uint16_t lastSeq = 0;
        int run = 0;
    };
    std::vector<Candidate> candidates;
    uint32_t rtcpSources[kMaxRtcpSources] = {};
    size_t rtcpSourceCount = 0;
    udp_helper* rtcpGuard = nullptr;
    uint64_t ignored = 0;    // datagrams from other sources, counted instead of logged
    bool connected = false;  // the RTP socket, to the latched peer
    bool running = false;
    FrameSink toLine;
    tmr tick{};
    int64_t nextTickNs = 0;
    std::vector<int16_t> pending;
    uint32_t txTimestamp = 0;
    bool firstPacket = true;
    // Held-back packets of the impairment, by when they go: timestamp and payload.
    std::multimap<int64_t, std::pair<uint32_t, std::vector<uint8_t>>> delayed;
    tmr release{};

    void onTick();
    void onLineFrame();
    void deliverDue(int64_t now);
    void drainRtp();
    void onDatagram(const sa* src, mbuf* mb, int64_t arrivalNs);
    bool fromPeer(const sa* src, const rtp_header& hdr);
    bool provenSource(const sa* src, const rtp_header& hdr);
    void latchTo(const sa& source, Latch kind);
    void unlatch();
    void discardQueued();
    void countForRtcp(const sa* src, const rtp_header& hdr, size_t payloadSize);
    bool rtcpFromPeer(const sa* src, const mbuf* mb) const;
    void play(const rtp_header& hdr, mbuf* mb, int64_t arrivalNs);
    void send(uint32_t timestamp, const uint8_t* payload, size_t size);
    void releaseDue();
    void sendFrame(const int16_t* samples);
};

namespace {

void tickHandler(void* arg) { static_cast<RtpMedia::Impl*>(arg)->onTick(); }

void releaseHandler(void* arg) { static_cast<RtpMedia::Impl*>(arg)->releaseDue(); }

// libre wants a receive handler, but its loop never reads the RTP socket (see open()).
void unusedReceiveHandler(const sa*, const rtp_header*, mbuf*, void*) {}

bool rtcpSendUnguarded(int*, sa*, mbuf*, void*) { return false; }

// true drops the datagram before libre's RTCP handler sees it.
bool rtcpReceiveGuard(sa* src, mbuf* mb, void* arg) {
    return !static_cast<const RtpMedia::Impl*>(arg)->rtcpFromPeer(src, mb);
}

}  // namespace

void RtpMedia::Impl::onTick() { deliverDue(platform::MonotonicNs()); }

void RtpMedia::Impl::onLineFrame() {
    const int64_t now = platform::MonotonicNs();
    if (!linePaced) {
        linePaced = true;
        nextTickNs = now;  // the frame clock takes the line's phase
    }
    deliverDue(now);
}

void RtpMedia::Impl::deliverDue(int64_t now) {
    if (!running) return;
    if (now - nextTickNs > kMaxCatchUpNs) nextTickNs = now;
    drainRtp();
    int16_t frame[kFrameSamples];
    while (running && now + kLinePaceEarlyNs >= nextTickNs) {
        jitter.pull(nextTickNs, frame);
        nextTickNs += kFrameNs;
        toLine(frame, kFrameSamples);
    }
    if (running) tmr_start(&tick, msUntil(nextTickNs + kTimerLateNs), tickHandler, this);
}

void RtpMedia::Impl::drainRtp() {
    uint8_t buffers[kRtpBatch][kMaxDatagram];
    sockaddr_storage sources[kRtpBatch];
    iovec parts[kRtpBatch];
    alignas(cmsghdr) char controls[kRtpBatch][CMSG_SPACE(sizeof(timespec))];
    mmsghdr messages[kRtpBatch];
    for (int got = kRtpBatch; got == kRtpBatch;) {
        for (int i = 0; i < kRtpBatch; ++i) {
            parts[i] = {buffers[i], kMaxDatagram};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &sources[i];
            messages[i].msg_hdr.msg_namelen = sizeof sources[i];
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i];
            messages[i].msg_hdr.msg_controllen = sizeof controls[i];
        }
        got = recvmmsg(rtpFd, messages, kRtpBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0) return;
        const int64_t monotonicMinusReal = platform::MonotonicNs() - platform::RealtimeNs();
        for (int i = 0; i < got; ++i) {
            if (messages[i].msg_hdr.msg_flags & MSG_TRUNC) continue;
            sa src{};
            if (sa_set_sa(&src, reinterpret_cast<sockaddr*>(&sources[i])) != 0) continue;
            mbuf mb{buffers[i], kMaxDatagram, 0, messages[i].msg_len};
            onDatagram(&src, &mb, arrivalNs(messages[i].msg_hdr, monotonicMinusReal));
        }
    }
}

void RtpMedia::Impl::onDatagram(const sa* src, mbuf* mb, int64_t arrivalNs) {
    rtp_header hdr{};
    if (!running || rtp_decode(rtp, mb, &hdr) != 0) return;
    if (!fromPeer(src, hdr)) {
        ++ignored;
        return;
    }
    countForRtcp(src, hdr, mbuf_get_left(mb));
    play(hdr, mb, arrivalNs);
}

bool RtpMedia::Impl::fromPeer(const sa* src, const rtp_header& hdr) {
    if (latch == Latch::Offered) return sa_cmp(src, &peer, SA_ALL);
    if (sa_cmp(src, &offered, SA_ALL)) {
        latchTo(*src, Latch::Offered);
        return true;
    }
    if (latch == Latch::Nat) return sa_cmp(src, &peer, SA_ALL);
    if (!natAllowed || !provenSource(src, hdr)) return false;
    latchTo(*src, Latch::Nat);
    return true;
}

bool RtpMedia::Impl::provenSource(const sa* src, const rtp_header& hdr) {
    if (hdr.pt != target.payloadType) return false;
    auto c = std::find_if(candidates.begin(), candidates.end(),
                          [src](const Candidate& k) { return sa_cmp(src, &k.source, SA_ALL); });
    if (c == candidates.end()) {
        if (candidates.size() < kMaxCandidates) {
            c = candidates.emplace(candidates.end());
        } else {
            c = std::min_element(
                candidates.begin(), candidates.end(),
                [](const Candidate& a, const Candidate& b) { return a.run < b.run; });
            *c = Candidate{};
        }
        c->source = *src;
    }
    const bool next = c->run > 0 && hdr.ssrc == c->ssrc && hdr.seq == uint16_t(c->lastSeq + 1);
    c->run = next ? c->run + 1 : 1;
    c->ssrc = hdr.ssrc;
    c->lastSeq = hdr.seq;
    return c->run >= kNatProofPackets;
}

void RtpMedia::Impl::latchTo(const sa& source, Latch kind) {
    unlatch();
    peer = source;
    latch = kind;
    destination = peer;
    candidates.clear();
    char text[64] = "";
    sa_ntop(&source, text, sizeof text);
    std::fprintf(stderr, "vantoro-sipline: media from %s:%u (%s)\n", text, sa_port(&source),
                 kind == Latch::Offered ? "the offer's address" : "not the offer's: behind NAT");
    // Connected, the socket sends without a route lookup a packet, and the kernel drops
    // anything else that comes. Not to a NAT peer: the offer's address must still get through.
    if (kind == Latch::Offered) connected = connect(rtpFd, &peer.u.sa, peer.len) == 0;
}

void RtpMedia::Impl::unlatch() {
    latch = Latch::None;
    destination = offered;
    candidates.clear();
    if (!connected) return;
    const sockaddr any{AF_UNSPEC, {}};
    connect(rtpFd, &any, sizeof any);
    connected = false;
}

void RtpMedia::Impl::discardQueued() {
    uint8_t buffer[kMaxDatagram];
    int discarded = 0;
    while (discarded < kMaxDiscarded && recv(rtpFd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0)
        ++discarded;
    if (discarded)
        std::fprintf(stderr,
                     "vantoro-sipline: discarded %d datagrams that came before the answer\n",
                     discarded);
}

void RtpMedia::Impl::countForRtcp(const sa* src, const rtp_header& hdr, size_t payloadSize) {
    uint32_t* end = rtcpSources + rtcpSourceCount;
    if (std::find(rtcpSources, end, hdr.ssrc) == end) {
        if (rtcpSourceCount == kMaxRtcpSources) return;
        rtcpSources[rtcpSourceCount++] = hdr.ssrc;
    }
#if VANTORO_LIBRE_MAJOR == 1
    rtcp_sess_rx_rtp(rtp_rtcp_sess(rtp), hdr.seq, hdr.ts, hdr.ssrc, payloadSize, src);
#else
    (void)src;
    (void)payloadSize;
#endif
}

// libre's RTCP handler keeps a member for every SSRC it reads and warns at each one past its
// table: only the peer's reports about the sources it sends get there.
bool RtpMedia::Impl::rtcpFromPeer(const sa* src, const mbuf* mb) const {
    constexpr size_t kSenderSsrcAt = 4;  // after the first packet's header (RFC 3550 6.4)
    if (latch == Latch::None || !sa_cmp(src, &peer, SA_ADDR)) return false;
    if (mbuf_get_left(mb) < kSenderSsrcAt + 4) return false;
    const uint8_t* bytes = mbuf_buf(mb) + kSenderSsrcAt;
    const uint32_t ssrc =
        uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    const uint32_t* end = rtcpSources + rtcpSourceCount;
    return std::find(rtcpSources, end, ssrc) != end;
}

void RtpMedia::Impl::play(const rtp_header& hdr, mbuf* mb, int64_t arrivalNs) {
    G711Law law = target.law;
    if (hdr.pt != target.payloadType) {
        // The static types keep their meaning whatever was negotiated.
        if (hdr.pt != kPayloadPcmu && hdr.pt != kPayloadPcma) return;
        law = hdr.pt == kPayloadPcmu ? G711Law::Ulaw : G711Law::Alaw;
    }
    const size_t count = std::min(mbuf_get_left(mb), size_t(1024));
    const uint8_t* bytes = mbuf_buf(mb);
    int16_t samples[1024];
    for (size_t i = 0; i < count; ++i)
        samples[i] = law == G711Law::Ulaw ? ulaw_to_linear(bytes[i]) : alaw_to_linear(bytes[i]);
    jitter.put(hdr.ssrc, hdr.ts, samples, count, arrivalNs);
}

void RtpMedia::Impl::send(uint32_t timestamp, const uint8_t* payload, size_t size) {
    // One packet's buffer on the stack: nothing is allocated 50 times a second.
    uint8_t bytes[RTP_HEADER_SIZE + kMaxDatagram];
    size = std::min(size, kMaxDatagram);
    std::memcpy(bytes + RTP_HEADER_SIZE, payload, size);
    mbuf mb{bytes, sizeof bytes, RTP_HEADER_SIZE, RTP_HEADER_SIZE + size};
    const auto payloadType = uint8_t(target.payloadType);
#if VANTORO_LIBRE_MAJOR == 1
    if (connected) {
        mb.pos = 0;
        if (rtp_encode(rtp, false, firstPacket, payloadType, timestamp, &mb) != 0) return;
        rtcp_sess_tx_rtp(rtp_rtcp_sess(rtp), timestamp, size);
        ::send(rtpFd, bytes, RTP_HEADER_SIZE + size, MSG_DONTWAIT | MSG_NOSIGNAL);
        firstPacket = false;
        return;
    }
#endif
    rtp_send(rtp, &destination, false, firstPacket, payloadType, timestamp, &mb);
    firstPacket = false;
}

void RtpMedia::Impl::releaseDue() {
    const int64_t now = platform::MonotonicNs();
    while (!delayed.empty() && delayed.begin()->first <= now) {
        const auto& [timestamp, payload] = delayed.begin()->second;
        send(timestamp, payload.data(), payload.size());
        delayed.erase(delayed.begin());
    }
    if (!delayed.empty())
        tmr_start(&release, msUntil(delayed.begin()->first), releaseHandler, this);
}

void RtpMedia::Impl::sendFrame(const int16_t* samples) {
    uint8_t payload[kFrameSamples];
    for (size_t i = 0; i < kFrameSamples; ++i)
        payload[i] =
            target.law == G711Law::Ulaw ? linear_to_ulaw(samples[i]) : linear_to_alaw(samples[i]);
    const uint32_t timestamp = txTimestamp;
    txTimestamp += kFrameSamples;
    if (!impairOptions.active()) {
        send(timestamp, payload, kFrameSamples);
        return;
    }
    const auto delay = impairment.delayNs();
    if (!delay) return;
    delayed.emplace(
        platform::MonotonicNs() + *delay,
        std::make_pair(timestamp, std::vector<uint8_t>(payload, payload + kFrameSamples)));
    releaseDue();
}

RtpMedia::RtpMedia(int jitterMs, const ImpairOptions& impair)
    : m(std::make_unique<Impl>(jitterMs, impair)) {}

RtpMedia::~RtpMedia() { close(); }

bool RtpMedia::open(const std::string& localAddress, uint16_t minPort, uint16_t maxPort,
                    std::string& error) {
    close();
    sa local{};
    if (sa_set_str(&local, localAddress.c_str(), 0) != 0) {
        error = "no local address for RTP";
        return false;
    }
    int err = rtp_listen(&m->rtp, IPPROTO_UDP, &local, minPort, maxPort, true, unusedReceiveHandler,
                         nullptr, m.get());
    if (err) {
        error = "no free RTP port in " + std::to_string(minPort) + "-" + std::to_string(maxPort) +
                ": " + std::strerror(err);
        return false;
    }
    err = udp_register_helper(&m->rtcpGuard, static_cast<udp_sock*>(rtcp_sock(m->rtp)),
                              kRtcpGuardLayer, rtcpSendUnguarded, rtcpReceiveGuard, m.get());
    if (err) {
        error = std::string("cannot guard the RTCP port: ") + std::strerror(err);
        close();
        return false;
    }
    // The loop no longer wakes for RTP: the media clock reads it, with the kernel's arrival time.
    m->rtpFd = udp_sock_fd(static_cast<udp_sock*>(rtp_sock(m->rtp)), AF_INET);
    fd_close(m->rtpFd);
    const int on = 1;
    setsockopt(m->rtpFd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    m->txTimestamp = rand_u32();
    return true;
}

uint16_t RtpMedia::port() const { return m->rtp ? sa_port(rtp_local(m->rtp)) : 0; }

void RtpMedia::start(const MediaTarget& target, FrameSink toLine) {
    if (!m->rtp) return;
    m->toLine = std::move(toLine);
    m->target = target;
    sa_set_str(&m->offered, target.address.c_str(), target.port);
    m->natAllowed = true;
    m->unlatch();
    // The socket was open while the line rang: whatever came then is not from the answered call.
    m->discardQueued();
    sa rtcp = m->destination;
    sa_set_port(&rtcp, uint16_t(target.port + 1));
    rtcp_set_srate(m->rtp, JitterBuffer::kSampleRate, JitterBuffer::kSampleRate);
    rtcp_start(m->rtp, kCname, &rtcp);
    m->running = true;
    m->linePaced = false;
    m->firstPacket = true;
    m->nextTickNs = platform::MonotonicNs() + kFrameNs;
    tmr_start(&m->tick, msUntil(m->nextTickNs), tickHandler, m.get());
}

void RtpMedia::retarget(const MediaTarget& target) {
    if (!m->rtp) return;
    m->target = target;
    sa offered{};
    sa_set_str(&offered, target.address.c_str(), target.port);
    // A session refresh names the same address and keeps the peer.
    if (sa_cmp(&offered, &m->offered, SA_ALL)) return;
    m->offered = offered;
    m->natAllowed = false;
    m->unlatch();
}

void RtpMedia::close() {
    if (m->running)
        std::fprintf(stderr,
                     "vantoro-sipline: media ended: %llu frames late or lost, %d slips, %llu "
                     "datagrams from other sources ignored\n",
                     static_cast<unsigned long long>(m->jitter.lateOrLost()), m->jitter.slips(),
                     static_cast<unsigned long long>(m->ignored));
    m->running = false;
    tmr_cancel(&m->tick);
    tmr_cancel(&m->release);
    m->delayed.clear();
    m->pending.clear();
    m->rtcpGuard = static_cast<udp_helper*>(mem_deref(m->rtcpGuard));
    m->rtp = static_cast<struct rtp_sock*>(mem_deref(m->rtp));
    m->rtpFd = -1;
    m->connected = false;
    m->latch = Impl::Latch::None;
    m->candidates.clear();
    m->rtcpSourceCount = 0;
    m->ignored = 0;
    m->jitter = JitterBuffer(m->jitter.delayMs());
}

void RtpMedia::fromLine(const int16_t* samples, size_t count) {
    if (!m->running) return;
    m->pending.insert(m->pending.end(), samples, samples + count);
    size_t used = 0;
    for (; m->pending.size() - used >= kFrameSamples; used += kFrameSamples)
        m->sendFrame(m->pending.data() + used);
    m->pending.erase(m->pending.begin(), m->pending.begin() + long(used));
    if (used) m->onLineFrame();
}

// The only file that speaks to libre's RTP stack; G.711 through spandsp.
#include "sipline/rtp_media.h"

#include <spandsp.h>

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

namespace {

constexpr int64_t kFrameNs = 20'000'000;
constexpr size_t kFrameSamples = JitterBuffer::kFrameSamples;
// A frame clock that fell this far behind (the process was stopped) restarts instead of
// bursting the frames it missed at the soft modem.
constexpr int64_t kMaxCatchUpNs = 200'000'000;
constexpr char kCname[] = "vantoro-sipline";

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
    MediaTarget target;
    sa destination{};
    sa peer{};
    bool latched = false;
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
    void onPacket(const sa* src, const rtp_header* hdr, mbuf* mb);
    void send(uint32_t timestamp, const std::vector<uint8_t>& payload);
    void releaseDue();
    void sendFrame(const int16_t* samples);
};

namespace {

void tickHandler(void* arg) { static_cast<RtpMedia::Impl*>(arg)->onTick(); }

void releaseHandler(void* arg) { static_cast<RtpMedia::Impl*>(arg)->releaseDue(); }

void receiveHandler(const sa* src, const rtp_header* hdr, mbuf* mb, void* arg) {
    static_cast<RtpMedia::Impl*>(arg)->onPacket(src, hdr, mb);
}

}  // namespace

void RtpMedia::Impl::onTick() {
    int64_t now = platform::MonotonicNs();
    if (now - nextTickNs > kMaxCatchUpNs) nextTickNs = now;
    int16_t frame[kFrameSamples];
    while (running && now >= nextTickNs) {
        jitter.pull(nextTickNs, frame);
        nextTickNs += kFrameNs;
        toLine(frame, kFrameSamples);
        now = platform::MonotonicNs();
    }
    if (running) tmr_start(&tick, msUntil(nextTickNs), tickHandler, this);
}

void RtpMedia::Impl::onPacket(const sa* src, const rtp_header* hdr, mbuf* mb) {
    if (!running) return;
    if (!latched) {
        // Symmetric RTP: answer where the far end really sends from (it may sit behind NAT).
        peer = *src;
        latched = true;
        destination = peer;
    } else if (!sa_cmp(src, &peer, SA_ALL)) {
        return;  // not the call's peer
    }
    if (hdr->pt != kPayloadPcmu && hdr->pt != kPayloadPcma) return;
    const size_t count = std::min(mbuf_get_left(mb), size_t(1024));
    const uint8_t* bytes = mbuf_buf(mb);
    int16_t samples[1024];
    for (size_t i = 0; i < count; ++i)
        samples[i] = hdr->pt == kPayloadPcmu ? ulaw_to_linear(bytes[i]) : alaw_to_linear(bytes[i]);
    jitter.put(hdr->ssrc, hdr->ts, samples, count, platform::MonotonicNs());
}

void RtpMedia::Impl::send(uint32_t timestamp, const std::vector<uint8_t>& payload) {
    mbuf* mb = mbuf_alloc(RTP_HEADER_SIZE + payload.size());
    if (!mb) return;
    mb->pos = RTP_HEADER_SIZE;
    mbuf_write_mem(mb, payload.data(), payload.size());
    mb->pos = RTP_HEADER_SIZE;
    rtp_send(rtp, &destination, false, firstPacket, uint8_t(target.payloadType), timestamp, mb);
    firstPacket = false;
    mem_deref(mb);
}

void RtpMedia::Impl::releaseDue() {
    const int64_t now = platform::MonotonicNs();
    while (!delayed.empty() && delayed.begin()->first <= now) {
        send(delayed.begin()->second.first, delayed.begin()->second.second);
        delayed.erase(delayed.begin());
    }
    if (!delayed.empty())
        tmr_start(&release, msUntil(delayed.begin()->first), releaseHandler, this);
}

void RtpMedia::Impl::sendFrame(const int16_t* samples) {
    std::vector<uint8_t> payload(kFrameSamples);
    for (size_t i = 0; i < kFrameSamples; ++i)
        payload[i] = target.payloadType == kPayloadPcmu ? linear_to_ulaw(samples[i])
                                                        : linear_to_alaw(samples[i]);
    const uint32_t timestamp = txTimestamp;
    txTimestamp += kFrameSamples;
    if (!impairOptions.active()) {
        send(timestamp, payload);
        return;
    }
    const auto delay = impairment.delayNs();
    if (!delay) return;
    delayed.emplace(platform::MonotonicNs() + *delay, std::make_pair(timestamp, payload));
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
    int err = rtp_listen(&m->rtp, IPPROTO_UDP, &local, minPort, maxPort, true, receiveHandler,
                         nullptr, m.get());
    if (err) {
        error = "no free RTP port in " + std::to_string(minPort) + "-" + std::to_string(maxPort) +
                ": " + std::strerror(err);
        return false;
    }
    m->txTimestamp = rand_u32();
    return true;
}

uint16_t RtpMedia::port() const { return m->rtp ? sa_port(rtp_local(m->rtp)) : 0; }

void RtpMedia::start(const MediaTarget& target, FrameSink toLine) {
    if (!m->rtp) return;
    m->toLine = std::move(toLine);
    retarget(target);
    sa rtcp = m->destination;
    sa_set_port(&rtcp, uint16_t(target.port + 1));
    rtcp_set_srate(m->rtp, JitterBuffer::kSampleRate, JitterBuffer::kSampleRate);
    rtcp_start(m->rtp, kCname, &rtcp);
    m->running = true;
    m->firstPacket = true;
    m->nextTickNs = platform::MonotonicNs() + kFrameNs;
    tmr_start(&m->tick, msUntil(m->nextTickNs), tickHandler, m.get());
}

void RtpMedia::retarget(const MediaTarget& target) {
    if (!m->rtp) return;
    m->target = target;
    sa_set_str(&m->destination, target.address.c_str(), target.port);
    m->latched = false;  // the far end may now send from elsewhere
}

void RtpMedia::close() {
    if (m->running)
        std::fprintf(stderr, "vantoro-sipline: media ended: %llu frames late or lost, %d slips\n",
                     static_cast<unsigned long long>(m->jitter.lateOrLost()), m->jitter.slips());
    m->running = false;
    tmr_cancel(&m->tick);
    tmr_cancel(&m->release);
    m->delayed.clear();
    m->pending.clear();
    m->rtp = static_cast<struct rtp_sock*>(mem_deref(m->rtp));
    m->jitter = JitterBuffer(m->jitter.delayMs());
}

void RtpMedia::fromLine(const int16_t* samples, size_t count) {
    if (!m->running) return;
    m->pending.insert(m->pending.end(), samples, samples + count);
    size_t used = 0;
    for (; m->pending.size() - used >= kFrameSamples; used += kFrameSamples)
        m->sendFrame(m->pending.data() + used);
    m->pending.erase(m->pending.begin(), m->pending.begin() + long(used));
}

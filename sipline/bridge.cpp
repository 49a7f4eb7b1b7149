#include "sipline/bridge.h"

#include <cstdio>
#include <ctime>

#include "line_protocol/line_protocol.h"

namespace {

// What the test mode tells vantoro-call between two rings: SIP does not say.
constexpr char kRingIntervalMs[] = "6000";
// RFC 3261 section 21.6: the callee will not take the call anywhere.
constexpr int kSipBusyEverywhere = 600;
constexpr int kSipDecline = 603;
// libre says nothing when our re-INVITE to T.38 is refused: past this the call stays on G.711.
constexpr uint64_t kT38AnswerTimeoutMs = 6000;
// Long enough for a V.21 frame with its preamble.
constexpr uint64_t kT38PlayOutMs = 2500;

void log(const std::string& text) { std::fprintf(stderr, "vantoro-sipline: %s\n", text.c_str()); }

}  // namespace

Bridge::Bridge(SipAgent& agent, BridgeOptions options)
    : m_agent(agent),
      m_options(std::move(options)),
      m_media(m_options.jitterMs, m_options.impair),
      m_t38(m_options.impair),
      m_sessionId(uint64_t(time(nullptr))) {}

const char* Bridge::toString(CallState state) {
    switch (state) {
        case CallState::Idle:
            return "idle";
        case CallState::Setup:
            return "setup";
        case CallState::Ringing:
            return "ringing";
        case CallState::Connected:
            return "connected";
    }
    return "?";
}

void Bridge::setState(CallState state) {
    if (state == m_state) return;
    log(std::string("call ") + toString(m_state) + " -> " + toString(state));
    m_state = state;
}

bool Bridge::start(std::string& error) {
    if (m_options.role == BridgeRole::Answer) return true;
    if (!m_options.t38FaxPath.empty()) {
        m_agent.after(0, [this] { placeCall(""); });
        return true;
    }
    if (!m_line.listenOn(m_options.socketPath, error)) return false;
    m_agent.watch(m_line.listenFd(), [this] { onPeerArrives(); });
    return true;
}

LocalMedia Bridge::localMedia() {
    return LocalMedia{m_localAddress, m_media.port(), m_sessionId, ++m_sdpVersion};
}

LocalMedia Bridge::localT38Media() {
    return LocalMedia{m_localAddress, m_t38.port(), m_sessionId, ++m_sdpVersion};
}

bool Bridge::startMedia(const SdpOffer& offer) {
    if (offer.verdict != OfferVerdict::Accept) return false;
    m_offer = offer;
    m_hasOffer = true;
    if (m_mediaRunning) {
        m_media.retarget(offer.target);
        return true;
    }
    m_mediaRunning = true;
    m_media.start(offer.target, [this](const int16_t* samples, size_t count) {
        m_line.sendAudio(samples, count);
    });
    return true;
}

int Bridge::onInvite(const std::string& callerNumber, const std::string& sdp,
                     const std::string& localAddress, std::string& refusal) {
    if (m_options.role != BridgeRole::Answer || m_state != CallState::Idle) {
        refusal = m_options.role == BridgeRole::Answer ? "a call is up" : "this bridge only dials";
        return kSipBusyHere;
    }
    m_hasOffer = !sdp.empty();
    if (m_hasOffer) {
        m_offer = ParseSdp(sdp);
        if (m_offer.verdict != OfferVerdict::Accept) {
            refusal = std::string("an offer it cannot take: ") + ::toString(m_offer.verdict);
            return kSipNotAcceptableHere;
        }
    }
    m_localAddress = localAddress;
    if (!m_media.open(localAddress, m_options.rtpMinPort, m_options.rtpMaxPort, refusal))
        return kSipServiceUnavailable;
    if (!m_line.connectTo(m_options.socketPath, refusal)) {
        m_media.close();
        return kSipTemporarilyUnavailable;
    }
    m_line.send(line_protocol::kSetup, callerNumber);
    m_agent.watch(m_line.fd(), [this] { onLineReadable(); });
    setState(CallState::Setup);
    return 0;
}

bool Bridge::onReoffer(const std::string& sdp, std::string& answer) {
    const T38Offer image = ParseT38Sdp(sdp);
    if (image.verdict != T38Verdict::NoImage) return switchToT38(image, answer);
    const SdpOffer offer = ParseSdp(sdp);
    if (offer.verdict != OfferVerdict::Accept) {
        log(std::string("refused a new offer (") + ::toString(offer.verdict) +
            "): the call goes on unchanged");
        return false;
    }
    if (m_medium == Medium::T38 && !switchToAudio(offer)) return false;
    startMedia(offer);
    answer = AnswerSdp(offer, localMedia());
    return true;
}

bool Bridge::switchToT38(const T38Offer& offer, std::string& answer) {
    std::string why = ::toString(offer.verdict);
    if (m_options.t38 == T38Policy::Off) why = "T.38 is off in [sip] t38=";
    if (offer.verdict != T38Verdict::Accept || m_options.t38 == T38Policy::Off) {
        log("refused a new offer (" + why + "): the call stays on G.711");
        return false;
    }
    if (m_medium == Medium::T38) {
        m_t38.retarget(offer);
        answer = AnswerT38Sdp(offer, localT38Media());
        return true;
    }
    std::string error;
    if (!m_t38.isOpen() &&
        !m_t38.open(m_localAddress, m_options.rtpMinPort, m_options.rtpMaxPort, error)) {
        log("refused T.38: " + error);
        return false;
    }
    answer = AnswerT38Sdp(offer, localT38Media());
    startT38(offer);
    return true;
}

void Bridge::startT38(const T38Offer& session) {
    m_media.close();
    m_mediaRunning = false;
    m_medium = Medium::T38;
    m_usedT38 = true;
    m_t38Offered = false;
    if (m_options.role == BridgeRole::Dial && !m_options.t38FaxPath.empty()) {
        m_t38.startTerminal(session, m_options.t38FaxPath, [this](const std::string& result) {
            log("T.38 fax " + result);
            // Not from inside the fax machine that reports it.
            m_agent.after(0, [this] {
                m_agent.hangup();
                endCall();
            });
        });
        return;
    }
    m_t38.start(session,
                [this](const int16_t* samples, size_t count) { m_line.sendAudio(samples, count); });
}

bool Bridge::switchToAudio(const SdpOffer& offer) {
    std::string error;
    if (!m_media.open(m_localAddress, m_options.rtpMinPort, m_options.rtpMaxPort, error)) {
        log("cannot go back to audio: " + error);
        return false;
    }
    m_t38.close(m_t38Counts);
    m_medium = Medium::Audio;
    log("back to G.711 from T.38");
    m_offer = offer;
    return true;
}

void Bridge::offerT38() {
    std::string error;
    if (m_state != CallState::Connected || m_medium == Medium::T38) return;
    if (!m_t38.open(m_localAddress, m_options.rtpMinPort, m_options.rtpMaxPort, error)) {
        log("cannot offer T.38: " + error);
        return;
    }
    log("offering T.38");
    m_t38Offered = true;
    m_agent.modify(T38OfferSdp(localT38Media()));
    const uint64_t call = m_callNumber;
    m_agent.after(kT38AnswerTimeoutMs, [this, call] {
        if (!m_t38Offered || call != m_callNumber) return;
        log("no T.38 from the far end: the call stays on G.711");
        m_t38Offered = false;
        T38Counts unused;
        m_t38.close(unused);
    });
}

void Bridge::onT38Answer(const std::string& sdp) {
    m_t38Offered = false;
    const T38Offer image = ParseT38Sdp(sdp);
    if (image.verdict != T38Verdict::Accept) {
        log(std::string("the far end answered T.38 with ") + ::toString(image.verdict) +
            ": the call stays on G.711");
        T38Counts unused;
        m_t38.close(unused);
        return;
    }
    startT38(image);
}
void Bridge::onAnswer(const std::string& sdp) {
    if (m_t38Offered) {
        onT38Answer(sdp);
        return;
    }
    const SdpOffer answer = ParseSdp(sdp);
    if (!startMedia(answer)) {
        log(std::string("the far end's answer is refused: ") + ::toString(answer.verdict));
        m_agent.hangup();
        endCall();
    }
}

void Bridge::onRinging() {
    if (m_options.role != BridgeRole::Dial || m_state == CallState::Idle) return;
    setState(CallState::Ringing);
    m_line.send(line_protocol::kRing, kRingIntervalMs);
}

void Bridge::onEstablished() {
    if (m_options.role != BridgeRole::Dial || m_state == CallState::Idle) return;
    setState(CallState::Connected);
    m_line.send(line_protocol::kAnswer);
    if (m_options.offerT38AfterS > 0)
        m_agent.after(uint64_t(m_options.offerT38AfterS) * 1000, [this] { offerT38(); });
}

void Bridge::onClosed(int status) {
    if (m_state == CallState::Idle) return;
    if (m_medium == Medium::T38 && m_state == CallState::Connected) {
        // A gateway's last frame (DCN) reaches us whole, a frame's time after its modem sent
        // it, and its BYE comes right behind: the modem here must still hear it.
        log("the far end hung up: playing out what the gateway holds");
        const uint64_t call = m_callNumber;
        m_agent.after(kT38PlayOutMs, [this, call] {
            if (call != m_callNumber || m_state == CallState::Idle) return;
            if (m_options.role == BridgeRole::Dial) m_line.send(line_protocol::kHangup);
            endCall();
        });
        return;
    }
    if (m_options.role == BridgeRole::Dial) {
        const bool busy =
            status == kSipBusyHere || status == kSipBusyEverywhere || status == kSipDecline;
        if (m_state == CallState::Connected)
            m_line.send(line_protocol::kHangup);
        else if (busy)
            m_line.send(line_protocol::kBusy);
    }
    endCall();
}

void Bridge::onLineReadable() {
    // One packet a wake-up: the loop calls again while more wait, and a read that would only
    // find the socket empty is a system call 50 times a second.
    const LineSocket::Read read = m_line.receive(m_packet);
    if (read == LineSocket::Read::Closed)
        onLineClosed();
    else if (read == LineSocket::Read::Packet && !m_packet.empty())
        onLinePacket(m_packet);
}

void Bridge::onLinePacket(const std::string& packet) {
    const char type = packet[0];
    if (type == line_protocol::kAudio) {
        int16_t samples[line_protocol::kMaxAudioSamples];
        const size_t count =
            line_protocol::decodeAudio(packet.data() + 1, packet.size() - 1, samples);
        if (m_medium == Medium::T38) {
            m_t38.fromLine(samples, count);
            return;
        }
        m_media.fromLine(samples, count);
        if (wantsT38() && m_faxAnswer.heard(samples, count)) {
            log("the soft modem answers as a fax machine");
            m_t38Requested = true;
            offerT38();
        }
    } else if (m_options.role == BridgeRole::Dial) {
        if (type == line_protocol::kSetup && m_state == CallState::Idle)
            placeCall(packet.substr(1));
    } else if (type == line_protocol::kRing && m_state != CallState::Connected) {
        setState(CallState::Ringing);
        m_agent.ringing();
    } else if (type == line_protocol::kAnswer && m_state != CallState::Connected) {
        onModemAnswered();
    } else if (type == line_protocol::kHangup) {
        log("the soft modem hung up");
        m_agent.hangup();
        endCall();
    } else if (type == line_protocol::kBusy) {
        log("the soft modem's line is busy");
        m_agent.reject(kSipBusyHere);
        endCall();
    }
}

bool Bridge::wantsT38() const {
    return m_options.role == BridgeRole::Answer && m_options.t38 == T38Policy::Request &&
           m_state == CallState::Connected && !m_t38Requested && !m_t38Offered;
}

void Bridge::onModemAnswered() {
    setState(CallState::Connected);
    const LocalMedia local = localMedia();
    if (!m_hasOffer) {
        // No offer in the INVITE: ours goes in the 200 OK and the answer comes with the ACK.
        m_agent.answer(OfferSdp(local));
        return;
    }
    m_agent.answer(AnswerSdp(m_offer, local));
    startMedia(m_offer);
}

void Bridge::onLineClosed() {
    log(m_options.role == BridgeRole::Answer ? "the soft modem closed the line"
                                             : "the caller hung up");
    m_agent.hangup();
    endCall();
}

void Bridge::onPeerArrives() {
    if (m_line.connected()) {
        m_line.refusePeer();
        return;
    }
    if (!m_line.acceptPeer()) return;
    m_agent.watch(m_line.fd(), [this] { onLineReadable(); });
}

void Bridge::placeCall(const std::string& callerNumber) {
    m_localAddress = m_agent.localAddress();
    std::string error;
    if (!m_media.open(m_localAddress, m_options.rtpMinPort, m_options.rtpMaxPort, error) ||
        !m_agent.dial(m_options.dialUri, callerNumber, OfferSdp(localMedia()), error)) {
        log(error);
        m_line.send(line_protocol::kBusy);
        endCall();
        return;
    }
    log("calling " + m_options.dialUri);
    setState(CallState::Setup);
}

void Bridge::logCallMedia() {
    if (!m_usedT38) {
        log("call media: G.711");
        return;
    }
    log("call media: T.38, " + std::to_string(m_t38Counts.ifpIn) + " IFPs in, " +
        std::to_string(m_t38Counts.ifpOut) + " out, " + std::to_string(m_t38Counts.lost) +
        " lost, " + std::to_string(m_t38Counts.recovered) + " recovered by redundancy");
}

void Bridge::endCall() {
    ++m_callNumber;
    m_media.close();
    m_mediaRunning = false;
    m_t38.close(m_t38Counts);
    if (m_state != CallState::Idle) logCallMedia();
    m_medium = Medium::Audio;
    m_usedT38 = false;
    m_t38Offered = false;
    m_t38Requested = false;
    m_faxAnswer.restart();
    m_t38Counts = T38Counts{};
    m_hasOffer = false;
    if (m_line.connected()) m_agent.unwatch(m_line.fd());
    m_line.close();
    setState(CallState::Idle);
}

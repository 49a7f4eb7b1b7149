#pragma once
// One call between SIP and the soft modem's line socket. Toward the modem the bridge behaves
// exactly like vantoro-call; in test mode it is the modem toward vantoro-call and places the
// SIP call itself.

#include <cstdint>
#include <string>

#include "sipline/impairment.h"
#include "sipline/line_socket.h"
#include "sipline/rtp_media.h"
#include "sipline/sdp_policy.h"
#include "sipline/sip_agent.h"
#include "sipline/t38_media.h"

enum class BridgeRole { Answer, Dial };

// Accept: T.38 when the far end offers it. Request: also offer it when the soft modem answers
// as a fax modem. Off: fax stays in G.711.
enum class T38Policy { Accept, Request, Off };

struct BridgeOptions {
    BridgeRole role = BridgeRole::Answer;
    std::string socketPath;  // Answer: the soft modem's; Dial: the one served to vantoro-call
    std::string dialUri;
    uint16_t rtpMinPort = 20000;
    uint16_t rtpMaxPort = 20999;
    // Deeper than the longest pause of a busy host: a sender held up past the delay loses its
    // frames, and on an answering machine the delay costs nothing.
    int jitterMs = 160;
    ImpairOptions impair;
    int offerT38AfterS = 0;  // test mode: offer T.38 this long into the call
    T38Policy t38 = T38Policy::Accept;
    // Test mode: no caller on the line socket; a T.38 fax machine sends this file once the far
    // end takes T.38.
    std::string t38FaxPath;
};

class Bridge : public SipCallHandler {
public:
    Bridge(SipAgent& agent, BridgeOptions options);
    bool start(std::string& error);

    int onInvite(const std::string& callerNumber, const std::string& sdp,
                 const std::string& localAddress, std::string& refusal) override;
    bool onReoffer(const std::string& sdp, std::string& answer) override;
    void onAnswer(const std::string& sdp) override;
    void onRinging() override;
    void onEstablished() override;
    void onClosed(int status) override;

private:
    enum class CallState { Idle, Setup, Ringing, Connected };
    static const char* toString(CallState state);
    enum class Medium { Audio, T38 };

    void setState(CallState state);
    void onLineReadable();
    void onLinePacket(const std::string& packet);
    void onLineClosed();
    void onPeerArrives();
    void onModemAnswered();
    bool wantsT38() const;
    void placeCall(const std::string& callerNumber);
    bool startMedia(const SdpOffer& offer);
    bool switchToT38(const T38Offer& offer, std::string& answer);
    bool switchToAudio(const SdpOffer& offer);
    void startT38(const T38Offer& session);
    void offerT38();
    void onT38Answer(const std::string& sdp);
    LocalMedia localMedia();
    LocalMedia localT38Media();
    void logCallMedia();
    void endCall();

    SipAgent& m_agent;
    BridgeOptions m_options;
    LineSocket m_line;
    std::string m_packet;  // kept between reads, so reading allocates nothing
    RtpMedia m_media;
    T38Media m_t38;
    Medium m_medium = Medium::Audio;
    bool m_t38Offered = false;  // our re-INVITE to T.38 waits for its answer
    bool m_usedT38 = false;
    T38Counts m_t38Counts;
    FaxAnswerDetector m_faxAnswer;
    bool m_t38Requested = false;  // [sip] t38=request: offered once in the call
    uint64_t m_callNumber = 0;    // tells a timer of an ended call from one of the current call
    CallState m_state = CallState::Idle;
    SdpOffer m_offer;
    bool m_hasOffer = false;
    bool m_mediaRunning = false;
    std::string m_localAddress;
    uint64_t m_sessionId = 0;
    uint64_t m_sdpVersion = 0;
};

#pragma once
// The call's audio on the network: G.711 RTP to and from the far end, RTCP as the RTP stack
// does it, and the 20 ms clock that feeds the soft modem. The RTP stack stays inside
// rtp_media.cpp.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sipline/impairment.h"
#include "sipline/sdp_policy.h"

class RtpMedia {
public:
    // One 20 ms frame for the line, 160 samples.
    using FrameSink = std::function<void(const int16_t* samples, size_t count)>;

    RtpMedia(int jitterMs, const ImpairOptions& impair);
    ~RtpMedia();
    RtpMedia(const RtpMedia&) = delete;
    RtpMedia& operator=(const RtpMedia&) = delete;

    // Binds an RTP port (even) and its RTCP port in [minPort, maxPort].
    bool open(const std::string& localAddress, uint16_t minPort, uint16_t maxPort,
              std::string& error);
    uint16_t port() const;
    // Starts both directions toward `target`; frames for the line go to `toLine`.
    void start(const MediaTarget& target, FrameSink toLine);
    // A new offer in the call: new address or codec, same clock and jitter buffer.
    void retarget(const MediaTarget& target);
    void close();
    // Audio from the line, sent as one packet per 160 samples.
    void fromLine(const int16_t* samples, size_t count);

    struct Impl;

private:
    std::unique_ptr<Impl> m;
};

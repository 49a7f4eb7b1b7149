#pragma once
// What the bridge accepts in an SDP offer and what it answers and offers: G.711 audio at 20 ms,
// no comfort noise, no telephone-event, silence suppression off. Plain text in, plain text out.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// RFC 3551 static payload types.
constexpr int kPayloadPcmu = 0;
constexpr int kPayloadPcma = 8;
// Larger bodies are refused unread: no G.711 offer comes near it.
constexpr size_t kMaxSdpBytes = 8192;
constexpr size_t kMaxSdpLines = 128;

// NotUnicast: the audio's c= is 0.0.0.0 (hold), multicast or broadcast, which the bridge does not
// take: the far end would hear nothing, or everyone on the network would hear the call.
enum class OfferVerdict { Accept, NoG711, T38Only, NotUnicast, Malformed };
const char* toString(OfferVerdict verdict);

enum class G711Law { Ulaw, Alaw };

struct MediaTarget {
    std::string address;  // where the far end wants RTP (IPv4 dotted)
    uint16_t port = 0;
    // As the offer numbers it: the static type, or the dynamic one its rtpmap names G.711 by.
    int payloadType = kPayloadPcmu;
    G711Law law = G711Law::Ulaw;
};

struct SdpOffer {
    OfferVerdict verdict = OfferVerdict::Malformed;
    MediaTarget target;
    // Every m= line as offered, so that the answer can refuse the others in place.
    std::vector<std::string> mediaLines;
    size_t audioIndex = 0;
};

// Reads an offer (or an answer to our offer: the same rules pick the codec).
SdpOffer ParseSdp(const std::string& sdp);

struct LocalMedia {
    std::string address;
    uint16_t port = 0;
    uint64_t sessionId = 0;
    uint64_t version = 0;
};

// Our answer to an accepted offer: the chosen codec on the audio line, port 0 on the others.
std::string AnswerSdp(const SdpOffer& offer, const LocalMedia& local);
// Our own offer: PCMU and PCMA.
std::string OfferSdp(const LocalMedia& local);
// The v= to t= lines that every SDP of ours begins with.
std::string SdpSessionLines(const LocalMedia& local);

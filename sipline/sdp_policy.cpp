#include "sipline/sdp_policy.h"

#include <cctype>
#include <sstream>

namespace {

constexpr char kSilenceSuppressionOff[] = "a=silenceSupp:off - - - -";
constexpr int kPacketMs = 20;
constexpr int kMaxPayloadType = 127;

struct MediaLine {
    std::string media, proto;
    long port = -1;
    std::vector<int> formats;
    std::string address;  // c= of this media, if it has one
    std::vector<std::pair<int, std::string>> rtpmaps;
};

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

bool toNumber(const std::string& text, long max, long& value) {
    if (text.empty() || text.size() > 6) return false;
    value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + (c - '0');
    }
    return value <= max;
}

bool ipv4(const std::string& text, long& firstOctet) {
    int dots = 0;
    long part = 0;
    std::string digits;
    for (char c : text + ".") {
        if (c == '.') {
            if (!toNumber(digits, 255, part)) return false;
            if (dots == 0) firstOctet = part;
            ++dots;
            digits.clear();
        } else {
            digits += c;
        }
    }
    return dots == 4;
}

// 0.0.0.0 (RFC 2543 hold), 224/4 multicast, and 240/4 with the limited broadcast in it.
bool unicast(const std::string& address, long firstOctet) {
    return address != "0.0.0.0" && firstOctet < 224;
}

// "c=IN IP4 192.0.2.1": the address, or empty when it is not IPv4.
std::string connectionAddress(const std::string& value) {
    auto w = words(value);
    if (w.size() != 3 || w[0] != "IN" || w[1] != "IP4") return "";
    std::string address = w[2].substr(0, w[2].find('/'));
    long firstOctet = 0;
    return ipv4(address, firstOctet) ? address : "";
}

// The codec name an offer gives a payload type: rtpmap first, else the static assignment.
std::string codecOf(const MediaLine& m, int pt) {
    for (const auto& [type, name] : m.rtpmaps) {
        if (type == pt) return name;
    }
    if (pt == kPayloadPcmu) return "PCMU/8000";
    if (pt == kPayloadPcma) return "PCMA/8000";
    return "";
}

bool sameCodec(const std::string& name, const char* wanted) {
    std::string upper;
    for (char c : name.substr(0, name.find('/', name.find('/') + 1)))
        upper += char(std::toupper(static_cast<unsigned char>(c)));
    return upper == wanted;
}

// The offerer's first G.711 format, by its name: some offer it under a dynamic type.
bool chooseG711(const MediaLine& m, MediaTarget& target) {
    for (int pt : m.formats) {
        const std::string codec = codecOf(m, pt);
        const bool ulaw = sameCodec(codec, "PCMU/8000");
        if (!ulaw && !sameCodec(codec, "PCMA/8000")) continue;
        target.payloadType = pt;
        target.law = ulaw ? G711Law::Ulaw : G711Law::Alaw;
        return true;
    }
    return false;
}

bool parseMediaLine(const std::string& value, MediaLine& m) {
    auto w = words(value);
    if (w.size() < 4) return false;
    m.media = w[0];
    std::string port = w[1].substr(0, w[1].find('/'));
    if (!toNumber(port, 65535, m.port)) return false;
    m.proto = w[2];
    for (size_t i = 3; i < w.size(); ++i) {
        long pt = 0;
        if (toNumber(w[i], kMaxPayloadType, pt)) m.formats.push_back(int(pt));
    }
    return true;
}

void parseRtpmap(const std::string& value, MediaLine& m) {
    // "rtpmap:0 PCMU/8000"
    auto w = words(value.substr(7));
    long pt = 0;
    if (w.size() >= 2 && toNumber(w[0], kMaxPayloadType, pt)) m.rtpmaps.emplace_back(int(pt), w[1]);
}

}  // namespace

const char* toString(OfferVerdict verdict) {
    switch (verdict) {
        case OfferVerdict::Accept:
            return "accept";
        case OfferVerdict::NoG711:
            return "no G.711";
        case OfferVerdict::T38Only:
            return "T.38 only";
        case OfferVerdict::NotUnicast:
            return "its address is 0.0.0.0, multicast or broadcast: hold and multicast are not "
                   "supported";
        case OfferVerdict::Malformed:
            return "malformed";
    }
    return "?";
}

SdpOffer ParseSdp(const std::string& sdp) {
    SdpOffer offer;
    if (sdp.size() > kMaxSdpBytes) return offer;
    std::vector<MediaLine> media;
    std::string sessionAddress;
    std::istringstream in(sdp);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);) {
        if (++lines > kMaxSdpLines) return offer;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 2 || line[1] != '=') continue;
        const std::string value = line.substr(2);
        if (line[0] == 'm') {
            media.emplace_back();
            if (!parseMediaLine(value, media.back())) return offer;
            offer.mediaLines.push_back(line);
        } else if (line[0] == 'c') {
            (media.empty() ? sessionAddress : media.back().address) = connectionAddress(value);
        } else if (line[0] == 'a' && !media.empty() && value.rfind("rtpmap:", 0) == 0) {
            parseRtpmap(value, media.back());
        }
    }
    if (media.empty()) return offer;
    bool t38 = false, notUnicast = false;
    for (size_t i = 0; i < media.size(); ++i) {
        const MediaLine& m = media[i];
        if (m.media == "image" && m.port != 0 && m.proto.find("udptl") != std::string::npos)
            t38 = true;
        if (m.media != "audio" || m.port == 0 || m.proto != "RTP/AVP") continue;
        MediaTarget target;
        const std::string address = m.address.empty() ? sessionAddress : m.address;
        if (!chooseG711(m, target) || address.empty()) continue;
        long firstOctet = 0;
        if (!ipv4(address, firstOctet) || !unicast(address, firstOctet)) {
            notUnicast = true;
            continue;
        }
        target.address = address;
        target.port = uint16_t(m.port);
        offer.verdict = OfferVerdict::Accept;
        offer.target = target;
        offer.audioIndex = i;
        return offer;
    }
    offer.verdict = notUnicast ? OfferVerdict::NotUnicast
                    : t38      ? OfferVerdict::T38Only
                               : OfferVerdict::NoG711;
    return offer;
}

namespace {

void sessionLines(std::ostringstream& out, const LocalMedia& local) {
    out << "v=0\r\n"
        << "o=vantoro " << local.sessionId << ' ' << local.version << " IN IP4 " << local.address
        << "\r\n"
        << "s=vantoro\r\n"
        << "c=IN IP4 " << local.address << "\r\n"
        << "t=0 0\r\n";
}

void audioAttributes(std::ostringstream& out, const std::vector<std::pair<int, G711Law>>& formats) {
    for (const auto& [pt, law] : formats)
        out << "a=rtpmap:" << pt << (law == G711Law::Ulaw ? " PCMU/8000" : " PCMA/8000") << "\r\n";
    out << "a=ptime:" << kPacketMs << "\r\n"
        << kSilenceSuppressionOff << "\r\n"
        << "a=sendrecv\r\n";
}

}  // namespace

std::string AnswerSdp(const SdpOffer& offer, const LocalMedia& local) {
    std::ostringstream out;
    sessionLines(out, local);
    for (size_t i = 0; i < offer.mediaLines.size(); ++i) {
        if (i == offer.audioIndex) {
            out << "m=audio " << local.port << " RTP/AVP " << offer.target.payloadType << "\r\n";
            audioAttributes(out, {{offer.target.payloadType, offer.target.law}});
            continue;
        }
        // A refused stream keeps its place with port 0 (RFC 3264 section 6).
        auto w = words(offer.mediaLines[i].substr(2));
        out << "m=" << w[0] << " 0 " << w[2] << ' ' << w[3] << "\r\n";
    }
    return out.str();
}

std::string OfferSdp(const LocalMedia& local) {
    std::ostringstream out;
    sessionLines(out, local);
    out << "m=audio " << local.port << " RTP/AVP " << kPayloadPcmu << ' ' << kPayloadPcma << "\r\n";
    audioAttributes(out, {{kPayloadPcmu, G711Law::Ulaw}, {kPayloadPcma, G711Law::Alaw}});
    return out.str();
}

std::string SdpSessionLines(const LocalMedia& local) {
    std::ostringstream out;
    sessionLines(out, local);
    return out.str();
}

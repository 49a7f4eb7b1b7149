#include "sipline/t38_sdp.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string lower(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
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

// "c=IN IP4 192.0.2.1": the address if it is unicast IPv4, "" when it is not IPv4, "-" when
// it is IPv4 but hold, multicast or broadcast.
std::string unicastAddress(const std::string& value) {
    auto w = words(value);
    if (w.size() != 3 || w[0] != "IN" || w[1] != "IP4") return "";
    const std::string address = w[2].substr(0, w[2].find('/'));
    std::istringstream in(address);
    long octets[4] = {};
    std::string part;
    for (long& octet : octets) {
        if (!std::getline(in, part, '.') || !toNumber(part, 255, octet)) return "";
    }
    if (std::getline(in, part)) return "";
    return address == "0.0.0.0" || octets[0] >= 224 ? "-" : address;
}

struct ImageLine {
    long port = -1;
    bool t38 = false;
    std::string address;
};

// One "a=Name:value" of the image stream; names are matched without case, as senders vary.
void imageAttribute(const std::string& value, T38Offer& offer, bool& localTcf) {
    const size_t colon = value.find(':');
    if (colon == std::string::npos) return;
    const std::string name = lower(value.substr(0, colon));
    const std::string arg = value.substr(colon + 1);
    long number = 0;
    if (name == "t38faxversion" && toNumber(arg, 99, number)) {
        offer.version = int(std::min<long>(number, kT38MaxVersion));
    } else if (name == "t38maxbitrate" && toNumber(arg, 999999, number) && number >= 2400) {
        // V.34 rates are not ours to carry; below V.17's the answer names the offer's own.
        offer.maxBitRate = number >= kT38RateV17   ? kT38RateV17
                           : number >= kT38RateV29 ? kT38RateV29
                                                   : int(number);
    } else if (name == "t38faxmaxdatagram" && toNumber(arg, 65535, number)) {
        offer.farMaxDatagram = std::clamp<size_t>(size_t(number), 32, kUdptlMaxDatagram);
    } else if (name == "t38faxratemanagement") {
        localTcf = lower(arg) == "localtcf";
    } else if (name == "t38faxudpec") {
        offer.recovery = lower(arg) == "t38udpfec" ? UdptlRecovery::Fec : UdptlRecovery::Redundancy;
    }
}

}  // namespace

const char* toString(T38Verdict verdict) {
    switch (verdict) {
        case T38Verdict::Accept:
            return "accept";
        case T38Verdict::NoImage:
            return "no T.38 stream";
        case T38Verdict::LocalTcf:
            return "T.38 with localTCF only: the bridge passes the modems' own training "
                   "(transferredTCF)";
        case T38Verdict::NotUnicast:
            return "its address is 0.0.0.0, multicast or broadcast";
        case T38Verdict::Malformed:
            return "malformed";
    }
    return "?";
}

T38Offer ParseT38Sdp(const std::string& sdp) {
    T38Offer offer;
    if (sdp.size() > kMaxSdpBytes) return offer;
    std::istringstream in(sdp);
    std::string sessionAddress;
    std::vector<ImageLine> media;
    bool inImage = false, localTcf = false, found = false;
    size_t lines = 0;
    for (std::string line; std::getline(in, line);) {
        if (++lines > kMaxSdpLines) return offer;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 2 || line[1] != '=') continue;
        const std::string value = line.substr(2);
        if (line[0] == 'm') {
            auto w = words(value);
            if (w.size() < 3) return offer;
            media.emplace_back();
            if (!toNumber(w[1].substr(0, w[1].find('/')), 65535, media.back().port)) return offer;
            offer.mediaLines.push_back(line);
            media.back().t38 =
                w[0] == "image" && lower(w[2]) == "udptl" && w.size() >= 4 && lower(w[3]) == "t38";
            inImage = !found && media.back().t38 && media.back().port != 0;
            if (inImage) {
                found = true;
                offer.imageIndex = media.size() - 1;
            }
        } else if (line[0] == 'c') {
            (media.empty() ? sessionAddress : media.back().address) = unicastAddress(value);
        } else if (line[0] == 'a' && inImage) {
            imageAttribute(value, offer, localTcf);
        }
    }
    if (!found) {
        offer.verdict = T38Verdict::NoImage;
        return offer;
    }
    const ImageLine& image = media[offer.imageIndex];
    const std::string address = image.address.empty() ? sessionAddress : image.address;
    offer.address = address;
    offer.port = uint16_t(image.port);
    offer.verdict = address.empty()  ? T38Verdict::Malformed
                    : address == "-" ? T38Verdict::NotUnicast
                    : localTcf       ? T38Verdict::LocalTcf
                                     : T38Verdict::Accept;
    return offer;
}

std::string AnswerT38Sdp(const T38Offer& offer, const LocalMedia& local) {
    std::ostringstream out;
    out << SdpSessionLines(local);
    for (size_t i = 0; i < offer.mediaLines.size(); ++i) {
        if (i == offer.imageIndex) {
            out << "m=image " << local.port << " udptl t38\r\n"
                << "a=T38FaxVersion:" << offer.version << "\r\n"
                << "a=T38MaxBitRate:" << offer.maxBitRate << "\r\n"
                << "a=T38FaxRateManagement:transferredTCF\r\n"
                << "a=T38FaxMaxBuffer:" << kT38OurMaxBuffer << "\r\n"
                << "a=T38FaxMaxDatagram:" << kT38OurMaxDatagram << "\r\n"
                << "a=T38FaxUdpEC:t38UDPRedundancy\r\n";
            continue;
        }
        // A refused stream keeps its place with port 0 (RFC 3264 section 6).
        auto w = words(offer.mediaLines[i].substr(2));
        out << "m=" << w[0] << " 0";
        for (size_t k = 2; k < w.size(); ++k) out << ' ' << w[k];
        out << "\r\n";
    }
    return out.str();
}

std::string T38OfferSdp(const LocalMedia& local) {
    T38Offer ours;
    ours.version = 0;
    ours.mediaLines = {"m=image"};
    return AnswerT38Sdp(ours, local);
}

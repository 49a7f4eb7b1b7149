#pragma once
// The image stream of a T.38 offer (T.38 Annex D, m=image PORT udptl t38) and our answer to it.
// The audio rules stay in sdp_policy.h; these share its plain text in, plain text out.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sipline/sdp_policy.h"
#include "sipline/udptl.h"

// LocalTcf: the far end wants each gateway to make its own training check, which a gateway
// between two audio modems cannot do: only transferredTCF passes the modem's own.
enum class T38Verdict { Accept, NoImage, LocalTcf, NotUnicast, Malformed };
const char* toString(T38Verdict verdict);

constexpr int kT38MaxVersion = 3;
constexpr int kT38RateV29 = 9600;
constexpr int kT38RateV17 = 14400;
// What our receiver takes in one datagram, said in the answer.
constexpr size_t kT38OurMaxDatagram = 400;
constexpr size_t kT38OurMaxBuffer = 1800;

struct T38Offer {
    T38Verdict verdict = T38Verdict::Malformed;
    std::string address;
    uint16_t port = 0;
    int version = 0;
    int maxBitRate = kT38RateV17;
    size_t farMaxDatagram = kT38OurMaxDatagram;  // what the far end takes
    UdptlRecovery recovery = UdptlRecovery::Redundancy;
    std::vector<std::string> mediaLines;
    size_t imageIndex = 0;
};

T38Offer ParseT38Sdp(const std::string& sdp);
// Accepts the image stream at `local.port`, refuses the others in place.
std::string AnswerT38Sdp(const T38Offer& offer, const LocalMedia& local);
// A switch to T.38 as gateways offer it on hearing a fax.
std::string T38OfferSdp(const LocalMedia& local);

// libFuzzer: any offer is read without harm, and an accepted one gets an answer that keeps its
// media lines in place and is itself accepted with the same codec.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sipline/sdp_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const SdpOffer offer = ParseSdp(std::string(reinterpret_cast<const char*>(data), size));
    if (offer.verdict != OfferVerdict::Accept) return 0;
    const LocalMedia local{"192.0.2.7", 20000, 1, 1};
    const SdpOffer answer = ParseSdp(AnswerSdp(offer, local));
    if (answer.verdict != OfferVerdict::Accept ||
        answer.target.payloadType != offer.target.payloadType ||
        answer.mediaLines.size() != offer.mediaLines.size() || answer.target.port != local.port)
        __builtin_trap();
    return 0;
}

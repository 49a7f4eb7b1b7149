// libFuzzer: any offer is read without harm, an accepted one names a unicast address, and its
// answer keeps its media lines in place and is itself accepted with the same codec.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sipline/sdp_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const SdpOffer offer = ParseSdp(std::string(reinterpret_cast<const char*>(data), size));
    if (offer.verdict != OfferVerdict::Accept) return 0;
    const std::string& address = offer.target.address;
    if (address == "0.0.0.0" || std::stoi(address.substr(0, address.find('.'))) >= 224)
        __builtin_trap();
    const LocalMedia local{"192.0.2.7", 20000, 1, 1};
    const SdpOffer answer = ParseSdp(AnswerSdp(offer, local));
    if (answer.verdict != OfferVerdict::Accept ||
        answer.target.payloadType != offer.target.payloadType ||
        answer.target.law != offer.target.law ||
        answer.mediaLines.size() != offer.mediaLines.size() || answer.target.port != local.port)
        __builtin_trap();
    return 0;
}

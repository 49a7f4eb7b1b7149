// Which offers the bridge takes, with which payload type and law, and which it refuses.
#include "sipline/sdp_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Offer(const std::string& address, const std::string& media) {
    return "v=0\r\no=- 1 1 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 " + address + "\r\nt=0 0\r\n" +
           media;
}

TEST(SdpPolicy, G711IsTakenByNameUnderAnyPayloadType) {
    struct Case {
        const char* media;
        OfferVerdict verdict;
        int payloadType;
        G711Law law;
    } cases[] = {
        {"m=audio 4000 RTP/AVP 96\r\na=rtpmap:96 PCMU/8000\r\n", OfferVerdict::Accept, 96,
         G711Law::Ulaw},
        {"m=audio 4000 RTP/AVP 101 97 0\r\na=rtpmap:101 telephone-event/8000\r\n"
         "a=rtpmap:97 pcma/8000/1\r\n",
         OfferVerdict::Accept, 97, G711Law::Alaw},
        {"m=audio 4000 RTP/AVP 8 0\r\n", OfferVerdict::Accept, 8, G711Law::Alaw},
        // Wide-band PCMU is not the line's 8 kHz audio.
        {"m=audio 4000 RTP/AVP 96\r\na=rtpmap:96 PCMU/16000\r\n", OfferVerdict::NoG711, 0,
         G711Law::Ulaw},
        {"m=audio 4000 RTP/AVP 0\r\na=rtpmap:0 G722/8000\r\n", OfferVerdict::NoG711, 0,
         G711Law::Ulaw},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.media);
        const SdpOffer offer = ParseSdp(Offer("192.0.2.9", c.media));
        ASSERT_EQ(offer.verdict, c.verdict);
        if (c.verdict != OfferVerdict::Accept) continue;
        EXPECT_EQ(offer.target.payloadType, c.payloadType);
        EXPECT_EQ(offer.target.law, c.law);
        const std::string answer = AnswerSdp(offer, LocalMedia{"192.0.2.7", 20000, 1, 1});
        const std::string pt = std::to_string(c.payloadType);
        EXPECT_NE(answer.find("m=audio 20000 RTP/AVP " + pt + "\r\na=rtpmap:" + pt +
                              (c.law == G711Law::Ulaw ? " PCMU/8000" : " PCMA/8000")),
                  std::string::npos)
            << answer;
    }
}

TEST(SdpPolicy, OnlyUnicastAudioAddressesAreTaken) {
    const std::string audio = "m=audio 4000 RTP/AVP 0\r\n";
    for (const char* address :
         {"0.0.0.0", "224.0.0.1", "239.255.255.250/16", "255.255.255.255", "240.0.0.1"}) {
        EXPECT_EQ(ParseSdp(Offer(address, audio)).verdict, OfferVerdict::NotUnicast) << address;
    }
    for (const char* address : {"127.0.0.1", "10.0.0.1", "223.255.255.254"})
        EXPECT_EQ(ParseSdp(Offer(address, audio)).verdict, OfferVerdict::Accept) << address;
    // A media line's own unicast address stands above a session-level 0.0.0.0.
    const SdpOffer offer = ParseSdp(Offer("0.0.0.0", audio + "c=IN IP4 192.0.2.9\r\n"));
    EXPECT_EQ(offer.verdict, OfferVerdict::Accept);
    EXPECT_EQ(offer.target.address, "192.0.2.9");
}

}  // namespace

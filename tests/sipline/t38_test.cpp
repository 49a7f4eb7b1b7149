// The image stream of an offer and our answer to it; the repair of our gateway's output where
// spandsp takes a V.21 command for a fast modem (IFPs as spandsp sends them, T.38 version 0).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sipline/ifp_repair.h"
#include "sipline/t38_sdp.h"

namespace {

const std::string kSession =
    "v=0\r\no=gw 1 2 IN IP4 192.0.2.7\r\ns=-\r\nc=IN IP4 192.0.2.7\r\nt=0 0\r\n";

using Ifp = std::vector<uint8_t>;

std::vector<Ifp> Repaired(const std::vector<Ifp>& in) {
    IfpRepair repair(0);
    std::vector<Ifp> out;
    for (const Ifp& ifp : in)
        repair.put(ifp.data(), ifp.size(), 1,
                   [&out](const uint8_t* p, size_t n, int) { out.emplace_back(p, p + n); });
    return out;
}

}  // namespace

TEST(T38Sdp, OffersAndTheirVerdicts) {
    const T38Offer fec = ParseT38Sdp(kSession +
                                     "m=image 4000 udptl t38\r\na=T38FaxVersion:5\r\n"
                                     "a=T38MaxBitRate:9600\r\na=t38faxmaxdatagram:200\r\n"
                                     "a=T38FaxUdpEC:t38UDPFEC\r\n");
    EXPECT_EQ(fec.verdict, T38Verdict::Accept);
    EXPECT_EQ(fec.address, "192.0.2.7");
    EXPECT_EQ(fec.port, 4000);
    EXPECT_EQ(fec.version, 3);
    EXPECT_EQ(fec.maxBitRate, 9600);
    EXPECT_EQ(fec.farMaxDatagram, 200u);
    EXPECT_EQ(fec.recovery, UdptlRecovery::Fec);
    EXPECT_EQ(
        ParseT38Sdp(kSession + "m=image 4000 udptl t38\r\na=T38MaxBitRate:4800\r\n").maxBitRate,
        4800);
    const struct {
        std::string media;
        T38Verdict verdict;
    } rows[] = {
        {"m=image 4000 udptl t38\r\na=T38FaxRateManagement:localTCF\r\n", T38Verdict::LocalTcf},
        {"m=image 4000 udptl t38\r\nc=IN IP4 0.0.0.0\r\n", T38Verdict::NotUnicast},
        {"m=image 4000 udptl t38\r\nc=IN IP4 239.1.1.1\r\n", T38Verdict::NotUnicast},
        {"m=audio 4000 RTP/AVP 0\r\n", T38Verdict::NoImage},
        {"m=image 0 udptl t38\r\n", T38Verdict::NoImage},
        {"m=image 70000 udptl t38\r\n", T38Verdict::Malformed},
    };
    for (const auto& row : rows) EXPECT_EQ(ParseT38Sdp(kSession + row.media).verdict, row.verdict);
}

TEST(T38Sdp, AnswerTakesTheImageAndRefusesTheAudioInPlace) {
    const T38Offer offer = ParseT38Sdp(kSession +
                                       "m=audio 0 RTP/AVP 0 8\r\nm=image 4002 udptl t38\r\n"
                                       "a=T38FaxVersion:0\r\na=T38MaxBitRate:14400\r\n");
    ASSERT_EQ(offer.verdict, T38Verdict::Accept);
    const std::string answer = AnswerT38Sdp(offer, LocalMedia{"127.0.0.1", 30000, 9, 4});
    EXPECT_NE(answer.find("o=vantoro 9 4 IN IP4 127.0.0.1\r\n"), std::string::npos) << answer;
    EXPECT_NE(answer.find("m=audio 0 RTP/AVP 0 8\r\nm=image 30000 udptl t38\r\n"
                          "a=T38FaxVersion:0\r\na=T38MaxBitRate:14400\r\n"
                          "a=T38FaxRateManagement:transferredTCF\r\na=T38FaxMaxBuffer:1800\r\n"
                          "a=T38FaxMaxDatagram:400\r\na=T38FaxUdpEC:t38UDPRedundancy\r\n"),
              std::string::npos)
        << answer;
}

TEST(IfpRepair, AV21CommandTakenForAFastTrainingGoesOutAsV21) {
    // v29-9600-training, then MPS as fast HDLC, its FCS and the end of page data.
    EXPECT_EQ(Repaired({{0x0e},
                        {0xc8, 0x01, 0x80, 0x00, 0x02, 0xff, 0xc8, 0xf2},
                        {0xc8, 0x01, 0x20},
                        {0xc8, 0x01, 0x70},
                        {0x00}}),
              (std::vector<Ifp>{{0x06},
                                {0xc0, 0x01, 0x80, 0x00, 0x02, 0xff, 0xc8, 0xf2},
                                {0xc0, 0x01, 0x20},
                                {0xc0, 0x01, 0x10},
                                {0x00}}));
    // A training that ends before any data is dropped whole.
    EXPECT_EQ(Repaired({{0x0e}, {0xc8, 0x01, 0x70}, {0x00}}), (std::vector<Ifp>{{0x00}}));
    // Real trainings: page data, and FCD frames of error correction.
    const std::vector<Ifp> page = {{0x0e}, {0xc8, 0x01, 0xe0, 0x00, 0x01, 0x00, 0x00}};
    EXPECT_EQ(Repaired(page), page);
    const std::vector<Ifp> ecm = {{0x0e}, {0xc8, 0x01, 0x80, 0x00, 0x02, 0xff, 0xc0, 0x60}};
    EXPECT_EQ(Repaired(ecm), ecm);
    // After EOP only DCN can come: a fast training then is V.21 at once, without waiting.
    const std::vector<Ifp> eop = {{0x06},
                                  {0xc0, 0x01, 0x80, 0x00, 0x00, 0xff},
                                  {0xc0, 0x01, 0x80, 0x00, 0x00, 0xc8},
                                  {0xc0, 0x01, 0x80, 0x00, 0x00, 0xf4},
                                  {0xc0, 0x01, 0x20},
                                  {0x00}};
    std::vector<Ifp> in = eop, expected = eop;
    in.push_back({0x0e});
    expected.push_back({0x06});
    EXPECT_EQ(Repaired(in), expected);
}

TEST(IfpRepair, AFastCarrierGoesOutAtOnceWhereT30AllowsNothingElse) {
    // The training check after DCS, and the page after CFR to it; after FTT, DCS may come again.
    for (const uint8_t answer : {0xa1, 0xa2}) {
        IfpRepair repair(0);
        std::vector<Ifp> out;
        const auto send = [&](const std::vector<Ifp>& ifps) {
            for (const Ifp& ifp : ifps)
                repair.put(ifp.data(), ifp.size(), 1,
                           [&](const uint8_t* p, size_t n, int) { out.emplace_back(p, p + n); });
        };
        send({{0xc0, 0x01, 0x80, 0x00, 0x02, 0xff, 0xc8, 0xc1}, {0xc0, 0x01, 0x20}, {0x0e}});
        EXPECT_EQ(out.back(), Ifp{0x0e});
        send({{0xc8, 0x01, 0x70}});
        for (const Ifp& ifp :
             {Ifp{0xc0, 0x01, 0x80, 0x00, 0x02, 0xff, 0xc8, answer}, Ifp{0xc0, 0x01, 0x20}})
            repair.heard(ifp.data(), ifp.size());
        send({{0x0e}});
        EXPECT_EQ(out.back() == Ifp{0x0e}, answer == 0xa1) << int(answer);
    }
}

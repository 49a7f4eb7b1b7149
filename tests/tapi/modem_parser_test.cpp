#include "tapi/modem_parser.h"

#include <gtest/gtest.h>

#include "tapi/line_config.h"
#include "tapi/modem_dialog.h"

namespace tapi {
namespace {

std::vector<ModemInput> Parse(ModemParser& parser, const std::string& bytes) {
    std::vector<ModemInput> out;
    parser.Feed(bytes.data(), bytes.size(), out);
    return out;
}

TEST(ModemParser, SplitsResultLinesAndSkipsBlankLines) {
    ModemParser parser;
    auto out = Parse(parser, "\r\nOK\r\n\r\nRING\r\n");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].line, "OK");
    EXPECT_EQ(out[1].line, "RING");
}

TEST(ModemParser, KeepsAPartialLineAcrossReads) {
    ModemParser parser;
    EXPECT_TRUE(Parse(parser, "\r\nNMBR = 55").empty());
    auto out = Parse(parser, "51234\r\n");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].line, "NMBR = 5551234");
}

TEST(ModemParser, ReportsDleEventsEvenInsideALineAndAcrossReads) {
    ModemParser parser;
    auto out = Parse(parser,
                     "VC\x10"
                     "bON\r\n\x10");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].kind, ModemInput::Kind::Event);
    EXPECT_EQ(out[0].event, 'b');
    EXPECT_EQ(out[1].line, "VCON");
    out = Parse(parser, "c");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].event, kEventFaxCallingTone);
}

TEST(ModemParser, DleDleAndDleEtxAreNoEvents) {
    ModemParser parser;
    EXPECT_TRUE(Parse(parser, "\x10\x10\x10\x03").empty());
}

TEST(ModemResults, ClassifiesTheResultCodesOfVoiceModems) {
    EXPECT_EQ(ClassifyLine("OK"), ModemResult::Ok);
    EXPECT_EQ(ClassifyLine("VCON"), ModemResult::Vcon);
    EXPECT_EQ(ClassifyLine("ERROR"), ModemResult::Error);
    EXPECT_EQ(ClassifyLine("NO CARRIER"), ModemResult::NoCarrier);
    EXPECT_EQ(ClassifyLine("CONNECT 9600"), ModemResult::Connect);
    EXPECT_EQ(ClassifyLine("RING"), ModemResult::Ring);
    EXPECT_EQ(ClassifyLine("RING A"), ModemResult::Ring);
    EXPECT_EQ(ClassifyLine("OK  "), ModemResult::Ok);
    EXPECT_EQ(ClassifyLine("RINGING"), ModemResult::None);
    EXPECT_EQ(ClassifyLine("1,\"UNSIGNED PCM\",8,0,(8000),(0),(0)"), ModemResult::None);
    EXPECT_FALSE(IsFinalResult(ModemResult::Ring));
    EXPECT_TRUE(IsFinalResult(ModemResult::NoCarrier));
}

TEST(ModemResults, RecognisesEchoedCommands) {
    EXPECT_TRUE(IsCommandEcho("ATZ"));
    EXPECT_TRUE(IsCommandEcho("at+vls=1"));
    EXPECT_FALSE(IsCommandEcho("OK"));
    EXPECT_FALSE(IsCommandEcho("A"));
}

TEST(CallerId, ParsesKeysWithAndWithoutBlanks) {
    std::string key, value;
    ASSERT_TRUE(ParseCallerIdLine("NMBR = 5551234", key, value));
    EXPECT_EQ(key, "NMBR");
    EXPECT_EQ(value, "5551234");
    ASSERT_TRUE(ParseCallerIdLine("DATE=1206", key, value));
    EXPECT_EQ(key, "DATE");
    EXPECT_EQ(value, "1206");
    EXPECT_FALSE(ParseCallerIdLine("+VSM=1,8000", key, value));
    EXPECT_FALSE(ParseCallerIdLine("OK", key, value));
}

TEST(VoiceFormat, PrefersUnsignedPcmAt8000Hz) {
    VoiceFormat format =
        ChooseVoiceFormat({"0,\"SIGNED PCM\",8,0,(8000),(0),(0)", "4,\"G.711U\",8,0,(8000),(0),(0)",
                           "1,\"UNSIGNED PCM\",8,0,(8000),(0),(0)"});
    EXPECT_EQ(format.compression, 1);
    EXPECT_EQ(format.rate, 8000);
}

TEST(VoiceFormat, FallsBackToMuLawThenToVendorFormats) {
    EXPECT_EQ(ChooseVoiceFormat({"+VSM: 0,\"SIGNED PCM\",8,0,8000", "+VSM: 4,\"ULAW\",8,0,8000"})
                  .compression,
              4);
    EXPECT_EQ(ChooseVoiceFormat({"128,\"8-BIT LINEAR\",(7200,8000,11025)",
                                 "129,\"16-BIT LINEAR\",(7200,8000,11025)"})
                  .compression,
              128);
}

TEST(VoiceFormat, NothingUsableChoosesNone) {
    EXPECT_EQ(ChooseVoiceFormat({}).compression, -1);
    EXPECT_EQ(ChooseVoiceFormat({"1,\"UNSIGNED PCM\",8,0,(11025),(0),(0)"}).compression, -1);
    EXPECT_EQ(ChooseVoiceFormat({"2,\"ADPCM\",2,0,(8000)"}).compression, -1);
}

TEST(LineConfig, ReadsModemAndRingTimeoutWithOrWithoutSection) {
    LineConfig config = ParseLineConfig("[line]\nmodem = /dev/ttyACM0\nring-timeout-ms=1500\n");
    EXPECT_EQ(config.modemPath, "/dev/ttyACM0");
    EXPECT_EQ(config.ringTimeoutMs, 1500u);
    config = ParseLineConfig("# comment\nmodem=/dev/ttyUSB1\r\n");
    EXPECT_EQ(config.modemPath, "/dev/ttyUSB1");
    EXPECT_EQ(config.ringTimeoutMs, kDefaultRingTimeoutMs);
}

TEST(LineConfig, IgnoresABadRingTimeout) {
    EXPECT_EQ(ParseLineConfig("ring-timeout-ms=abc\n").ringTimeoutMs, kDefaultRingTimeoutMs);
    EXPECT_EQ(ParseLineConfig("ring-timeout-ms=0\n").ringTimeoutMs, kDefaultRingTimeoutMs);
    EXPECT_EQ(ParseLineConfig("ring-timeout-ms=-5\n").ringTimeoutMs, kDefaultRingTimeoutMs);
    EXPECT_TRUE(ParseLineConfig("").modemPath.empty());
}

}  // namespace
}  // namespace tapi

// Modem output split across reads and the edge cases of its result codes and settings, which
// the scripted transcripts do not reach.

#include "tapi/modem_parser.h"

#include <gtest/gtest.h>

#include "tapi/line_config.h"

namespace tapi {
namespace {

// Each input as "L:<line>" or "E:<event>".
std::vector<std::string> Parse(ModemParser& parser, const std::string& bytes) {
    std::vector<ModemInput> inputs;
    parser.Feed(bytes.data(), bytes.size(), inputs);
    std::vector<std::string> out;
    for (const ModemInput& input : inputs) {
        out.push_back(input.kind == ModemInput::Kind::Line ? "L:" + input.line
                                                           : std::string("E:") + input.event);
    }
    return out;
}

TEST(ModemParser, SplitsLinesAndDleEventsAcrossReads) {
    using Lines = std::vector<std::string>;
    ModemParser parser;
    EXPECT_EQ(Parse(parser, "\r\nOK\r\n\r\nRING\r\n\r\nNMBR = 55"), (Lines{"L:OK", "L:RING"}));
    EXPECT_EQ(Parse(parser, "51234\r\nVC\x10\x62ON\r\n\x10"),
              (Lines{"L:NMBR = 5551234", "E:b", "L:VCON"}));
    EXPECT_EQ(Parse(parser, "c\x10\x10\x10\x03"), (Lines{"E:c"})) << "DLE DLE, DLE ETX: no events";
    EXPECT_FALSE(parser.TakeOverlongLine());
    // A device that sends no line ends: the line is kept to its limit, the rest dropped.
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(Parse(parser, std::string(1000, 'x')).empty());
    EXPECT_TRUE(parser.TakeOverlongLine());
    EXPECT_FALSE(parser.TakeOverlongLine()) << "one report per line";
    EXPECT_EQ(Parse(parser, "yy\r\nOK\r\n"),
              (Lines{"L:" + std::string(ModemParser::kMaxLineBytes, 'x'), "L:OK"}));
}

TEST(ModemResults, ClassifiesVariantsOfResultCodes) {
    const std::vector<std::pair<std::string, ModemResult>> table = {
        {"OK  ", ModemResult::Ok},
        {"CONNECT 9600", ModemResult::Connect},
        {"RING A", ModemResult::Ring},
        {"RINGING", ModemResult::None},
        {"1,\"UNSIGNED PCM\",8,0,(8000),(0),(0)", ModemResult::None},
    };
    for (const auto& [line, result] : table) EXPECT_EQ(ClassifyLine(line), result) << line;
}

TEST(LineConfig, ReadsModemAndRingTimeoutAndIgnoresBadTimeouts) {
    const std::vector<std::tuple<std::string, std::string, uint32_t>> table = {
        {"[line]\nmodem = /dev/ttyACM0\nring-timeout-ms=1500\n", "/dev/ttyACM0", 1500},
        {"# comment\nmodem=/dev/ttyUSB1\r\n", "/dev/ttyUSB1", kDefaultRingTimeoutMs},
        {"ring-timeout-ms=abc\n", "", kDefaultRingTimeoutMs},
        {"ring-timeout-ms=0\n", "", kDefaultRingTimeoutMs},
    };
    for (const auto& [text, modem, timeout] : table) {
        LineConfig config = ParseLineConfig(text);
        EXPECT_EQ(config.modemPath, modem) << text;
        EXPECT_EQ(config.ringTimeoutMs, timeout) << text;
    }
}

}  // namespace
}  // namespace tapi

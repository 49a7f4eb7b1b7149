// The virtual modem's answers to the commands a V.253 line library sends, byte for byte.
#include <gtest/gtest.h>

#include "tests/support/modem_harness.h"

namespace {

struct Exchange {
    const char* command;
    const char* reply;
};

// With ATE0: no echo, verbose results.
const Exchange kVoiceSetup[] = {
    {"AT", "\r\nOK\r\n"},
    {"at", "\r\nOK\r\n"},
    {"ATV1", "\r\nOK\r\n"},
    {"ATQ0", "\r\nOK\r\n"},
    {"AT&F", "\r\nOK\r\n"},  // factory profile: echo comes back on
    {"ATE0", "ATE0\r\r\nOK\r\n"},
    {"ATI", "\r\n56000\r\n\r\nOK\r\n"},
    {"ATI3", "\r\nvantoro-vmodem V.253 voice, T.31 Class 1 fax\r\n\r\nOK\r\n"},
    {"ATI9", "\r\nERROR\r\n"},
    {"AT+FCLASS=?", "\r\n0,1,8\r\n\r\nOK\r\n"},
    {"AT+FCLASS?", "\r\n0\r\n\r\nOK\r\n"},
    {"AT+VLS=1", "\r\nERROR\r\n"},  // voice commands need class 8
    {"AT+FCLASS=8", "\r\nOK\r\n"},
    {"AT+FCLASS?", "\r\n8\r\n\r\nOK\r\n"},
    {"AT+FCLASS=2", "\r\nERROR\r\n"},
    {"AT+VCID=1", "\r\nOK\r\n"},
    {"AT+VCID?", "\r\n1\r\n\r\nOK\r\n"},
    {"AT+VCID=0", "\r\nOK\r\n"},
    {"AT+VCID=7", "\r\nERROR\r\n"},
    {"AT+VIT=0", "\r\nOK\r\n"},
    {"AT+IFC=2,2", "\r\nOK\r\n"},
    {"AT+IFC=3,2", "\r\nERROR\r\n"},
    {"AT+VSD=128,50", "\r\nOK\r\n"},
    {"AT+VSM=?",
     "\r\n1,\"UNSIGNED "
     "PCM\",8,0,(8000),(0),(0)\r\n\r\n4,\"ULAW\",8,0,(8000),(0),(0)\r\n\r\nOK\r\n"},
    {"AT+VSM=4,8000", "\r\nOK\r\n"},
    {"AT+VSM?", "\r\n4,8000,0,0\r\n\r\nOK\r\n"},
    {"AT+VSM=1,8000", "\r\nOK\r\n"},
    {"AT+VSM=1,11025", "\r\nERROR\r\n"},
    {"AT+VSM=128,8000", "\r\nERROR\r\n"},
    {"AT+VLS=?", "\r\n0,1\r\n\r\nOK\r\n"},
    {"AT+VLS?", "\r\n0\r\n\r\nOK\r\n"},
    {"AT+VTX", "\r\nERROR\r\n"},  // on hook
    {"AT+VRX", "\r\nERROR\r\n"},
    {"ATA", "\r\nERROR\r\n"},  // voice calls are answered with AT+VLS=1
    {"AT+VLS=1", "\r\nOK\r\n"},
    {"AT+VLS?", "\r\n1\r\n\r\nOK\r\n"},
    {"AT+VLS=0", "\r\nOK\r\n"},
    {"ATH0", "\r\nOK\r\n"},
    {"ATH", "\r\nOK\r\n"},
    {"ATXYZ", "\r\nERROR\r\n"},
    {"AT+NOSUCH", "\r\nERROR\r\n"},
    {"ATE0V1", "\r\nOK\r\n"},
    {"ATV0", "0\r"},
    {"AT+NOSUCH", "4\r"},
    {"ATV1", "\r\nOK\r\n"},
};

TEST(VmodemCommands, AnswersTheLineLibrarysCommandsByteForByte) {
    ModemHarness modem;
    ASSERT_TRUE(modem.Start());
    EXPECT_EQ(modem.Command("ATE0"), "ATE0\r\r\nOK\r\n");
    for (const Exchange& e : kVoiceSetup) {
        modem.Send(std::string(e.command) + "\r");
        std::string reply(e.reply);
        std::string got;
        std::string tail = reply.size() >= 3 ? reply.substr(reply.size() - 3) : reply;
        ASSERT_TRUE(modem.Expect(tail, 2000, &got)) << e.command;
        EXPECT_EQ(got, reply) << e.command;
    }
    EXPECT_EQ(modem.ReadFor(200), "");
}

TEST(VmodemCommands, EchoesUntilTurnedOffAndResetRestoresIt) {
    ModemHarness modem;
    ASSERT_TRUE(modem.Start());
    EXPECT_EQ(modem.Command("AT"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(modem.Command("ATE0"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Command("ATZ"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT"), "AT\r\r\nOK\r\n");
    // Text that is no command and empty lines get no answer.
    modem.Send("hello\r\r");
    EXPECT_EQ(modem.ReadFor(300), "hello\r\r");
}

// Echo off, voice mode, off hook.
void OffHook(ModemHarness& modem) {
    ASSERT_TRUE(modem.Start());
    modem.Command("ATE0");
    modem.Command("AT+FCLASS=8");
    ASSERT_EQ(modem.Command("AT+VLS=1"), "\r\nOK\r\n");
}

TEST(VmodemCommands, VoiceTransmitUnshieldsPlaysOutAndAbortsAtOnceOnDleCan) {
    ModemHarness modem;
    OffHook(modem);
    ASSERT_EQ(modem.Command("AT+VTX"), "\r\nCONNECT\r\n");
    // 4000 samples (half a second), every tenth a DLE sent doubled.
    std::string audio;
    for (int i = 0; i < 4000; ++i)
        audio += (i % 10 == 0) ? std::string("\x10\x10") : std::string("\x80");
    long long start = MonotonicMs();
    modem.Send(audio + "\x10\x03");
    std::string got;
    ASSERT_TRUE(modem.Expect("OK\r\n", 3000, &got));
    EXPECT_EQ(got, "\r\nOK\r\n");
    EXPECT_GE(MonotonicMs() - start, 400) << "OK came before the audio was played";
    EXPECT_LE(MonotonicMs() - start, 1500);

    ASSERT_EQ(modem.Command("AT+VTX"), "\r\nCONNECT\r\n");
    modem.Send(std::string(6000, '\x80'));  // 750 ms of audio
    start = MonotonicMs();
    modem.Send("\x10\x18\x10\x03");
    ASSERT_TRUE(modem.Expect("OK\r\n", 2000, &got));
    EXPECT_LT(MonotonicMs() - start, 500);
    EXPECT_EQ(got, "\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT"), "\r\nOK\r\n");
}

TEST(VmodemCommands, VoiceReceiveStopsOnDleExclamation) {
    ModemHarness modem;
    OffHook(modem);
    ASSERT_EQ(modem.Command("AT+VRX"), "\r\nCONNECT\r\n");
    std::string stream = modem.ReadFor(500);
    // An idle off-hook line is silence: 0x80 in unsigned 8-bit PCM, at 8000 samples a second.
    EXPECT_GE(stream.size(), 3000u);
    EXPECT_LE(stream.size(), 5000u);
    EXPECT_EQ(stream.find_first_not_of('\x80'), std::string::npos);
    modem.Send("\x10!");
    ASSERT_TRUE(modem.Expect("\x10\x03\r\nOK\r\n", 1000));
    EXPECT_EQ(modem.Command("AT"), "\r\nOK\r\n");
}

TEST(VmodemCommands, ClassOneIsSpandspT31AndVoiceCommandsLeaveIt) {
    ModemHarness modem;
    ASSERT_TRUE(modem.Start());
    EXPECT_EQ(modem.Command("AT+FCLASS=1"), "AT+FCLASS=1\r\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT+FCLASS?"), "AT+FCLASS?\r\r\n1\r\n\r\nOK\r\n");
    // T.31 refuses Class 1 carrier commands on hook, and ATA with nobody calling.
    EXPECT_EQ(modem.Command("AT+FTH=3"), "AT+FTH=3\r\r\nERROR\r\n");
    EXPECT_EQ(modem.Command("ATA"), "ATA\r\r\nERROR\r\n");
    EXPECT_EQ(modem.Command("ATE0"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT+FCLASS=8"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT+FCLASS?"), "\r\n8\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT+VLS=1"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Command("ATZ"), "\r\nOK\r\n");
    EXPECT_EQ(modem.Command("AT+FCLASS?"), "AT+FCLASS?\r\r\n0\r\n\r\nOK\r\n");
}

TEST(VmodemCommands, AnswersVconWhenAskedTo) {
    ModemHarness modem(300, {"--vcon"});
    ASSERT_TRUE(modem.Start());
    modem.Command("ATE0");
    modem.Command("AT+FCLASS=8");
    EXPECT_EQ(modem.Command("AT+VLS=1"), "\r\nVCON\r\n");
}

}  // namespace

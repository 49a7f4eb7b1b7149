// The set-up and the call on the dialects of real voice modems, as byte-exact transcripts:
// country and vendor commands, caller id before the first ring, a stream end the modem never
// answers.

#include <cstring>

#include "platform/wave_device.h"
#include "tests/tapi/line_fixture.h"

namespace {

using LineDialect = LineTest;

std::vector<TranscriptModem::Rule> With(std::vector<TranscriptModem::Rule> changes) {
    std::vector<TranscriptModem::Rule> rules = VoiceModemRules();
    rules.insert(rules.end(), changes.begin(), changes.end());
    return rules;
}

// A MultiTech that wants every +VSM parameter and knows caller id only as AT#CID, in the UK
// with two vendor commands, one of them unknown to it.
TEST_F(LineDialect, SetUpSendsCountryAndVendorCommandsInOrderAndRetriesRefusedCommands) {
    TranscriptModem modem(With({{"AT+GCI=B4", "OK"},
                                {"AT+VGR=130", "OK"},
                                {"AT#CID=1", "OK"},
                                {"AT+VSM=128,8000,0,0", "OK"}}));
    modem.SetReply("AT+VCID=1", "ERROR");
    modem.SetReply("AT+VSM=?", "128,\"8-BIT LINEAR\",(7200,8000,11025)\nOK");
    modem.SetReply("AT+VSM?", "+VSM: 128,8000,0,0\nOK");
    EXPECT_EQ(Initialize(modem.DevicePath(), "country=B4\ninit=AT!4886=02\ninit=AT+VGR=130\n"), 1u);
    std::vector<std::string> sent = {"ATZ",       "ATV1Q0",   "ATE0",       "ATI3",
                                     "AT+GCI=B4", "AT+GCI?",  "AT&D2",      "AT+FCLASS=8",
                                     "AT+VCID=1", "AT#CID=1", "AT+IFC=2,2", "AT+VIT=0"};
    sent.insert(sent.end(), {"AT+VSD=128,80", "AT+VSM=?", "AT+VSM=128,8000", "AT+VSM=128,8000,0,0",
                             "AT+VSM?", "AT!4886=02", "AT+VGR=130", "AT+VLS=0"});
    EXPECT_EQ(modem.Commands(), sent);
}

// Only the first value of a field counts, and only up to a control byte: a caller's text printed
// as it came ("555\r\nNMBR = 999") must not choose the number. A number that no ring follows
// within the ring time-out belongs to no call.
TEST_F(LineDialect, CallerIdBeforeTheFirstRingReachesTheCallInfo) {
    struct Case {
        std::vector<std::string> lines;
        DWORD flags;
        std::string number;
        int pauseMs = 0;  // before the ring
    } cases[] = {
        {{"DATE=1203", "TIME=1530", "NMBR=5551234", "NAME=ALICE"},
         LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME,
         "5551234"},
        {{"DATE = 1203", "NMBR = P"}, LINECALLPARTYID_BLOCKED, ""},
        {{"NMBR=O"}, LINECALLPARTYID_OUTOFAREA, ""},
        {{"NMBR = 555", "NMBR = 999"}, LINECALLPARTYID_ADDRESS, "555"},
        {{"NMBR = 555\x1b[2J999", "NAME = EVE\x07"},
         LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME,
         "555"},
        {{"NMBR = 999"}, LINECALLPARTYID_UNKNOWN, "", 2 * kRingTimeoutMs},
    };
    for (const Case& c : cases) {
        TranscriptModem modem(VoiceModemRules());
        OpenLine(modem.DevicePath());
        for (const std::string& line : c.lines) modem.SendLine(line);
        PumpFor(c.pauseMs);
        HCALL call = OfferCall(modem);
        ASSERT_NE(call, 0u);
        std::vector<char> buffer(sizeof(LINECALLINFO) + 64);
        auto* info = reinterpret_cast<LINECALLINFO*>(buffer.data());
        info->dwTotalSize = static_cast<DWORD>(buffer.size());
        ASSERT_EQ(lineGetCallInfo(call, info), 0);
        EXPECT_EQ(info->dwCallerIDFlags, c.flags) << c.lines[0];
        std::string number = info->dwCallerIDSize ? buffer.data() + info->dwCallerIDOffset : "";
        EXPECT_EQ(number, c.number);
        Shutdown();
    }
}

// The modem stays deaf to DLE !: the end code goes again, DTR drops (a pty has none), ATH
// takes the modem back, the call is over and the next one is answered.
TEST_F(LineDialect, AStreamEndNobodyAnswersIsRecoveredAndTheNextCallAnswered) {
    ASSERT_TRUE(tapi_binding::BindWaveDriver());
    // "CONNECT " opens no stream in the transcript modem: it goes on reading commands.
    TranscriptModem modem(With({{"AT+VRX", "CONNECT "}, {"\x10!\x10!ATH", "OK"}}));
    HCALL call = OpenWithCall(modem);
    platform::ThreadMessageQueue queue;
    platform::WAVEFORMATEX format{platform::WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    platform::HWAVEIN in = 0;
    ASSERT_EQ(platform::waveInOpen(&in, call, &format, &queue), platform::MMSYSERR_NOERROR);
    std::vector<uint8_t> bytes(320);
    platform::WAVEHDR header{};
    header.lpData = bytes.data();
    header.dwBufferLength = static_cast<uint32_t>(bytes.size());
    ASSERT_EQ(platform::waveInPrepareHeader(in, &header), platform::MMSYSERR_NOERROR);
    ASSERT_EQ(platform::waveInAddBuffer(in, &header), platform::MMSYSERR_NOERROR);
    ASSERT_EQ(platform::waveInStart(in), platform::MMSYSERR_NOERROR);
    ASSERT_TRUE(modem.WaitForCommand("AT+VRX", kPromptMs));
    PumpFor(100);
    size_t from = EventCount();
    ASSERT_EQ(platform::waveInReset(in), platform::MMSYSERR_NOERROR);
    auto disconnected = WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from, 8000);
    ASSERT_TRUE(disconnected);
    // The modem records a command once it has answered it, which may be after the event.
    EXPECT_TRUE(modem.WaitForCommand("\x10!\x10!ATH", kPromptMs));
    EXPECT_EQ(platform::waveInClose(in), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(Reply(lineDrop(call, nullptr, 0)), 0);
    EXPECT_EQ(lineDeallocateCall(call), 0);

    HCALL next = OfferCall(modem);
    ASSERT_NE(next, 0u);
    AnswerCall(modem, next);
}

}  // namespace

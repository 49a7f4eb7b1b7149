// Fax tone detection and the hand-over of the modem's port in passthrough.

#include <poll.h>
#include <unistd.h>

#include <cstring>

#include "tests/tapi/line_fixture.h"

namespace {

using LineMedia = LineTest;

TEST_F(LineMedia, FaxCallingToneIsReportedWhileMonitoringIsOn) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    ASSERT_EQ(m_lib->monitorMedia(call, LINEMEDIAMODE_G3FAX), 0);
    AnswerCall(modem, call);
    size_t from = EventCount();
    modem.SendEvent('c');
    auto tone = WaitFor(LINE_MONITORMEDIA, LINEMEDIAMODE_G3FAX, from);
    ASSERT_TRUE(tone);
    EXPECT_EQ(tone->device, call);
    EXPECT_EQ(tone->instance, kInstance);
}

TEST_F(LineMedia, FaxCallingToneIsSilentWhenMonitoringIsOffOrNeverOn) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    AnswerCall(modem, call);
    modem.SendEvent('c');
    PumpFor(100);
    EXPECT_FALSE(Find(LINE_MONITORMEDIA));

    ASSERT_EQ(m_lib->monitorMedia(call, LINEMEDIAMODE_G3FAX), 0);
    ASSERT_EQ(m_lib->monitorMedia(call, 0), 0);
    modem.SendEvent('c');
    // A later event proves the tone was read and passed over.
    modem.SendEvent('b');
    ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED));
    EXPECT_FALSE(Find(LINE_MONITORMEDIA));
}

TEST_F(LineMedia, MonitoringRejectsUnknownCallsAndModes) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    EXPECT_EQ(m_lib->monitorMedia(call + 7, LINEMEDIAMODE_G3FAX), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(m_lib->monitorMedia(call, LINEMEDIAMODE_INTERACTIVEVOICE), LINEERR_INVALMEDIAMODE);
}

// The program's fax hand-over: passthrough, then the port through lineGetID.
TEST_F(LineMedia, PassthroughHandsTheSerialPortOver) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    AnswerCall(modem, call);

    std::vector<char> block(124);
    auto* id = reinterpret_cast<VARSTRING*>(block.data());
    id->dwTotalSize = 124;
    EXPECT_EQ(m_lib->getId(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem"),
              LINEERR_INVALCALLSTATE)
        << "only in passthrough";

    size_t from = EventCount();
    LONG request = m_lib->setCallParams(call, LINEBEARERMODE_PASSTHROUGH, 0, 19200, nullptr);
    ASSERT_GT(request, 0);
    auto reply = WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request), from);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->param2, 0u);

    ASSERT_EQ(m_lib->getId(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem"), 0);
    ASSERT_GE(id->dwStringSize, 5u);
    DWORD handle = 0;
    std::memcpy(&handle, block.data() + id->dwStringOffset, sizeof handle);
    std::string name(block.data() + id->dwStringOffset + 4);
    EXPECT_EQ(name, modem.DevicePath());
    int port = static_cast<int>(handle);

    // The program owns the port now: its command reaches the modem, and the answer and any
    // DLE event reach the program, not the line service.
    ASSERT_EQ(write(port, "AT+FCLASS=1\r", 12), 12);
    ASSERT_TRUE(modem.WaitForCommand("AT+FCLASS=1", kPromptMs));
    modem.SendEvent('b');
    std::string received;
    for (int tries = 0; tries < 50 && received.find("\x10"
                                                    "b") == std::string::npos;
         ++tries) {
        pollfd waiter{port, POLLIN, 0};
        if (poll(&waiter, 1, 100) > 0) {
            char buffer[64];
            ssize_t got = read(port, buffer, sizeof buffer);
            if (got > 0) received.append(buffer, static_cast<size_t>(got));
        }
    }
    EXPECT_NE(received.find("ERROR"), std::string::npos) << "the scripted modem refuses class 1";
    EXPECT_NE(received.find("\x10"
                            "b"),
              std::string::npos);
    PumpFor(50);
    EXPECT_FALSE(Find(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from));
    close(port);

    from = EventCount();
    request = m_lib->setCallParams(call, LINEBEARERMODE_VOICE, 0, 38400, nullptr);
    ASSERT_GT(request, 0);
    reply = WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request), from);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->param2, 0u);
    modem.SendLine("NO CARRIER");
    EXPECT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from)) << "voice again";
}

TEST_F(LineMedia, APassthroughCallFromMakeCallGivesThePort) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL voice = OfferCall(modem);
    AnswerCall(modem, voice);

    std::vector<char> paramsBlock(352);
    auto* params = reinterpret_cast<LINECALLPARAMS*>(paramsBlock.data());
    params->dwTotalSize = 176;
    params->dwBearerMode = LINEBEARERMODE_PASSTHROUGH;
    params->dwMaxRate = 19200;
    HCALL call = voice;
    size_t from = EventCount();
    LONG request = m_lib->makeCall(m_line, &call, "T", 0, params);
    ASSERT_GT(request, 0);
    EXPECT_NE(call, voice);
    auto reply = WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request), from);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->param2, 0u);
    PumpFor(50);
    EXPECT_FALSE(Find(LINE_CALLSTATE, ~DWORD_PTR{0}, from)) << "no call state for the hand-over";

    std::vector<char> block(124);
    auto* id = reinterpret_cast<VARSTRING*>(block.data());
    id->dwTotalSize = 124;
    ASSERT_EQ(m_lib->getId(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem"), 0);
    DWORD handle = 0;
    std::memcpy(&handle, block.data() + id->dwStringOffset, sizeof handle);
    EXPECT_EQ(close(static_cast<int>(handle)), 0);

    // Without a passthrough bearer the service does not dial.
    params->dwBearerMode = LINEBEARERMODE_VOICE;
    EXPECT_EQ(m_lib->makeCall(m_line, &call, "5551234", 0, params), LINEERR_OPERATIONUNAVAIL);

    // The drop of the passthrough call hangs the modem up.
    from = EventCount();
    request = m_lib->drop(call, nullptr, 0);
    ASSERT_GT(request, 0);
    ASSERT_TRUE(WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request), from));
    EXPECT_EQ(modem.Commands().back(), "AT+VLS=0");
}

TEST_F(LineMedia, ASmallVarStringGetsTheNeededSizeAndNoHandle) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    AnswerCall(modem, call);
    LONG request = m_lib->setCallParams(call, LINEBEARERMODE_PASSTHROUGH, 0, 19200, nullptr);
    ASSERT_TRUE(WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request)));
    std::vector<char> block(sizeof(VARSTRING) + 4);
    auto* id = reinterpret_cast<VARSTRING*>(block.data());
    id->dwTotalSize = static_cast<DWORD>(block.size());
    ASSERT_EQ(m_lib->getId(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem"), 0);
    EXPECT_EQ(id->dwStringSize, 0u);
    EXPECT_EQ(id->dwNeededSize, sizeof(VARSTRING) + 4 + modem.DevicePath().size() + 1);
    id->dwTotalSize = 8;
    EXPECT_EQ(m_lib->getId(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem"),
              LINEERR_STRUCTURETOOSMALL);
}

TEST_F(LineMedia, WaveDevicesAreNotOfferedYet) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    std::vector<char> block(34);
    auto* id = reinterpret_cast<VARSTRING*>(block.data());
    id->dwTotalSize = 34;
    EXPECT_EQ(m_lib->getId(0, 0, call, LINECALLSELECT_CALL, id, "wave/out"),
              LINEERR_INVALDEVICECLASS);
    EXPECT_EQ(m_lib->getId(0, 0, 0, LINECALLSELECT_CALL, id, "wave/in"), LINEERR_INVALCALLHANDLE);
}

}  // namespace

// Incoming calls: rings, caller id, answer, the caller hanging up, drop, ring time-out.

#include <chrono>
#include <thread>

#include "tests/tapi/line_fixture.h"

namespace {

using LineCall = LineTest;

std::vector<LineEvent> Since(size_t from) {
    const std::vector<LineEvent>& events = EventLog::Events();
    return std::vector<LineEvent>(events.begin() + static_cast<long>(from), events.end());
}

TEST_F(LineCall, FirstRingOffersTheCallThenEachRingIsOneRingingEvent) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    for (int ring = 0; ring < 3; ++ring) {
        modem.SendLine("RING");
        ASSERT_TRUE(PumpUntil([&] { return EventCount() == 2u + ring; }, kPromptMs));
    }
    PumpFor(50);
    std::vector<LineEvent> events = Since(0);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].message, LINE_CALLSTATE);
    EXPECT_EQ(events[0].param1, LINECALLSTATE_OFFERING);
    EXPECT_EQ(events[0].param3, LINECALLPRIVILEGE_OWNER);
    EXPECT_NE(events[0].device, 0u);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(events[i].message, LINE_LINEDEVSTATE);
        EXPECT_EQ(events[i].param1, LINEDEVSTATE_RINGING);
        EXPECT_EQ(events[i].device, m_line);
        EXPECT_EQ(events[i].param3, i) << "ring count";
    }
    for (const LineEvent& event : events) EXPECT_EQ(event.instance, kInstance);
}

TEST_F(LineCall, CallerIdBetweenRingsIsReportedInOrder) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    modem.Send("\r\nRING\r\n\r\nDATE = 1206\r\nTIME = 2215\r\nNMBR = 5551234\r\nNAME = ALICE\r\n");
    modem.SendLine("RING");
    ASSERT_TRUE(PumpUntil([&] { return EventCount() >= 5; }, kPromptMs));
    PumpFor(50);
    std::vector<LineEvent> events = Since(0);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].param1, LINECALLSTATE_OFFERING);
    EXPECT_EQ(events[1].param1, LINEDEVSTATE_RINGING);
    EXPECT_EQ(events[2].message, LINE_CALLINFO);
    EXPECT_EQ(events[2].param1, LINECALLINFOSTATE_CALLERID);
    EXPECT_EQ(events[2].device, events[0].device);
    EXPECT_EQ(events[3].message, LINE_CALLINFO);
    EXPECT_EQ(events[4].param1, LINEDEVSTATE_RINGING);
    EXPECT_EQ(events[4].param3, 2u);
}

TEST_F(LineCall, NoRingingEventsUnlessRequested) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    ASSERT_EQ(m_lib->setStatusMessages(m_line, 0, 0), 0);
    modem.SendLine("RING");
    modem.SendLine("RING");
    ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING));
    PumpFor(100);
    EXPECT_FALSE(Find(LINE_LINEDEVSTATE));
}

TEST_F(LineCall, CallbacksRunOnlyWhenTheInitialisingThreadDispatches) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    modem.SendLine("RING");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(EventCount(), 0u);
    ASSERT_TRUE(PumpUntil([&] { return EventCount() == 2; }, kPromptMs));
    for (const LineEvent& event : EventLog::Events()) {
        EXPECT_EQ(event.thread, std::this_thread::get_id());
    }
}

TEST_F(LineCall, AnswerGoesOffHookThenRepliesThenConnects) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    ASSERT_NE(call, 0u);
    size_t from = EventCount();
    LONG request = m_lib->answer(call, nullptr, 0);
    ASSERT_GT(request, 0);
    ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED, from));
    std::vector<LineEvent> events = Since(from);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, LINE_REPLY);
    EXPECT_EQ(events[0].param1, static_cast<DWORD_PTR>(request));
    EXPECT_EQ(events[0].param2, 0u);
    EXPECT_EQ(events[1].device, call);
    EXPECT_EQ(modem.Commands().back(), "AT+VLS=1");
    // Rings that were already on their way change nothing once answered.
    modem.SendLine("RING");
    PumpFor(100);
    EXPECT_EQ(EventCount(), from + 2);
}

TEST_F(LineCall, AnswerAcceptsOkAsWellAsVcon) {
    ScriptedModem modem(VoiceModemRules());
    modem.SetReply("AT+VLS=1", "OK");
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    AnswerCall(modem, call);
}

TEST_F(LineCall, AnswerRefusedByTheModemFailsTheRequestAndDisconnects) {
    ScriptedModem modem(VoiceModemRules());
    modem.SetReply("AT+VLS=1", "ERROR");
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    size_t from = EventCount();
    LONG request = m_lib->answer(call, nullptr, 0);
    ASSERT_GT(request, 0);
    auto reply = WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request), from);
    ASSERT_TRUE(reply);
    EXPECT_EQ(static_cast<LONG>(reply->param2), LINEERR_OPERATIONFAILED);
    EXPECT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from));
}

TEST_F(LineCall, AnsweringTwiceOrAnUnknownCallIsRefused) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    EXPECT_EQ(m_lib->answer(call + 100, nullptr, 0), LINEERR_INVALCALLHANDLE);
    AnswerCall(modem, call);
    EXPECT_EQ(m_lib->answer(call, nullptr, 0), LINEERR_INVALCALLSTATE);
}

struct HangupSignal {
    const char* name;
    std::string bytes;
};

class LineHangup : public LineTest, public ::testing::WithParamInterface<HangupSignal> {};

TEST_P(LineHangup, TheCallerHangingUpDisconnectsThenDropGoesIdle) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    AnswerCall(modem, call);
    size_t from = EventCount();
    modem.Send(GetParam().bytes);
    auto disconnected = WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from);
    ASSERT_TRUE(disconnected) << GetParam().name;
    EXPECT_EQ(disconnected->device, call);

    from = EventCount();
    LONG request = m_lib->drop(call, nullptr, 0);
    ASSERT_GT(request, 0);
    ASSERT_TRUE(WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request), from));
    std::vector<LineEvent> events = Since(from);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, LINE_CALLSTATE);
    EXPECT_EQ(events[0].param1, LINECALLSTATE_IDLE);
    EXPECT_EQ(events[1].param2, 0u);
    EXPECT_EQ(modem.Commands().back(), "AT+VLS=0");
    EXPECT_EQ(m_lib->deallocateCall(call), 0);
    EXPECT_EQ(m_lib->deallocateCall(call), LINEERR_INVALCALLHANDLE);
}

INSTANTIATE_TEST_SUITE_P(Signals, LineHangup,
                         ::testing::Values(HangupSignal{"busy",
                                                        "\x10"
                                                        "b"},
                                           HangupSignal{"dialtone",
                                                        "\x10"
                                                        "d"},
                                           HangupSignal{"loopbreak",
                                                        "\x10"
                                                        "l"},
                                           HangupSignal{"nocarrier", "\r\nNO CARRIER\r\n"}),
                         [](const ::testing::TestParamInfo<HangupSignal>& info) {
                             return info.param.name;
                         });

TEST_F(LineCall, HangupSignalsWithoutAConnectedCallAreIgnored) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    modem.SendEvent('b');
    modem.SendLine("NO CARRIER");
    HCALL call = OfferCall(modem);
    ASSERT_NE(call, 0u);
    modem.SendEvent('d');
    PumpFor(100);
    EXPECT_FALSE(Find(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED));
    EXPECT_FALSE(Find(LINE_CALLSTATE, LINECALLSTATE_IDLE));
}

TEST_F(LineCall, AnOfferedCallWhoseRingsStopGoesIdleAndTheNextRingIsANewCall) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL first = OfferCall(modem);
    ASSERT_NE(first, 0u);
    auto start = std::chrono::steady_clock::now();
    auto idle = WaitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, kRingTimeoutMs + kPromptMs);
    ASSERT_TRUE(idle);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(kRingTimeoutMs - 50));
    EXPECT_EQ(idle->device, first);
    EXPECT_EQ(m_lib->deallocateCall(first), 0);

    size_t from = EventCount();
    HCALL second = OfferCall(modem);
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first);
    auto ringing = WaitFor(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, from);
    ASSERT_TRUE(ringing);
    EXPECT_EQ(ringing->param3, 1u) << "the ring count starts over";
}

TEST_F(LineCall, RingsKeepAnOfferedCallAlivePastTheTimeOut) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    for (int ring = 0; ring < 4; ++ring) {
        PumpFor(kRingTimeoutMs / 2);
        modem.SendLine("RING");
    }
    PumpFor(kRingTimeoutMs / 2);
    EXPECT_FALSE(Find(LINE_CALLSTATE, LINECALLSTATE_IDLE));
    AnswerCall(modem, call);
    PumpFor(kRingTimeoutMs + 100);
    EXPECT_FALSE(Find(LINE_CALLSTATE, LINECALLSTATE_IDLE)) << "no time-out once answered";
}

TEST_F(LineCall, DropAndDeallocateWithoutWaitingThenCloseHangsUp) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    AnswerCall(modem, call);
    size_t hangups = 0;
    for (const std::string& command : modem.Commands()) hangups += command == "AT+VLS=0";
    EXPECT_GT(m_lib->drop(call, nullptr, 0), 0);
    EXPECT_EQ(m_lib->deallocateCall(call), 0);
    EXPECT_EQ(m_lib->close(m_line), 0);
    Shutdown();
    EXPECT_TRUE(modem.WaitForCommand("AT+VLS=0", kPromptMs, hangups + 1));
    PumpFor(50);
    EXPECT_FALSE(Find(LINE_CALLSTATE, LINECALLSTATE_IDLE)) << "nothing after shutdown";
}

TEST_F(LineCall, ClosingTheLineDuringACallPutsTheModemOnHook) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    AnswerCall(modem, call);
    EXPECT_EQ(m_lib->close(m_line), 0);
    EXPECT_EQ(modem.Commands().back(), "AT+VLS=0");
    EXPECT_EQ(m_lib->drop(call, nullptr, 0), LINEERR_INVALCALLHANDLE);
}

TEST_F(LineCall, ACallCanFollowAShutdownAndReinitialisation) {
    ScriptedModem modem(VoiceModemRules());
    for (int round = 0; round < 3; ++round) {
        EventLog::Clear();
        OpenLine(modem.DevicePath());
        if (HasFatalFailure()) return;
        HCALL call = OfferCall(modem);
        ASSERT_NE(call, 0u) << "round " << round;
        AnswerCall(modem, call);
        modem.SendEvent('b');
        ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED));
        EXPECT_GT(m_lib->drop(call, nullptr, 0), 0);
        EXPECT_EQ(m_lib->deallocateCall(call), 0);
        EXPECT_EQ(m_lib->close(m_line), 0);
        Shutdown();
    }
}

TEST_F(LineCall, MessagesQueuedBeforeShutdownAreNeverDelivered) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    modem.SendLine("RING");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Shutdown();
    PumpFor(100);
    EXPECT_EQ(EventCount(), 0u);
}

TEST_F(LineCall, ADeviceThatVanishesDuringACallDisconnectsIt) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    AnswerCall(modem, call);
    size_t from = EventCount();
    modem.Vanish();
    ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from));
    LONG request = m_lib->drop(call, nullptr, 0);
    ASSERT_GT(request, 0);
    auto reply = WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request), from);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->param2, 0u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_lib->close(m_line), 0);
    Shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(LineCall, ADeviceThatVanishesWhileRingingEndsTheOfferedCall) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HCALL call = OfferCall(modem);
    modem.Vanish();
    auto idle = WaitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE);
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->device, call);
    EXPECT_EQ(m_lib->answer(call, nullptr, 0), LINEERR_INVALCALLSTATE);
}

TEST_F(LineCall, ADeviceThatVanishesWhileWaitingIsQuietAndShutsDownCleanly) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    modem.Vanish();
    PumpFor(200);
    EXPECT_FALSE(Find(LINE_CALLSTATE));
    EXPECT_EQ(m_lib->close(m_line), 0);
    Shutdown();
    // The next start finds no device.
    DWORD devices = 99;
    ASSERT_EQ(m_lib->initialize(&m_app, nullptr, &EventLog::Callback, "test", &devices), 0);
    EXPECT_EQ(devices, 0u);
}

}  // namespace

// Incoming calls on scripted modem transcripts: rings, caller id, answer, hang-up signals, a
// vanishing device, fax tone and the hand-over of the port.

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/tapi/line_fixture.h"

namespace {

using LineCall = LineTest;

std::vector<LineEvent> Since(size_t from) {
    return std::vector<LineEvent>(LineTest::Events().begin() + static_cast<long>(from),
                                  LineTest::Events().end());
}

TEST_F(LineCall, RingTranscriptsGiveTheirEvents) {
    struct Expected {
        DWORD message;
        DWORD_PTR param1, param3;
    };
    const Expected offering{LINE_CALLSTATE, LINECALLSTATE_OFFERING, LINECALLPRIVILEGE_OWNER};
    auto ringing = [](DWORD_PTR count) {
        return Expected{LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, count};
    };
    const Expected callerId{LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, kAny};
    struct Case {
        const char* name;
        std::string modemSays;
        DWORD lineStates;
        std::vector<Expected> events;
    };
    const std::vector<Case> cases = {
        {"caller id between rings",
         "\r\nRING\r\n\r\nDATE = 1206\r\nTIME = 2215\r\nNMBR=5551234\r\nNAME = ALICE\r\n"
         "\r\nRING\r\n",
         LINEDEVSTATE_RINGING,
         {offering, ringing(1), callerId, callerId, ringing(2)}},
        {"hang-up signals before an answer",
         "\x10\x62\r\nNO CARRIER\r\n\r\nRING\r\n\x10\x64",
         LINEDEVSTATE_RINGING,
         {offering, ringing(1)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Events().clear();
        TranscriptModem modem(VoiceModemRules());
        OpenLine(modem.DevicePath());
        ASSERT_EQ(lineSetStatusMessages(m_line, c.lineStates, 0), 0);
        modem.Send(c.modemSays);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(EventCount(), 0u) << "callbacks only while this thread dispatches";
        PumpUntil([&] { return EventCount() >= c.events.size(); }, kPromptMs);
        PumpFor(100);
        ASSERT_EQ(EventCount(), c.events.size());
        const HCALL call = Events()[0].device;
        EXPECT_NE(call, 0u);
        for (size_t i = 0; i < c.events.size(); ++i) {
            const LineEvent& event = Events()[i];
            EXPECT_EQ(event.message, c.events[i].message) << i;
            EXPECT_EQ(event.param1, c.events[i].param1) << i;
            if (c.events[i].param3 != kAny) {
                EXPECT_EQ(event.param3, c.events[i].param3) << i;
            }
            EXPECT_EQ(event.device, event.message == LINE_LINEDEVSTATE ? m_line : call) << i;
            EXPECT_EQ(event.instance, kInstance);
            EXPECT_EQ(event.thread, std::this_thread::get_id());
        }
        Shutdown();
    }
}

TEST_F(LineCall, AnswerTranscripts) {
    struct Case {
        std::string modemSays;
        LONG result;
        DWORD state;
        std::string number;
    };
    // Answered at its first ring, a call may get its number while the modem goes off hook.
    for (const Case& c : {Case{"VCON", 0, LINECALLSTATE_CONNECTED, ""},
                          Case{"NMBR = 5551234\nVCON", 0, LINECALLSTATE_CONNECTED, "5551234"},
                          Case{"ERROR", LINEERR_OPERATIONFAILED, LINECALLSTATE_DISCONNECTED, ""}}) {
        SCOPED_TRACE("AT+VLS=1 -> " + c.modemSays);
        TranscriptModem modem(VoiceModemRules());
        modem.SetReply("AT+VLS=1", c.modemSays);
        HCALL call = OpenWithCall(modem, CallStage::Offered);
        size_t from = EventCount();
        LONG request = lineAnswer(call, nullptr, 0);
        EXPECT_EQ(Reply(request), c.result);
        auto state = WaitFor(LINE_CALLSTATE, c.state, from);
        ASSERT_TRUE(state);
        EXPECT_EQ(state->device, call);
        EXPECT_EQ(modem.Commands().back(), "AT+VLS=1");
        const size_t told = c.number.empty() ? 0 : 1;
        EXPECT_EQ(Find(LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, from).has_value(), told == 1);
        std::vector<char> buffer(sizeof(LINECALLINFO) + 64);
        auto* info = reinterpret_cast<LINECALLINFO*>(buffer.data());
        info->dwTotalSize = static_cast<DWORD>(buffer.size());
        ASSERT_EQ(lineGetCallInfo(call, info), 0);
        EXPECT_EQ(info->dwCallerIDSize ? buffer.data() + info->dwCallerIDOffset : "", c.number);
        if (c.result == 0) {
            EXPECT_EQ(Since(from)[told].message, LINE_REPLY) << "the reply comes first";
            // Rings that were already on their way change nothing once answered.
            modem.SendLine("RING");
            PumpFor(100);
            EXPECT_EQ(EventCount(), from + 2 + told);
            EXPECT_EQ(lineAnswer(call, nullptr, 0), LINEERR_INVALCALLSTATE);
        }
        Shutdown();
    }
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

TEST_F(LineCall, EachHangUpSignalDisconnectsThenDropGoesIdleAndNothingLeaks) {
    const int descriptors = OpenDescriptors();
    for (const char* signal : {"\x10\x62", "\x10\x64", "\x10\x6c", "\r\nNO CARRIER\r\n", "\x10P",
                               "\x10h", "\x10s", "\x10q"}) {
        SCOPED_TRACE(signal);
        TranscriptModem modem(VoiceModemRules());
        HCALL call = OpenWithCall(modem);
        size_t from = EventCount();
        modem.Send(signal);
        auto disconnected = WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from);
        ASSERT_TRUE(disconnected);
        EXPECT_EQ(disconnected->device, call);

        from = EventCount();
        EXPECT_EQ(Reply(lineDrop(call, nullptr, 0)), 0);
        std::vector<LineEvent> events = Since(from);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].message, LINE_CALLSTATE);
        EXPECT_EQ(events[0].param1, LINECALLSTATE_IDLE);
        EXPECT_EQ(modem.Commands().back(), "AT+VLS=0");
        EXPECT_EQ(lineDeallocateCall(call), 0);
        EXPECT_EQ(lineDeallocateCall(call), LINEERR_INVALCALLHANDLE);
        EXPECT_EQ(lineClose(m_line), 0);
        Shutdown();
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(LineCall, ADeviceThatVanishesEndsTheCallAndShutsDownCleanly) {
    // Lost while waiting: the modem restarted under the program end to end.
    for (CallStage stage : {CallStage::Offered, CallStage::Answered}) {
        SCOPED_TRACE(static_cast<int>(stage));
        Events().clear();
        TranscriptModem modem(VoiceModemRules());
        HCALL call = OpenWithCall(modem, stage);
        size_t from = EventCount();
        modem.Vanish();
        if (stage == CallStage::Offered) {
            auto idle = WaitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE, from);
            ASSERT_TRUE(idle);
            EXPECT_EQ(idle->device, call);
            EXPECT_EQ(lineAnswer(call, nullptr, 0), LINEERR_INVALCALLSTATE);
        } else {
            ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from));
            EXPECT_EQ(Reply(lineDrop(call, nullptr, 0)), 0);
        }
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(lineClose(m_line), 0);
        Shutdown();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(Initialize(modem.DevicePath()), 0u) << "the next start finds no device";
        Shutdown();
    }
}

// lineClose waits for the modem's hang-up holding no lock that the other calls take: they
// answer at once meanwhile, the call having gone with the line.
TEST_F(LineCall, CloseWaitsForTheHangUpWithoutHoldingUpOtherCalls) {
    TranscriptModem modem(VoiceModemRules());
    HCALL call = OpenWithCall(modem);
    modem.SetReply("AT+VLS=0", "");
    const std::vector<std::string> before = modem.Commands();
    const size_t onHooks = size_t(std::count(before.begin(), before.end(), "AT+VLS=0"));
    std::thread closer([this] { EXPECT_EQ(lineClose(m_line), 0); });
    ASSERT_TRUE(modem.WaitForCommand("AT+VLS=0", kPromptMs, onHooks + 1));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lineMonitorMedia(call, LINEMEDIAMODE_G3FAX), LINEERR_INVALCALLHANDLE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    modem.SendLine("OK");
    closer.join();
    Shutdown();
}

TEST_F(LineCall, FaxCallingToneIsReportedOnlyWhileMonitoringIsOn) {
    TranscriptModem modem(VoiceModemRules());
    HCALL call = OpenWithCall(modem, CallStage::Offered);
    AnswerCall(modem, call);
    ASSERT_EQ(lineMonitorMedia(call, LINEMEDIAMODE_G3FAX), 0);
    modem.SendEvent('c');
    auto tone = WaitFor(LINE_MONITORMEDIA, LINEMEDIAMODE_G3FAX);
    ASSERT_TRUE(tone);
    EXPECT_EQ(tone->device, call);

    size_t from = EventCount();
    ASSERT_EQ(lineMonitorMedia(call, 0), 0);
    modem.SendEvent('c');
    modem.SendEvent('b');  // proves the tone was read and passed over
    ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from));
    EXPECT_FALSE(Find(LINE_MONITORMEDIA, kAny, from));
}

// lineGetID "comm/datamodem" into a VARSTRING of `size` bytes: the port and its device name.
struct PortId {
    LONG result;
    DWORD stringSize, neededSize;
    int fd;
    std::string name;
};
PortId GetPort(HCALL call, DWORD size = 124) {
    std::vector<char> block(size);
    auto* id = reinterpret_cast<VARSTRING*>(block.data());
    id->dwTotalSize = size;
    PortId port{lineGetID(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem"), 0, 0, -1, ""};
    if (size < sizeof(VARSTRING)) return port;
    port.stringSize = id->dwStringSize;
    port.neededSize = id->dwNeededSize;
    if (port.result == 0 && port.stringSize >= 5) {
        DWORD handle = 0;
        std::memcpy(&handle, block.data() + id->dwStringOffset, sizeof handle);
        port.fd = static_cast<int>(handle);
        port.name = block.data() + id->dwStringOffset + 4;
    }
    return port;
}

// The serial port goes to the program only in passthrough, into a block large enough; the
// fax calls end to end use it.
TEST_F(LineCall, PassthroughHandsTheSerialPortOver) {
    TranscriptModem modem(VoiceModemRules());
    HCALL call = OpenWithCall(modem);
    EXPECT_EQ(GetPort(call).result, LINEERR_INVALCALLSTATE) << "only in passthrough";

    ASSERT_EQ(Reply(lineSetCallParams(call, LINEBEARERMODE_PASSTHROUGH, 0, 19200, nullptr)), 0);
    const DWORD small = sizeof(VARSTRING) + 4;
    PortId tooSmall = GetPort(call, small);
    EXPECT_EQ(tooSmall.result, 0);
    EXPECT_EQ(tooSmall.stringSize, 0u);
    EXPECT_EQ(tooSmall.neededSize, small + modem.DevicePath().size() + 1);
    EXPECT_EQ(GetPort(call, 8).result, LINEERR_STRUCTURETOOSMALL);
    PortId port = GetPort(call);
    ASSERT_EQ(port.result, 0);
    EXPECT_EQ(port.name, modem.DevicePath());

    close(port.fd);
}

}  // namespace

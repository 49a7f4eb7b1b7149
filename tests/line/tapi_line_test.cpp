#include "line/tapi_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/message_box.h"
#include "tests/line/scripted_tapi.h"
#include "tests/support/child_process.h"

namespace {

class EventWindow : public platform::MessageTarget {
public:
    intptr_t HandleMessage(uint32_t message, uintptr_t wParam, intptr_t) override {
        if (message == platform::WM_LINE_EVENT) events.push_back(wParam);
        if (message == platform::WM_LINE_LOST) events.push_back(kLost);
        return 0;
    }
    std::vector<uintptr_t> events;
    static constexpr uintptr_t kLost = ~uintptr_t{0};
};

class TapiLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_script = LoadScriptedTapi();
        ASSERT_NE(m_script, nullptr);
        platform::SetHeadless(true);
        int fd = open(m_logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        m_line.m_faxReceiver.UseLogDescriptor(fd);
        close(fd);
    }
    bool Traced(const std::string& entry) const {
        return std::find(m_script->trace.begin(), m_script->trace.end(), entry) !=
               m_script->trace.end();
    }
    void Fire(DWORD device, DWORD message, DWORD_PTR p1, DWORD_PTR p2 = 0, DWORD_PTR p3 = 0) {
        CTapiLine::LineCallback(device, message, reinterpret_cast<DWORD_PTR>(&m_line), p1, p2, p3);
    }
    std::string Log() const { return ReadFile(m_logPath); }

    TempFolder m_folder;
    std::string m_logPath = m_folder / "Fax.Log";
    ScriptedTapi* m_script = nullptr;
    EventWindow m_window;
    CTapiLine m_line;
};

TEST_F(TapiLineTest, FirstQualifyingDeviceIsTakenAndBadOnesSkipped) {
    ScriptedDevice noNegotiation;
    noNegotiation.negotiateResult = LINEERR_INCOMPATIBLEAPIVERSION;
    ScriptedDevice noDataModem;
    noDataModem.mediaModes &= ~LINEMEDIAMODE_DATAMODEM;
    m_script->devices = {noNegotiation, noDataModem, ScriptedDevice(), ScriptedDevice()};

    ASSERT_TRUE(m_line.Initialize(&m_window));
    EXPECT_EQ(m_line.DeviceId(), 2u);
    EXPECT_TRUE(Traced("lineNegotiateAPIVersion 0 65540 196608"));  // 1.4 .. 3.0
    EXPECT_FALSE(Traced("lineGetDevCaps 0"));
    EXPECT_TRUE(Traced("lineGetDevCaps 1"));
    EXPECT_FALSE(Traced("lineNegotiateAPIVersion 3 65540 196608"));
}

TEST_F(TapiLineTest, CapabilityFailureEndsTheSearchAndBuffersGrowToTheNeededSize) {
    ScriptedDevice failing;
    failing.capsResult = LINEERR_OPERATIONFAILED;
    m_script->devices = {failing, ScriptedDevice()};
    EXPECT_FALSE(m_line.Initialize(&m_window));
    EXPECT_FALSE(Traced("lineNegotiateAPIVersion 1 65540 196608"));

    *m_script = ScriptedTapi();
    ScriptedDevice big;
    big.neededSize = 5000;
    m_script->devices = {big};
    ASSERT_TRUE(m_line.Initialize(&m_window));
    EXPECT_EQ(m_script->capsBufferSizes, (std::vector<DWORD>{2301, 5000}));
}

TEST_F(TapiLineTest, ReinitPromptsUntilCancel) {
    m_script->devices = {ScriptedDevice()};
    m_script->reinitAnswers = 5;
    setenv("VANTORO_MSGBOX", "retry,cancel", 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_line.Initialize(&m_window));
    std::string prompt = "MSGBOX 错误: TAPI初始化失败！是否需要重新进行？\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), prompt + prompt);
    EXPECT_EQ(std::count(m_script->trace.begin(), m_script->trace.end(), "lineInitialize"), 2);
    unsetenv("VANTORO_MSGBOX");
}

TEST_F(TapiLineTest, EventsReachTheWindowAndFaxToneStopsDetectionFirst) {
    m_script->devices = {ScriptedDevice()};
    ASSERT_TRUE(m_line.Initialize(&m_window));
    ASSERT_TRUE(m_line.Open());
    m_script->trace.clear();

    Fire(33, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_OWNER);
    EXPECT_EQ(m_line.CallHandle(), 33u);
    EXPECT_EQ(m_script->trace, (std::vector<std::string>{"lineMonitorMedia 33 32"}));
    Fire(11, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING);
    Fire(11, LINE_LINEDEVSTATE, LINEDEVSTATE_OTHER);  // ignored
    Fire(11, LINE_LINEDEVSTATE, LINEDEVSTATE_OUTOFSERVICE);
    Fire(11, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING);
    Fire(33, LINE_REPLY, 100, 0);  // stored, nothing sent
    Fire(33, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, LINECALLPRIVILEGE_OWNER);
    Fire(33, LINE_MONITORMEDIA, LINEMEDIAMODE_DATAMODEM);  // ignored
    Fire(33, LINE_MONITORMEDIA, LINEMEDIAMODE_G3FAX);
    Fire(33, LINE_CLOSE, 0);
    const uintptr_t lost = EventWindow::kLost;
    EXPECT_EQ(m_window.events, (std::vector<uintptr_t>{2, 2, lost, 2, 0x100, 0x20, lost}));
    EXPECT_EQ(m_script->trace.back(), "lineMonitorMedia 33 0");

    EXPECT_TRUE(m_line.Answer());
    EXPECT_TRUE(Traced("lineAnswer 33"));
}

TEST_F(TapiLineTest, MonitoringStillFlaggedIsNotStartedAgain) {
    m_script->devices = {ScriptedDevice()};
    ASSERT_TRUE(m_line.Initialize(&m_window));
    Fire(40, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_OWNER);
    Fire(41, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_OWNER);
    EXPECT_EQ(
        std::count_if(m_script->trace.begin(), m_script->trace.end(),
                      [](const std::string& e) { return e.rfind("lineMonitorMedia", 0) == 0; }),
        1);
    Fire(42, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_MONITOR);
    EXPECT_EQ(m_line.CallHandle(), 41u);  // only an owner's call becomes the current call
}

TEST_F(TapiLineTest, DropAndShutdown) {
    m_script->devices = {ScriptedDevice()};
    ASSERT_TRUE(m_line.Initialize(&m_window));
    ASSERT_TRUE(m_line.Open());
    Fire(50, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_OWNER);
    m_script->dropResult = LINEERR_INVALCALLSTATE;
    m_script->closeResult = LINEERR_OPERATIONFAILED;
    m_script->trace.clear();
    EXPECT_FALSE(m_line.Shutdown());
    EXPECT_EQ(m_script->trace,
              (std::vector<std::string>{"lineDrop 50", "lineDeallocateCall 50", "lineClose 11"}));
    EXPECT_EQ(m_line.CallHandle(), 0u);
    EXPECT_NE(Log().find("  关闭呼叫失败，错误号：-2147483620\r\n"), std::string::npos);
}

TEST_F(TapiLineTest, ReplyWaitDispatchesUntilItsReplyAndGivesUpAfterTheLimit) {
    m_script->devices = {ScriptedDevice()};
    ASSERT_TRUE(m_line.Initialize(&m_window));
    ASSERT_TRUE(m_line.Open());
    auto reply = [this](DWORD_PTR id, DWORD_PTR result) {
        platform::PostToUiThread([=] { Fire(0, LINE_REPLY, id, result); });
    };

    reply(7, 0);  // another request's reply first: keep waiting
    reply(8, 0);
    EXPECT_TRUE(m_line.WaitForReply(8, 2000));
    reply(9, static_cast<DWORD_PTR>(static_cast<uint32_t>(LINEERR_OPERATIONFAILED)));
    EXPECT_FALSE(m_line.WaitForReply(9, 2000));

    uint32_t start = platform::TickCountMs();
    EXPECT_FALSE(m_line.WaitForReply(10, 150));  // never answered
    EXPECT_GE(platform::TicksSince(start, platform::TickCountMs()), 150u);
    EXPECT_NE(Log().find("  等待线路应答超时\r\n"), std::string::npos);
    EXPECT_FALSE(m_line.WaitForReply(LINEERR_OPERATIONUNAVAIL));  // refused at once
}

}  // namespace

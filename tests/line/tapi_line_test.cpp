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
        m_line.UseLogDescriptor(fd);
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

// The library against the virtual modem and a caller on its simulated line (the program's
// end-to-end tests place the other calls).

#include "tests/support/modem_harness.h"
#include "tests/tapi/line_fixture.h"

namespace {

constexpr int kCallMs = 15000;

class LineVmodem : public LineTest {
protected:
    void SetUp() override {
        LineTest::SetUp();
        ASSERT_TRUE(m_vmodem.Start(false));
    }
    ModemHarness m_vmodem{300};
};

TEST_F(LineVmodem, RingCallerIdAnswerAndTheCallerHangingUp) {
    OpenLine(m_vmodem.LinkPath());
    auto caller = m_vmodem.Call(
        {"--number", "5551234", "--give-up-after-rings", "10", "--hangup-after", "1"});
    auto offering = WaitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, kCallMs);
    ASSERT_TRUE(offering);
    HCALL call = static_cast<HCALL>(offering->device);
    EXPECT_TRUE(WaitFor(LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, kCallMs))
        << "the caller sent a number";
    EXPECT_TRUE(Find(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING));
    ASSERT_EQ(lineMonitorMedia(call, LINEMEDIAMODE_G3FAX), 0);

    size_t from = EventCount();
    EXPECT_EQ(Reply(lineAnswer(call, nullptr, 0)), 0);
    ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED, from));
    auto disconnected = WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from, kCallMs);
    ASSERT_TRUE(disconnected) << "the caller hangs up one second after the answer";
    EXPECT_EQ(disconnected->device, call);
    EXPECT_FALSE(Find(LINE_MONITORMEDIA, kAny, from)) << "a voice caller sends no fax tone";

    from = EventCount();
    EXPECT_EQ(Reply(lineDrop(call, nullptr, 0)), 0);
    EXPECT_TRUE(Find(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
    EXPECT_EQ(lineDeallocateCall(call), 0);
    EXPECT_EQ(caller->WaitForExit(kCallMs), 0);
    EXPECT_NE(caller->Stdout().find("RESULT answered rings="), std::string::npos)
        << caller->Stdout();
}

}  // namespace

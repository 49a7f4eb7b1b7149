// The library against the virtual modem and a caller on its simulated line.

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "tests/tapi/line_fixture.h"

namespace {

constexpr int kRingIntervalMs = 300;
constexpr int kCallMs = 15000;

size_t RingingEvents() {
    size_t rings = 0;
    for (const LineEvent& event : EventLog::Events()) {
        rings += event.message == LINE_LINEDEVSTATE && event.param1 == LINEDEVSTATE_RINGING;
    }
    return rings;
}

// Waits for the caller's end and returns its result line.
QString CallerResult(QProcess& caller) {
    if (caller.state() != QProcess::NotRunning) caller.waitForFinished(kCallMs);
    return QString::fromUtf8(caller.readAllStandardOutput()).trimmed();
}

class LineVmodem : public LineTest {
protected:
    void SetUp() override {
        LineTest::SetUp();
        ASSERT_TRUE(m_dir.isValid());
        m_link = m_dir.path() + "/modem";
        m_socket = m_dir.path() + "/line.sock";
        m_vmodem.start(VMODEM_PATH, {"--link", m_link, "--socket", m_socket, "--ring-interval",
                                     QString::number(kRingIntervalMs)});
        ASSERT_TRUE(m_vmodem.waitForStarted());
        ASSERT_TRUE(PumpUntil(
            [&] { return QFileInfo::exists(m_link) && QFileInfo::exists(m_socket); }, kPromptMs));
    }
    void TearDown() override {
        LineTest::TearDown();
        for (QProcess* process : {&m_caller, &m_vmodem}) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                if (!process->waitForFinished(2000)) process->kill();
                process->waitForFinished(2000);
            }
        }
    }

    QTemporaryDir m_dir;
    QString m_link, m_socket;
    QProcess m_vmodem, m_caller;
};

TEST_F(LineVmodem, RingAnswerAndTheCallerHangingUp) {
    OpenLine(m_link.toStdString());
    m_caller.start(CALL_PATH, {"--socket", m_socket, "--number", "5551234", "--give-up-after-rings",
                               "10", "--hangup-after", "1"});
    ASSERT_TRUE(m_caller.waitForStarted());

    auto offering = WaitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, kCallMs);
    ASSERT_TRUE(offering);
    HCALL call = static_cast<HCALL>(offering->device);
    ASSERT_TRUE(PumpUntil([] { return RingingEvents() >= 2; }, kCallMs));
    EXPECT_TRUE(Find(LINE_CALLINFO, LINECALLINFOSTATE_CALLERID)) << "the caller sent a number";
    ASSERT_EQ(m_lib->monitorMedia(call, LINEMEDIAMODE_G3FAX), 0);

    size_t from = EventCount();
    LONG request = m_lib->answer(call, nullptr, 0);
    ASSERT_GT(request, 0);
    auto reply = WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request), from, kPromptMs);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->param2, 0u);
    ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED, from, kPromptMs));

    auto disconnected = WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from, kCallMs);
    ASSERT_TRUE(disconnected) << "the caller hangs up one second after the answer";
    EXPECT_EQ(disconnected->device, call);
    EXPECT_FALSE(Find(LINE_MONITORMEDIA, ~DWORD_PTR{0}, from))
        << "a voice caller sends no fax tone";

    from = EventCount();
    request = m_lib->drop(call, nullptr, 0);
    ASSERT_GT(request, 0);
    reply = WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request), from, kPromptMs);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->param2, 0u);
    EXPECT_TRUE(Find(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
    EXPECT_EQ(m_lib->deallocateCall(call), 0);

    QString result = CallerResult(m_caller);
    EXPECT_TRUE(result.contains("RESULT answered rings=")) << result.toStdString();
}

TEST_F(LineVmodem, ACallerWhoGivesUpLeavesAnIdleCallAndTheNextCallStartsOver) {
    OpenLine(m_link.toStdString());
    m_caller.start(CALL_PATH, {"--socket", m_socket, "--give-up-after-rings", "2"});
    ASSERT_TRUE(m_caller.waitForStarted());
    auto offering = WaitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, kCallMs);
    ASSERT_TRUE(offering);
    auto idle = WaitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, kCallMs);
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->device, offering->device);
    QString result = CallerResult(m_caller);
    EXPECT_TRUE(result.contains("RESULT unanswered rings=2")) << result.toStdString();
    EXPECT_EQ(m_lib->deallocateCall(static_cast<HCALL>(offering->device)), 0);

    size_t from = EventCount();
    m_caller.start(CALL_PATH, {"--socket", m_socket, "--give-up-after-rings", "1"});
    ASSERT_TRUE(m_caller.waitForStarted());
    auto next = WaitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING, from, kCallMs);
    ASSERT_TRUE(next);
    EXPECT_NE(next->device, offering->device);
    auto ring = WaitFor(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, from, kPromptMs);
    ASSERT_TRUE(ring);
    EXPECT_EQ(ring->param3, 1u);
}

}  // namespace

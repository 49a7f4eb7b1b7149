// The call flow against a scripted line library: a hang-up in the greeting's fax window.

#include <gtest/gtest.h>

#include <QTimer>
#include <chrono>

#include "app/answering_dlg.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "tests/line/scripted_tapi.h"
#include "tests/support/child_process.h"

namespace {

class CallFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_script = LoadScriptedTapi();
        ASSERT_NE(m_script, nullptr);
        m_script->devices = {ScriptedDevice()};
        platform::SetHeadless(true);
        platform::SetProgramFolderOverride(m_folder.Path());
        setenv("TMPDIR", m_folder.Path().c_str(), 1);
        WriteFile(m_folder / "vantoro.ini", "[vantoro]\nring=3\ntime=5\n");
        testing::internal::CaptureStdout();
        ASSERT_TRUE(m_dialog.StartWaiting());
    }
    void TearDown() override { testing::internal::GetCapturedStdout(); }

    std::vector<std::string> Statuses() {
        std::string text = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        std::vector<std::string> lines;
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }
    void Fire(DWORD device, DWORD message, DWORD_PTR p1, DWORD_PTR p3 = 0) {
        CTapiLine::LineCallback(device, message, reinterpret_cast<DWORD_PTR>(&m_dialog.Line()), p1,
                                0, p3);
    }
    void Offer(DWORD call) {
        Fire(call, LINE_CALLSTATE, LINECALLSTATE_OFFERING, LINECALLPRIVILEGE_OWNER);
    }
    void Ring() { Fire(11, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING); }

    TempFolder m_folder;
    ScriptedTapi* m_script = nullptr;
    CAnsweringDlg m_dialog;
};

// A hang-up in the greeting's fax window ends the sequence at once (the window alone is 5 s):
// no tone, no recording, and the line opened afresh is left as it was set up for the next call.
TEST_F(CallFlowTest, HangUpDuringTheGreetingEndsTheSequenceAtOnce) {
    Offer(21);
    for (int ring = 0; ring < 3; ++ring) Ring();
    Statuses();
    QTimer::singleShot(300, [this] {
        Fire(21, LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINECALLPRIVILEGE_OWNER);
    });
    auto start = std::chrono::steady_clock::now();
    Fire(21, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, LINECALLPRIVILEGE_OWNER);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(Statuses(),
              (std::vector<std::string>{"正在播放欢迎词", "对方已经挂机", "等待呼叫..."}));
    EXPECT_EQ(m_dialog.GetCallState(), CAnsweringDlg::CallState::Waiting);
}

}  // namespace

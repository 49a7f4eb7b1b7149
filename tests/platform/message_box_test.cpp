#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using platform::MsgAnswer;
using platform::MsgButtons;
using platform::MsgIcon;

MsgAnswer Ask(MsgButtons buttons) {
    return platform::ShowMessageBox(nullptr, "是否取消当前操作？", "确认", MsgIcon::Stop, buttons);
}

TEST(HeadlessMessageBox, ScriptedAnswersInOrderThenDefaults) {
    platform::SetHeadless(true);
    setenv("VANTORO_MSGBOX", "cancel,ok,no,bogus", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Ask(MsgButtons::OkCancel), MsgAnswer::Cancel);
    EXPECT_EQ(Ask(MsgButtons::OkCancel), MsgAnswer::Ok);
    EXPECT_EQ(Ask(MsgButtons::RetryCancel), MsgAnswer::Retry);  // "no" is not offered: default
    EXPECT_EQ(Ask(MsgButtons::YesNo), MsgAnswer::Yes);          // unknown word: default
    EXPECT_EQ(Ask(MsgButtons::OkCancel), MsgAnswer::Ok);        // script used up: default
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed.find("MSGBOX 确认: 是否取消当前操作？\n"), 0u);
}

}  // namespace

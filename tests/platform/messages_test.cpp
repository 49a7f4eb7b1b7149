#include "platform/messages.h"

#include <gtest/gtest.h>

#include "platform/clock.h"

namespace {

TEST(Clock, DeadlinesAreWrapSafe) {
    const uint32_t start = 0xFFFFFF00u;  // 256 ms before the 32-bit tick wraps
    EXPECT_FALSE(platform::TickDeadlinePassed(start, 1000, start + 10));
    EXPECT_FALSE(platform::TickDeadlinePassed(start, 1000, 0x00000100u));  // 512 ms, wrapped
    EXPECT_TRUE(platform::TickDeadlinePassed(start, 1000, 0x00000300u));   // 1024 ms, wrapped
    EXPECT_EQ(platform::TicksLeft(start, 1000, 0x00000100u), 488u);
    EXPECT_EQ(platform::TicksLeft(start, 1000, 0x00000400u), 0u);
}

class Target : public platform::MessageTarget {
public:
    intptr_t HandleMessage(uint32_t message, uintptr_t wParam, intptr_t) override {
        last = message;
        sum += wParam;
        return 42;
    }
    uint32_t last = 0;
    uintptr_t sum = 0;
};

TEST(Messages, SendIsSynchronousAndDeadWindowsGetNothing) {
    platform::HWND stale = nullptr;
    {
        Target target;
        stale = &target;
        EXPECT_EQ(platform::SendMessage(&target, platform::WM_LINE_EVENT, 2, 0), 42);
        EXPECT_EQ(target.last, platform::WM_LINE_EVENT);
    }
    EXPECT_FALSE(platform::IsWindow(stale));
    EXPECT_EQ(platform::SendMessage(stale, platform::WM_LINE_EVENT, 2, 0), 0);
}

TEST(Messages, PumpDispatchesAtMostOnePostedMessage) {
    Target target;
    platform::PostMessage(&target, platform::WM_TRAY_NOTIFY, 1, 0);
    platform::PostMessage(&target, platform::WM_TRAY_NOTIFY, 10, 0);
    platform::PumpOneMessage();
    EXPECT_EQ(target.sum, 1u);
    platform::PumpOneMessage();
    platform::PumpOneMessage();
    EXPECT_EQ(target.sum, 11u);
}

}  // namespace

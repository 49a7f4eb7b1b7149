#include "platform/messages.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/clock.h"
#include "platform/thread_queue.h"

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

TEST(Messages, WaitWakesOnDescriptorAndPostedMessage) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ASSERT_EQ(write(fds[1], "x", 1), 1);
    });
    uint32_t start = platform::TickCountMs();
    platform::WaitForActivity(fds[0], 5000);
    EXPECT_LT(platform::TicksSince(start, platform::TickCountMs()), 2000u);
    writer.join();
    close(fds[0]);
    close(fds[1]);

    Target target;
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        platform::PostMessage(&target, platform::WM_TRAY_NOTIFY, 1, 0);
    });
    start = platform::TickCountMs();
    platform::WaitForActivity(-1, 5000);
    EXPECT_LT(platform::TicksSince(start, platform::TickCountMs()), 2000u);
    poster.join();
    while (platform::PendingMessageCount() > 0) platform::PumpOneMessage();
    EXPECT_EQ(target.sum, 1u);
}

TEST(ThreadQueue, WorkerLoopTakesMessagesInOrderAndEndsOnQuit) {
    platform::ThreadMessageQueue queue;
    std::vector<uintptr_t> seen;
    int exitCode = -1;
    std::thread worker([&] {
        exitCode = queue.Run(
            [&](const platform::ThreadMessage& message) { seen.push_back(message.wParam); });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the worker blocks meanwhile
    for (uintptr_t i = 1; i <= 3; ++i) queue.Post({platform::WM_TRAY_NOTIFY, i, 0});
    queue.PostQuit(7);
    queue.Post({platform::WM_TRAY_NOTIFY, 99, 0});  // after the quit: left in the queue
    worker.join();
    EXPECT_EQ(seen, (std::vector<uintptr_t>{1, 2, 3}));
    EXPECT_EQ(exitCode, 7);
    platform::ThreadMessage left;
    EXPECT_TRUE(queue.Peek(&left));
    EXPECT_EQ(left.wParam, 99u);
    EXPECT_FALSE(queue.Peek(&left));
}

}  // namespace

#pragma once
#include <cstdint>
#include <functional>

namespace platform {

// The program's own window messages.
constexpr uint32_t WM_FAX_STATUS = 2024;
constexpr uint32_t WM_TRAY_NOTIFY = 2025;
constexpr uint32_t WM_LINE_EVENT = 2034;
// The line device went away (a modem unplugged): sent by the line callback, no parameters.
constexpr uint32_t WM_LINE_LOST = 2035;
// The open line went out of or back into service (it may bring calls or not); no parameters.
constexpr uint32_t WM_LINE_SERVICE = 2036;

// Something that receives window messages: the program's window handle. Targets register
// themselves, so IsWindow can tell a live handle from a stale one.
class MessageTarget {
public:
    MessageTarget();
    virtual ~MessageTarget();
    MessageTarget(const MessageTarget&) = delete;
    MessageTarget& operator=(const MessageTarget&) = delete;

    virtual intptr_t HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
};
using HWND = MessageTarget*;

bool IsWindow(HWND window);

// Synchronous delivery on the calling (user-interface) thread; 0 for a dead window.
intptr_t SendMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Queues a message for the user-interface thread; safe from any thread.
void PostMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Queues a function to run on the user-interface thread; safe from any thread. Each queued
// item counts as one of the program's messages.
void PostToUiThread(std::function<void()> message);

// Dispatches what the platform has pending and at most one of the program's own queued
// messages. Never blocks.
void PumpOneMessage();

// Blocks until something may have changed for a waiting loop: an event was dispatched, one of
// the program's messages is queued, `fd` (when >= 0) is readable, or `timeoutMs` passed.
// Waits call it after a pass of PumpOneMessage that found nothing to do, so they do not spin.
void WaitForActivity(int fd, uint32_t timeoutMs);

// Number of the program's own messages still queued (tests).
size_t PendingMessageCount();

}  // namespace platform

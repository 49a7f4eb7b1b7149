#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace platform {

constexpr uint32_t WM_QUIT = 0x0012;

struct ThreadMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

// The message queue of a worker thread: any thread posts, the owning thread takes messages in
// order and blocks while there are none.
class ThreadMessageQueue {
public:
    void Post(const ThreadMessage& message);
    void PostQuit(int exitCode);

    // Blocks until a message arrives; false when it is WM_QUIT.
    bool Get(ThreadMessage* message);
    // Takes a message if one is queued; never blocks.
    bool Peek(ThreadMessage* message);

    // The thread's message loop: hands every message to `handler` until WM_QUIT; returns the
    // quit's exit code.
    int Run(const std::function<void(const ThreadMessage&)>& handler);

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<ThreadMessage> m_messages;
};

}  // namespace platform

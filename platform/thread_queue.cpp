#include "platform/thread_queue.h"

namespace platform {

void ThreadMessageQueue::Post(const ThreadMessage& message) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(message);
    }
    m_arrived.notify_one();
}

void ThreadMessageQueue::PostQuit(int exitCode) {
    Post(ThreadMessage{WM_QUIT, static_cast<uintptr_t>(exitCode), 0});
}

bool ThreadMessageQueue::Get(ThreadMessage* message) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_arrived.wait(lock, [this] { return !m_messages.empty(); });
    *message = m_messages.front();
    m_messages.pop_front();
    return message->message != WM_QUIT;
}

bool ThreadMessageQueue::Peek(ThreadMessage* message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_messages.empty()) return false;
    *message = m_messages.front();
    m_messages.pop_front();
    return true;
}

int ThreadMessageQueue::Run(const std::function<void(const ThreadMessage&)>& handler) {
    ThreadMessage message;
    while (Get(&message)) handler(message);
    return static_cast<int>(message.wParam);
}

}  // namespace platform

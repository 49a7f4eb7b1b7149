#include "platform/messages.h"

#include <poll.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

namespace platform {
namespace {

std::set<const MessageTarget*>& LiveTargets() {
    static std::set<const MessageTarget*> targets;
    return targets;
}

// The program's own queued messages, drained one per pump.
struct PostedQueue {
    std::mutex mutex;
    std::deque<std::function<void()>> items;
};
PostedQueue& Posted() {
    static PostedQueue queue;
    return queue;
}

bool g_pumping = false;

bool DispatchOnePosted() {
    std::function<void()> message;
    {
        PostedQueue& queue = Posted();
        std::lock_guard<std::mutex> lock(queue.mutex);
        if (queue.items.empty()) return false;
        message = std::move(queue.items.front());
        queue.items.pop_front();
    }
    message();
    return true;
}

void ScheduleWakeup() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    // Outside a pump (the main loop, a message box) the wake-up itself dispatches one message;
    // inside a pump, PumpOneMessage does.
    QMetaObject::invokeMethod(
        app,
        [] {
            if (!g_pumping) DispatchOnePosted();
        },
        Qt::QueuedConnection);
}

// Ends a local wait loop as soon as any event of the thread has been dispatched.
class AnyEventQuitter : public QObject {
public:
    explicit AnyEventQuitter(QEventLoop* loop) : m_loop(loop) {}
    bool eventFilter(QObject*, QEvent*) override {
        m_loop->quit();
        return false;
    }

private:
    QEventLoop* m_loop;
};

void PollDescriptor(int fd, uint32_t timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    poll(fd >= 0 ? &entry : nullptr, fd >= 0 ? 1 : 0, static_cast<int>(timeoutMs));
}

}  // namespace

MessageTarget::MessageTarget() { LiveTargets().insert(this); }
MessageTarget::~MessageTarget() { LiveTargets().erase(this); }

bool IsWindow(HWND window) { return window && LiveTargets().count(window) != 0; }

intptr_t SendMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (!IsWindow(window)) return 0;
    return window->HandleMessage(message, wParam, lParam);
}

void PostMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    PostToUiThread([=] { SendMessage(window, message, wParam, lParam); });
}

void PostToUiThread(std::function<void()> message) {
    {
        PostedQueue& queue = Posted();
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.items.push_back(std::move(message));
    }
    ScheduleWakeup();
}

size_t PendingMessageCount() {
    PostedQueue& queue = Posted();
    std::lock_guard<std::mutex> lock(queue.mutex);
    return queue.items.size();
}

void PumpOneMessage() {
    if (QCoreApplication::instance()) {
        bool outer = g_pumping;
        g_pumping = true;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        g_pumping = outer;
    }
    DispatchOnePosted();
    if (PendingMessageCount() > 0) ScheduleWakeup();
}

void WaitForActivity(int fd, uint32_t timeoutMs) {
    if (PendingMessageCount() > 0) return;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !QAbstractEventDispatcher::instance()) {
        PollDescriptor(fd, timeoutMs);
        return;
    }
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(static_cast<int>(timeoutMs));

    std::unique_ptr<QSocketNotifier> readable;
    if (fd >= 0) {
        readable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        // The caller drains the descriptor; until then the notifier must stay quiet.
        QObject::connect(readable.get(), &QSocketNotifier::activated, &loop, [&] {
            readable->setEnabled(false);
            loop.quit();
        });
    }
    AnyEventQuitter quitter(&loop);
    app->installEventFilter(&quitter);
    loop.exec();
    app->removeEventFilter(&quitter);
}

}  // namespace platform

#pragma once
#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP, turned into a call on the UI thread: the handler only writes the
// signal's number to a pipe, whose reading end wakes the event loop like any other event. After
// the first such signal a second one ends the program at once, as if nobody had caught it.
class CExitSignals : public QObject {
public:
    // Installs the handlers; call once, early in main. False when the pipe cannot be made.
    static bool Install();

    explicit CExitSignals(std::function<void()> onExit);
    ~CExitSignals() override;

private:
    void ReadSignals();

    std::function<void()> m_onExit;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

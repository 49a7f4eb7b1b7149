#pragma once
#include <QObject>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

// Reads the window's commands by name, one per line, from standard input: the way to drive the
// answering machine without a display. End of input changes nothing; a terminal the program may
// not read (run in the background) gives no commands but never stops it.
class CHeadlessConsole : public QObject {
public:
    using CommandHandler = std::function<void(const std::string&)>;

    CHeadlessConsole(int fd, CommandHandler handler);
    ~CHeadlessConsole() override;

private:
    void ReadAvailable();
    void Dispatch(std::string line);

    int m_fd;
    CommandHandler m_handler;
    std::string m_pending;
    bool m_skippingLine = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

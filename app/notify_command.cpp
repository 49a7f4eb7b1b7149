#include "app/notify_command.h"

#include <QProcess>
#include <QSocketNotifier>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/profile.h"
#include "platform/supervised_command.h"

namespace {

constexpr char kSection[] = "notify";
constexpr uint32_t kMsPerSecond = 1000;

std::vector<std::string> Environment(const StoredItem& item) {
    const bool message = item.kind == StoredItem::Kind::Message;
    return {std::string("VANTORO_KIND=") + (message ? "message" : "fax"),
            "VANTORO_FILE=" + item.file, "VANTORO_CALLER=" + item.caller,
            (message ? "VANTORO_SECONDS=" : "VANTORO_PAGES=") + std::to_string(item.count)};
}

// The tail of a command's output as one line of the journal: line ends as " | ", other control
// bytes as '?', so that it cannot pass for lines of ours.
std::string OneLine(const std::string& tail) {
    std::string line;
    bool lineEnded = false;
    for (char c : tail) {
        if (c == '\n' || c == '\r') {
            lineEnded = !line.empty();
            continue;
        }
        if (lineEnded) line += " | ";
        lineEnded = false;
        line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    }
    return line;
}

}  // namespace

struct CNotifyCommand::Running {
    std::unique_ptr<platform::SupervisedCommand> command;
    std::unique_ptr<QSocketNotifier> notifier;
    std::string name;
};

CNotifyCommand::CNotifyCommand(std::function<void(const std::string&)> log)
    : m_log(std::move(log)) {}

CNotifyCommand::~CNotifyCommand() = default;

void CNotifyCommand::Run(const StoredItem& item, const std::string& settingsPath) {
    std::string command;
    if (!platform::GetProfileString(kSection, "command", &command, settingsPath)) return;
    std::vector<std::string> argv;
    for (const QString& word : QProcess::splitCommand(QString::fromStdString(command)))
        argv.push_back(word.toStdString());
    if (argv.empty()) return;
    uint32_t seconds =
        platform::GetProfileInt(kSection, "timeout", kDefaultTimeoutSeconds, settingsPath);
    if (seconds == 0) seconds = kDefaultTimeoutSeconds;

    int error = 0;
    auto started =
        platform::SupervisedCommand::Start(argv, Environment(item), seconds * kMsPerSecond, &error);
    if (!started) {
        m_log("通知命令无法启动: " + argv[0] + " (" + std::strerror(error) + ")");
        return;
    }
    auto running = std::make_unique<Running>();
    running->name = argv[0];
    running->notifier =
        std::make_unique<QSocketNotifier>(started->ReportFd(), QSocketNotifier::Read);
    running->command = std::move(started);
    Running* watched = running.get();
    connect(watched->notifier.get(), &QSocketNotifier::activated, this,
            [this, watched] { Collect(watched); });
    m_running.push_back(std::move(running));
}

void CNotifyCommand::Collect(Running* running) {
    platform::CommandReport report;
    if (!running->command->ReadReport(&report)) return;
    running->notifier->setEnabled(false);
    const std::string& name = running->name;
    if (report.outputBytes > 0) {
        std::fprintf(stderr, "vantoro: the notify command %s wrote %llu bytes, ending: %s\n",
                     name.c_str(), static_cast<unsigned long long>(report.outputBytes),
                     OneLine(report.outputTail).c_str());
    }
    switch (report.end) {
        case platform::CommandEnd::Exited:
            if (report.code != 0)
                m_log("通知命令失败，退出码 " + std::to_string(report.code) + ": " + name);
            break;
        case platform::CommandEnd::Signalled:
            m_log("通知命令失败，信号 " + std::to_string(report.code) + ": " + name);
            break;
        case platform::CommandEnd::TimedOut:
            m_log("通知命令超时，已终止: " + name);
            break;
        case platform::CommandEnd::NotStarted:
            m_log("通知命令无法启动: " + name + " (" + std::strerror(report.code) + ")");
            break;
    }
    // The notifier is inside its own signal: let go of it once the signal has returned.
    QMetaObject::invokeMethod(
        this,
        [this, running] {
            m_running.erase(std::remove_if(m_running.begin(), m_running.end(),
                                           [running](const auto& r) { return r.get() == running; }),
                            m_running.end());
        },
        Qt::QueuedConnection);
}

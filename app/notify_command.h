#pragma once
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/stored_item.h"

class QSocketNotifier;
namespace platform {
class SupervisedCommand;
}

// The user's own command run after each stored message or fax: `command=` of the settings file's
// [notify] section, split into words (no shell), with VANTORO_KIND, VANTORO_FILE, VANTORO_CALLER
// and VANTORO_SECONDS or VANTORO_PAGES in its environment. It runs apart from the program and is
// stopped after `timeout=` seconds (default 60); a failure is one line of the log.
class CNotifyCommand : public QObject {
public:
    static constexpr uint32_t kDefaultTimeoutSeconds = 60;

    explicit CNotifyCommand(std::function<void(const std::string&)> log);
    ~CNotifyCommand() override;

    void Run(const StoredItem& item, const std::string& settingsPath);

private:
    struct Running;
    void Collect(Running* running);

    std::function<void(const std::string&)> m_log;
    std::vector<std::unique_ptr<Running>> m_running;
};

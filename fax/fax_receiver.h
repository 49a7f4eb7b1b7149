#pragma once
#include <string>

#include "platform/messages.h"

// The fax receive object. It carries the program's one text log, Fax.Log, and the status channel
// through which the fax session shows its progress in the main window.
class CFaxReceiver {
public:
    CFaxReceiver();
    ~CFaxReceiver();
    CFaxReceiver(const CFaxReceiver&) = delete;
    CFaxReceiver& operator=(const CFaxReceiver&) = delete;

    // Log and status.
    bool OpenLog();  // recreates Fax.Log in the per-user state folder
    bool UseLogDescriptor(int fd);  // log to an already open descriptor instead (tools)
    void Log(const std::string& text);
    void FormatTimestamp();
    void SetStatus(const std::string& text);
    void CloseLog();
    bool IsLogOpen() const { return m_fileLog >= 0; }
    static std::string LogFilePath();

    platform::HWND m_hWnd = nullptr;
    std::string m_strStatus;
    char m_szTime[32] = {};

private:
    int m_fileLog = -1;
};

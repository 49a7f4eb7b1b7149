#pragma once

// The application object: makes sure only one copy runs, then runs the main window modally.
class CAnsweringApp {
public:
    // Always false: the program ends when it returns.
    bool InitInstance();
    // The process's exit status once InitInstance has returned: non-zero when it ended on an
    // error, the refusal of a second copy included.
    int ExitCode() const { return m_exitCode; }
    // With a copy already running, asks it to open its inbox instead of refusing to start.
    void SetOpenInbox(bool open) { m_openInbox = open; }

private:
    int m_exitCode = 0;
    bool m_openInbox = false;
};

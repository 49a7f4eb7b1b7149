#pragma once
// The built libtapi32.so, loaded the way the program loads it, and a recorder of the line
// messages its callback receives.

#include <QTemporaryDir>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tapi/tapi.h"

struct LineLibrary {
    PFN_lineAnswer answer;
    PFN_lineClose close;
    PFN_lineDeallocateCall deallocateCall;
    PFN_lineDrop drop;
    PFN_lineGetDevCaps getDevCaps;
    PFN_lineGetID getId;
    PFN_lineInitialize initialize;
    PFN_lineMakeCall makeCall;
    PFN_lineMonitorMedia monitorMedia;
    PFN_lineNegotiateAPIVersion negotiateApiVersion;
    PFN_lineOpen open;
    PFN_lineSetCallParams setCallParams;
    PFN_lineSetStatusMessages setStatusMessages;
    PFN_lineShutdown shutdown;

    // Null when the library or one of its exports is missing.
    static const LineLibrary* Get();
};

struct LineEvent {
    std::thread::id thread;
    DWORD device;
    DWORD message;
    DWORD_PTR instance;
    DWORD_PTR param1;
    DWORD_PTR param2;
    DWORD_PTR param3;
};

class EventLog {
public:
    static void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1,
                         DWORD_PTR p2, DWORD_PTR p3);
    static std::vector<LineEvent>& Events();
    static void Clear() { Events().clear(); }
};

// Dispatches the test thread's events until `done` holds or `timeoutMs` passes.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs);
// Dispatches events for `ms` milliseconds.
void PumpFor(int ms);
// Milliseconds a test may wait for something that should come at once.
constexpr int kPromptMs = 3000;

// A line.ini in a fresh XDG_CONFIG_HOME; VANTORO_MODEM set to `modemPath` unless empty.
class LineEnvironment {
public:
    LineEnvironment(const std::string& modemPath, const std::string& iniText);
    ~LineEnvironment();

private:
    QTemporaryDir m_config;
};

#include "tests/tapi/line_library.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <chrono>
#include <cstdlib>

#include "platform/shared_library.h"

namespace {

template <typename Function>
bool Resolve(void* library, const char* name, Function& entry) {
    entry = reinterpret_cast<Function>(platform::FindSymbol(library, name));
    return entry != nullptr;
}

LineLibrary Load(bool& complete) {
    LineLibrary lib{};
    void* handle = platform::LoadSharedLibrary(TAPI_LIBRARY_PATH);
    complete = handle && Resolve(handle, "lineAnswer", lib.answer) &&
               Resolve(handle, "lineClose", lib.close) &&
               Resolve(handle, "lineDeallocateCall", lib.deallocateCall) &&
               Resolve(handle, "lineDrop", lib.drop) &&
               Resolve(handle, "lineGetDevCapsA", lib.getDevCaps) &&
               Resolve(handle, "lineGetIDA", lib.getId) &&
               Resolve(handle, "lineInitialize", lib.initialize) &&
               Resolve(handle, "lineMakeCallA", lib.makeCall) &&
               Resolve(handle, "lineMonitorMedia", lib.monitorMedia) &&
               Resolve(handle, "lineNegotiateAPIVersion", lib.negotiateApiVersion) &&
               Resolve(handle, "lineOpenA", lib.open) &&
               Resolve(handle, "lineSetCallParams", lib.setCallParams) &&
               Resolve(handle, "lineSetStatusMessages", lib.setStatusMessages) &&
               Resolve(handle, "lineShutdown", lib.shutdown);
    return lib;
}

}  // namespace

const LineLibrary* LineLibrary::Get() {
    static bool complete = false;
    static LineLibrary library = Load(complete);
    return complete ? &library : nullptr;
}

void EventLog::Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
                        DWORD_PTR p3) {
    Events().push_back({std::this_thread::get_id(), device, message, instance, p1, p2, p3});
}

std::vector<LineEvent>& EventLog::Events() {
    static std::vector<LineEvent> events;
    return events;
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        QCoreApplication::processEvents();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

LineEnvironment::LineEnvironment(const std::string& modemPath, const std::string& iniText) {
    QDir(m_config.path()).mkpath("vantoro");
    QFile ini(m_config.path() + "/vantoro/line.ini");
    if (ini.open(QIODevice::WriteOnly)) ini.write(iniText.c_str());
    setenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit().constData(), 1);
    if (modemPath.empty()) {
        unsetenv("VANTORO_MODEM");
    } else {
        setenv("VANTORO_MODEM", modemPath.c_str(), 1);
    }
}

LineEnvironment::~LineEnvironment() {
    unsetenv("VANTORO_MODEM");
    unsetenv("XDG_CONFIG_HOME");
}

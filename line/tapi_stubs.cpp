#include "line/tapi_stubs.h"

#include <cstdlib>
#include <utility>

#include "platform/paths.h"
#include "platform/shared_library.h"
#include "platform/wave_device.h"

namespace tapi_binding {
namespace {

void* const kUnavailable = reinterpret_cast<void*>(static_cast<intptr_t>(-1));

void* g_library = nullptr;  // 0 not yet tried, handle when loaded, kUnavailable after a failure
int g_loadAttempts = 0;
int g_exportLookups = 0;

constexpr char kLineLibraryName[] = "libtapi32.so";

// VANTORO_TAPI names another library (tests); otherwise the copy beside our own executable
// (a build) and then the installed private one win over the library search path. The installed
// one is loaded by its path: a run path does not reach a dlopen that a sanitizer intercepts.
void* LoadLineLibrary() {
    ++g_loadAttempts;
    if (const char* chosen = std::getenv("VANTORO_TAPI"); chosen && *chosen) {
        return platform::LoadSharedLibrary(chosen);
    }
    const std::string folder = platform::ExecutableFolder();
    for (const std::string& path : {folder + kLineLibraryName,
                                    folder + "../" VANTORO_PRIVATE_LIBDIR "/" + kLineLibraryName}) {
        if (!platform::PathExists(path)) continue;
        if (void* library = platform::LoadSharedLibrary(path)) return library;
    }
    return platform::LoadSharedLibrary(kLineLibraryName);
}

}  // namespace

LONG LoadTapiEntry(const char* exportName, void*& entry) {
    if (g_library == nullptr) {
        void* library = LoadLineLibrary();
        g_library = library ? library : kUnavailable;
    }
    if (g_library == kUnavailable) return LINEERR_OPERATIONUNAVAIL;
    ++g_exportLookups;
    entry = platform::FindSymbol(g_library, exportName);
    return entry ? 0 : LINEERR_OPERATIONUNAVAIL;
}

bool BindWaveDriver() {
    static const bool bound = [] {
        platform::WaveDriver driver;
        void* open = nullptr;
        void* add = nullptr;
        void* start = nullptr;
        void* reset = nullptr;
        void* close = nullptr;
        if (LoadTapiEntry("waveDeviceOpen", open) != 0 ||
            LoadTapiEntry("waveDeviceAddBuffer", add) != 0 ||
            LoadTapiEntry("waveDeviceStart", start) != 0 ||
            LoadTapiEntry("waveDeviceReset", reset) != 0 ||
            LoadTapiEntry("waveDeviceClose", close) != 0) {
            return false;
        }
        driver.open = reinterpret_cast<platform::PFN_waveDeviceOpen>(open);
        driver.addBuffer = reinterpret_cast<platform::PFN_waveDeviceAddBuffer>(add);
        driver.start = reinterpret_cast<platform::PFN_waveDeviceStart>(start);
        driver.reset = reinterpret_cast<platform::PFN_waveDeviceReset>(reset);
        driver.close = reinterpret_cast<platform::PFN_waveDeviceClose>(close);
        // Without it every recording is kept as it was recorded.
        void* callerEnd = nullptr;
        if (LoadTapiEntry("waveDeviceGetCallerEnd", callerEnd) == 0) {
            driver.callerEnd = reinterpret_cast<platform::PFN_waveDeviceGetCallerEnd>(callerEnd);
        }
        platform::SetWaveDriver(driver);
        return true;
    }();
    return bound;
}

int LibraryLoadAttempts() { return g_loadAttempts; }
int ExportLookups() { return g_exportLookups; }

// The three steps every stub takes: resolve once, refuse for good when unavailable, call.
template <typename Function, typename... Args>
LONG CallEntry(const char* exportName, void*& entry, Args&&... args) {
    if (entry == nullptr) {
        LONG result = LoadTapiEntry(exportName, entry);
        if (result != 0) {
            entry = kUnavailable;
            return result;
        }
    }
    if (entry == kUnavailable) return LINEERR_OPERATIONUNAVAIL;
    return reinterpret_cast<Function>(entry)(std::forward<Args>(args)...);
}

}  // namespace tapi_binding

#define TAPI_STUB(name, exportName, ...) \
    static void* entry = nullptr;        \
    return tapi_binding::CallEntry<PFN_##name>(exportName, entry, __VA_ARGS__)

LONG lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    TAPI_STUB(lineAnswer, "lineAnswer", hCall, lpsUserUserInfo, dwSize);
}

LONG lineClose(HLINE hLine) { TAPI_STUB(lineClose, "lineClose", hLine); }

LONG lineDeallocateCall(HCALL hCall) { TAPI_STUB(lineDeallocateCall, "lineDeallocateCall", hCall); }

LONG lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    TAPI_STUB(lineDrop, "lineDrop", hCall, lpsUserUserInfo, dwSize);
}

LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* lpCallInfo) {
    TAPI_STUB(lineGetCallInfo, "lineGetCallInfoA", hCall, lpCallInfo);
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps) {
    TAPI_STUB(lineGetDevCaps, "lineGetDevCapsA", hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion,
              lpLineDevCaps);
}

LONG lineGetLineDevStatus(HLINE hLine, LINEDEVSTATUS* lpLineDevStatus) {
    TAPI_STUB(lineGetLineDevStatus, "lineGetLineDevStatusA", hLine, lpLineDevStatus);
}

LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
               LPCSTR lpszDeviceClass) {
    TAPI_STUB(lineGetID, "lineGetIDA", hLine, dwAddressID, hCall, dwSelect, lpDeviceID,
              lpszDeviceClass);
}

LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                    LPCSTR lpszAppName, DWORD* lpdwNumDevs) {
    TAPI_STUB(lineInitialize, "lineInitialize", lphLineApp, hInstance, lpfnCallback, lpszAppName,
              lpdwNumDevs);
}

LONG lineMakeCall(HLINE hLine, HCALL* lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams) {
    TAPI_STUB(lineMakeCall, "lineMakeCallA", hLine, lphCall, lpszDestAddress, dwCountryCode,
              lpCallParams);
}

LONG lineMonitorMedia(HCALL hCall, DWORD dwMediaModes) {
    TAPI_STUB(lineMonitorMedia, "lineMonitorMedia", hCall, dwMediaModes);
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, DWORD* lpdwAPIVersion,
                             LINEEXTENSIONID* lpExtensionID) {
    TAPI_STUB(lineNegotiateAPIVersion, "lineNegotiateAPIVersion", hLineApp, dwDeviceID,
              dwAPILowVersion, dwAPIHighVersion, lpdwAPIVersion, lpExtensionID);
}

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion,
              DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
              DWORD dwMediaModes, const LINECALLPARAMS* lpCallParams) {
    TAPI_STUB(lineOpen, "lineOpenA", hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion,
              dwCallbackInstance, dwPrivileges, dwMediaModes, lpCallParams);
}

LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate,
                       const LINEDIALPARAMS* lpDialParams) {
    TAPI_STUB(lineSetCallParams, "lineSetCallParams", hCall, dwBearerMode, dwMinRate, dwMaxRate,
              lpDialParams);
}

LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
    TAPI_STUB(lineSetStatusMessages, "lineSetStatusMessages", hLine, dwLineStates, dwAddressStates);
}

LONG lineShutdown(HLINEAPP hLineApp) { TAPI_STUB(lineShutdown, "lineShutdown", hLineApp); }

// A line library for tests: one device that qualifies as a voice modem, every request accepted.
// Built twice, once without the lineDrop export, to test the stubs' handling of a missing export.

#include <cstring>

#include "tapi/tapi.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
LONG g_nextRequest = 1;
int g_initializeCalls = 0;
}  // namespace

FAKE_EXPORT int fakeInitializeCalls() { return g_initializeCalls; }

FAKE_EXPORT LONG lineInitialize(HLINEAPP* app, HINSTANCE, LINECALLBACK, LPCSTR, DWORD* devices) {
    ++g_initializeCalls;
    *app = 7;
    *devices = 1;
    return 0;
}

FAKE_EXPORT LONG lineNegotiateAPIVersion(HLINEAPP, DWORD, DWORD, DWORD high, DWORD* version,
                                         LINEEXTENSIONID* extension) {
    *version = high;
    std::memset(extension, 0, sizeof *extension);
    return 0;
}

FAKE_EXPORT LONG lineGetDevCapsA(HLINEAPP, DWORD, DWORD, DWORD, LINEDEVCAPS* caps) {
    caps->dwNeededSize = sizeof(LINEDEVCAPS);
    caps->dwUsedSize = sizeof(LINEDEVCAPS);
    caps->dwBearerModes = LINEBEARERMODE_VOICE;
    caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
    caps->dwMediaModes =
        LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM;
    caps->dwLineStates = LINEDEVSTATE_RINGING;
    return 0;
}

FAKE_EXPORT LONG lineOpenA(HLINEAPP, DWORD, HLINE* line, DWORD, DWORD, DWORD_PTR, DWORD, DWORD,
                           const LINECALLPARAMS*) {
    *line = 9;
    return 0;
}

FAKE_EXPORT LONG lineSetStatusMessages(HLINE, DWORD, DWORD) { return 0; }
FAKE_EXPORT LONG lineAnswer(HCALL, LPCSTR, DWORD) { return g_nextRequest++; }
#ifndef FAKE_TAPI_WITHOUT_DROP
FAKE_EXPORT LONG lineDrop(HCALL, LPCSTR, DWORD) { return g_nextRequest++; }
#endif
FAKE_EXPORT LONG lineDeallocateCall(HCALL) { return 0; }
FAKE_EXPORT LONG lineClose(HLINE) { return 0; }
FAKE_EXPORT LONG lineShutdown(HLINEAPP) { return 0; }
FAKE_EXPORT LONG lineMonitorMedia(HCALL, DWORD) { return 0; }
FAKE_EXPORT LONG lineGetIDA(HLINE, DWORD, HCALL, DWORD, VARSTRING*, LPCSTR) {
    return LINEERR_INVALDEVICECLASS;
}
FAKE_EXPORT LONG lineMakeCallA(HLINE, HCALL*, LPCSTR, DWORD, const LINECALLPARAMS*) {
    return g_nextRequest++;
}
FAKE_EXPORT LONG lineSetCallParams(HCALL, DWORD, DWORD, DWORD, const LINEDIALPARAMS*) {
    return g_nextRequest++;
}

#pragma once
// Control block of the scripted line library used by the line and call flow tests. The test and the
// stubs reach the same library instance, so the test sets the script and reads the trace here.

#include <string>
#include <vector>

#include "tapi/tapi.h"

// From line/tapi_stubs.h, which the scripted library itself must not see: it defines the exports.
namespace tapi_binding {
LONG LoadTapiEntry(const char* exportName, void*& entry);
}

struct ScriptedDevice {
    LONG negotiateResult = 0;
    LONG capsResult = 0;
    DWORD neededSize = sizeof(LINEDEVCAPS);  // larger than the buffer: asks for a bigger one
    DWORD bearerModes = LINEBEARERMODE_VOICE;
    DWORD addressModes = LINEADDRESSMODE_ADDRESSID;
    DWORD mediaModes =
        LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM;
    DWORD lineStates = LINEDEVSTATE_RINGING | LINEDEVSTATE_OTHER;
};

struct ScriptedTapi {
    std::vector<ScriptedDevice> devices = std::vector<ScriptedDevice>(1);
    int reinitAnswers = 0;  // lineInitialize answers LINEERR_REINIT this many times first
    LONG dropResult = 1;
    LONG closeResult = 0;
    LONG shutdownResult = 0;
    LINECALLBACK callback = nullptr;
    std::vector<std::string> trace;      // one entry per call: "name arg arg ..."
    std::vector<DWORD> capsBufferSizes;  // dwTotalSize of every lineGetDevCaps call
};

// The scripted library that VANTORO_TAPI names, found by the stubs' own loader (so the same
// instance), its script reset.
inline ScriptedTapi* LoadScriptedTapi() {
    void* access = nullptr;
    if (tapi_binding::LoadTapiEntry("scriptedTapi", access) != 0) return nullptr;
    ScriptedTapi* script = reinterpret_cast<ScriptedTapi* (*)()>(access)();
    *script = ScriptedTapi();
    return script;
}

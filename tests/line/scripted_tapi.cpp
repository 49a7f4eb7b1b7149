#include "tests/line/scripted_tapi.h"

#include <cstring>

#define SCRIPTED_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

ScriptedTapi g_script;
LONG g_nextRequest = 100;

void Trace(const std::string& entry) { g_script.trace.push_back(entry); }

}  // namespace

SCRIPTED_EXPORT ScriptedTapi* scriptedTapi() { return &g_script; }

SCRIPTED_EXPORT LONG lineInitialize(HLINEAPP* app, HINSTANCE, LINECALLBACK callback, LPCSTR,
                                    DWORD* devices) {
    Trace("lineInitialize");
    if (g_script.reinitAnswers > 0) {
        --g_script.reinitAnswers;
        return LINEERR_REINIT;
    }
    g_script.callback = callback;
    *app = 5;
    *devices = static_cast<DWORD>(g_script.devices.size());
    return 0;
}

SCRIPTED_EXPORT LONG lineNegotiateAPIVersion(HLINEAPP, DWORD device, DWORD low, DWORD high,
                                             DWORD* version, LINEEXTENSIONID*) {
    Trace("lineNegotiateAPIVersion " + std::to_string(device) + " " + std::to_string(low) + " " +
          std::to_string(high));
    *version = 0x00020000;
    return g_script.devices.at(device).negotiateResult;
}

SCRIPTED_EXPORT LONG lineGetDevCapsA(HLINEAPP, DWORD device, DWORD, DWORD, LINEDEVCAPS* caps) {
    const ScriptedDevice& scripted = g_script.devices.at(device);
    Trace("lineGetDevCaps " + std::to_string(device));
    g_script.capsBufferSizes.push_back(caps->dwTotalSize);
    caps->dwNeededSize = scripted.neededSize;
    if (caps->dwTotalSize < scripted.neededSize) return LINEERR_STRUCTURETOOSMALL;
    if (scripted.capsResult != 0) return scripted.capsResult;
    caps->dwBearerModes = scripted.bearerModes;
    caps->dwAddressModes = scripted.addressModes;
    caps->dwMediaModes = scripted.mediaModes;
    caps->dwLineStates = scripted.lineStates;
    return 0;
}

SCRIPTED_EXPORT LONG lineOpenA(HLINEAPP, DWORD device, HLINE* line, DWORD, DWORD, DWORD_PTR,
                               DWORD privileges, DWORD media, const LINECALLPARAMS*) {
    Trace("lineOpen " + std::to_string(device) + " " + std::to_string(privileges) + " " +
          std::to_string(media));
    *line = 11;
    return 0;
}

SCRIPTED_EXPORT LONG lineSetStatusMessages(HLINE line, DWORD states, DWORD) {
    Trace("lineSetStatusMessages " + std::to_string(line) + " " + std::to_string(states));
    return line == 0 ? LINEERR_INVALLINEHANDLE : 0;
}

SCRIPTED_EXPORT LONG lineAnswer(HCALL call, LPCSTR, DWORD) {
    Trace("lineAnswer " + std::to_string(call));
    return g_nextRequest++;
}

#ifndef SCRIPTED_TAPI_WITHOUT_DROP  // the stubs must cope with a missing export
SCRIPTED_EXPORT LONG lineDrop(HCALL call, LPCSTR, DWORD) {
    Trace("lineDrop " + std::to_string(call));
    return g_script.dropResult;
}
#endif

SCRIPTED_EXPORT LONG lineDeallocateCall(HCALL call) {
    Trace("lineDeallocateCall " + std::to_string(call));
    return 0;
}

SCRIPTED_EXPORT LONG lineClose(HLINE line) {
    Trace("lineClose " + std::to_string(line));
    return g_script.closeResult;
}

SCRIPTED_EXPORT LONG lineShutdown(HLINEAPP app) {
    Trace("lineShutdown " + std::to_string(app));
    return g_script.shutdownResult;
}

SCRIPTED_EXPORT LONG lineMonitorMedia(HCALL call, DWORD media) {
    Trace("lineMonitorMedia " + std::to_string(call) + " " + std::to_string(media));
    return 0;
}

SCRIPTED_EXPORT LONG lineGetIDA(HLINE, DWORD, HCALL, DWORD, VARSTRING*, LPCSTR) {
    return LINEERR_INVALDEVICECLASS;
}
SCRIPTED_EXPORT LONG lineMakeCallA(HLINE, HCALL*, LPCSTR, DWORD, const LINECALLPARAMS*) {
    return g_nextRequest++;
}
SCRIPTED_EXPORT LONG lineSetCallParams(HCALL, DWORD, DWORD, DWORD, const LINEDIALPARAMS*) {
    return g_nextRequest++;
}

// The exported line functions (the fourteen the program binds, caller id, line status) and the
// call's wave devices: C linkage, the only symbols the library shows. No exception leaves through
// them.

#include <new>

#include "tapi/line_service.h"
#include "tapi/tapi.h"

#define TAPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <typename Body>
LONG Guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return LINEERR_NOMEM;
    } catch (...) {
        return LINEERR_OPERATIONFAILED;
    }
}

tapi::LineService& Service() { return tapi::LineService::Instance(); }

}  // namespace

TAPI_EXPORT LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, LPCSTR,
                                DWORD* lpdwNumDevs) {
    return Guarded([&] { return Service().Initialize(lphLineApp, lpfnCallback, lpdwNumDevs); });
}

TAPI_EXPORT LONG lineShutdown(HLINEAPP hLineApp) {
    return Guarded([&] { return Service().Shutdown(hLineApp); });
}

TAPI_EXPORT LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                                         DWORD dwAPIHighVersion, DWORD* lpdwAPIVersion,
                                         LINEEXTENSIONID* lpExtensionID) {
    return Guarded([&] {
        return Service().NegotiateApiVersion(hLineApp, dwDeviceID, dwAPILowVersion,
                                             dwAPIHighVersion, lpdwAPIVersion, lpExtensionID);
    });
}

TAPI_EXPORT LONG lineGetDevCapsA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD,
                                 LINEDEVCAPS* lpLineDevCaps) {
    return Guarded(
        [&] { return Service().GetDevCaps(hLineApp, dwDeviceID, dwAPIVersion, lpLineDevCaps); });
}

TAPI_EXPORT LONG lineOpenA(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion,
                           DWORD, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
                           DWORD dwMediaModes, const LINECALLPARAMS*) {
    return Guarded([&] {
        return Service().Open(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwCallbackInstance,
                              dwPrivileges, dwMediaModes);
    });
}

TAPI_EXPORT LONG lineClose(HLINE hLine) {
    return Guarded([&] { return Service().Close(hLine); });
}

TAPI_EXPORT LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
    return Guarded(
        [&] { return Service().SetStatusMessages(hLine, dwLineStates, dwAddressStates); });
}

TAPI_EXPORT LONG lineAnswer(HCALL hCall, LPCSTR, DWORD) {
    return Guarded([&] { return Service().Answer(hCall); });
}

TAPI_EXPORT LONG lineDrop(HCALL hCall, LPCSTR, DWORD) {
    return Guarded([&] { return Service().Drop(hCall); });
}

TAPI_EXPORT LONG lineDeallocateCall(HCALL hCall) {
    return Guarded([&] { return Service().Deallocate(hCall); });
}

TAPI_EXPORT LONG lineMonitorMedia(HCALL hCall, DWORD dwMediaModes) {
    return Guarded([&] { return Service().MonitorMedia(hCall, dwMediaModes); });
}

TAPI_EXPORT LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD, DWORD,
                                   const LINEDIALPARAMS*) {
    return Guarded([&] { return Service().SetCallParams(hCall, dwBearerMode); });
}

TAPI_EXPORT LONG lineMakeCallA(HLINE hLine, HCALL* lphCall, LPCSTR lpszDestAddress, DWORD,
                               const LINECALLPARAMS* lpCallParams) {
    return Guarded(
        [&] { return Service().MakeCall(hLine, lphCall, lpszDestAddress, lpCallParams); });
}

TAPI_EXPORT LONG lineGetCallInfoA(HCALL hCall, LINECALLINFO* lpCallInfo) {
    return Guarded([&] { return Service().GetCallInfo(hCall, lpCallInfo); });
}

TAPI_EXPORT LONG lineGetLineDevStatusA(HLINE hLine, LINEDEVSTATUS* lpLineDevStatus) {
    return Guarded([&] { return Service().GetLineDevStatus(hLine, lpLineDevStatus); });
}

TAPI_EXPORT LONG lineGetIDA(HLINE hLine, DWORD, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
                            LPCSTR lpszDeviceClass) {
    return Guarded(
        [&] { return Service().GetId(hLine, hCall, dwSelect, lpDeviceID, lpszDeviceClass); });
}

// The wave devices of the current call: a C ABI with plain types, nothing thrown through it.
namespace {

template <typename Body>
platform::MMRESULT WaveGuarded(Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return platform::MMSYSERR_ERROR;
    }
}

using WaveOperation = tapi::LineService::WaveOperation;

}  // namespace

TAPI_EXPORT platform::MMRESULT waveDeviceOpen(platform::HWAVE* device,
                                              platform::WaveDirection direction, uint32_t deviceId,
                                              const platform::WAVEFORMATEX* format,
                                              platform::WAVENOTIFY notify, void* context) {
    return WaveGuarded(
        [&] { return Service().WaveOpen(device, direction, deviceId, format, notify, context); });
}

TAPI_EXPORT platform::MMRESULT waveDeviceAddBuffer(platform::HWAVE device,
                                                   platform::WAVEHDR* header) {
    return WaveGuarded(
        [&] { return Service().WaveCall(WaveOperation::AddBuffer, device, header); });
}

TAPI_EXPORT platform::MMRESULT waveDeviceStart(platform::HWAVE device) {
    return WaveGuarded([&] { return Service().WaveCall(WaveOperation::Start, device); });
}

TAPI_EXPORT platform::MMRESULT waveDeviceReset(platform::HWAVE device) {
    return WaveGuarded([&] { return Service().WaveCall(WaveOperation::Reset, device); });
}

TAPI_EXPORT platform::MMRESULT waveDeviceClose(platform::HWAVE device) {
    return WaveGuarded([&] { return Service().WaveCall(WaveOperation::Close, device); });
}

TAPI_EXPORT platform::MMRESULT waveDeviceGetCallerEnd(platform::HWAVE device, uint32_t* samples) {
    return WaveGuarded([&] { return Service().WaveCallerEnd(device, samples); });
}

// The signatures the program's stubs resolve these names with.
namespace {
[[maybe_unused]] const PFN_lineAnswer kAnswer = &lineAnswer;
[[maybe_unused]] const PFN_lineClose kClose = &lineClose;
[[maybe_unused]] const PFN_lineDeallocateCall kDeallocate = &lineDeallocateCall;
[[maybe_unused]] const PFN_lineDrop kDrop = &lineDrop;
[[maybe_unused]] const PFN_lineGetCallInfo kGetCallInfo = &lineGetCallInfoA;
[[maybe_unused]] const PFN_lineGetDevCaps kGetDevCaps = &lineGetDevCapsA;
[[maybe_unused]] const PFN_lineGetID kGetId = &lineGetIDA;
[[maybe_unused]] const PFN_lineGetLineDevStatus kGetLineDevStatus = &lineGetLineDevStatusA;
[[maybe_unused]] const PFN_lineInitialize kInitialize = &lineInitialize;
[[maybe_unused]] const PFN_lineMakeCall kMakeCall = &lineMakeCallA;
[[maybe_unused]] const PFN_lineMonitorMedia kMonitorMedia = &lineMonitorMedia;
[[maybe_unused]] const PFN_lineNegotiateAPIVersion kNegotiate = &lineNegotiateAPIVersion;
[[maybe_unused]] const PFN_lineOpen kOpen = &lineOpenA;
[[maybe_unused]] const PFN_lineSetCallParams kSetCallParams = &lineSetCallParams;
[[maybe_unused]] const PFN_lineSetStatusMessages kSetStatusMessages = &lineSetStatusMessages;
[[maybe_unused]] const PFN_lineShutdown kShutdown = &lineShutdown;
[[maybe_unused]] const platform::PFN_waveDeviceOpen kWaveOpen = &waveDeviceOpen;
[[maybe_unused]] const platform::PFN_waveDeviceAddBuffer kWaveAdd = &waveDeviceAddBuffer;
[[maybe_unused]] const platform::PFN_waveDeviceStart kWaveStart = &waveDeviceStart;
[[maybe_unused]] const platform::PFN_waveDeviceReset kWaveReset = &waveDeviceReset;
[[maybe_unused]] const platform::PFN_waveDeviceClose kWaveClose = &waveDeviceClose;
[[maybe_unused]] const platform::PFN_waveDeviceGetCallerEnd kWaveCallerEnd =
    &waveDeviceGetCallerEnd;
}  // namespace

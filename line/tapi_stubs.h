#pragma once
// The fourteen late-bound line functions, lineGetCallInfo for the caller id and
// lineGetLineDevStatus for why a line brings no calls. The first call of any of them loads
// libtapi32.so; the first call of each resolves its export. A missing library or export makes the
// stub return LINEERR_OPERATIONUNAVAIL, and is never retried.

#include "tapi/tapi.h"

LONG lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
LONG lineClose(HLINE hLine);
LONG lineDeallocateCall(HCALL hCall);
LONG lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* lpCallInfo);
LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps);
LONG lineGetLineDevStatus(HLINE hLine, LINEDEVSTATUS* lpLineDevStatus);
LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
               LPCSTR lpszDeviceClass);
LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                    LPCSTR lpszAppName, DWORD* lpdwNumDevs);
LONG lineMakeCall(HLINE hLine, HCALL* lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams);
LONG lineMonitorMedia(HCALL hCall, DWORD dwMediaModes);
LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, DWORD* lpdwAPIVersion,
                             LINEEXTENSIONID* lpExtensionID);
LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion,
              DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
              DWORD dwMediaModes, const LINECALLPARAMS* lpCallParams);
LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate,
                       const LINEDIALPARAMS* lpDialParams);
LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates);
LONG lineShutdown(HLINEAPP hLineApp);

namespace tapi_binding {

// Resolves `exportName` into `entry`: 0, or LINEERR_OPERATIONUNAVAIL when the library cannot be
// loaded or lacks the export. The resolved address (null if absent) is stored either way.
LONG LoadTapiEntry(const char* exportName, void*& entry);

// Hands the line library's wave device exports to the platform's wave interface; false when
// the library or one of them is missing.
bool BindWaveDriver();

// How many load attempts and export look-ups have been made (diagnostics and tests).
int LibraryLoadAttempts();
int ExportLookups();

}  // namespace tapi_binding

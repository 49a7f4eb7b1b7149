#pragma once
// The line API shared by the program and libtapi32.so: types, structures and constants in the
// standard TAPI 2.x layouts. The program reaches the functions only through its late-bound stubs;
// the library exports them with C linkage under the names below.

#include <cstdint>

using DWORD = uint32_t;
using LONG = int32_t;
using DWORD_PTR = uintptr_t;
using LPCSTR = const char*;
using HLINEAPP = uint32_t;
using HLINE = uint32_t;
using HCALL = uint32_t;
using HINSTANCE = void*;

using LINECALLBACK = void (*)(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwCallbackInstance,
                              DWORD_PTR dwParam1, DWORD_PTR dwParam2, DWORD_PTR dwParam3);

struct TAPI_GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

struct LINEEXTENSIONID {
    DWORD dwExtensionID0;
    DWORD dwExtensionID1;
    DWORD dwExtensionID2;
    DWORD dwExtensionID3;
};

struct LINEDIALPARAMS {
    DWORD dwDialPause;
    DWORD dwDialSpeed;
    DWORD dwDigitDuration;
    DWORD dwWaitForDialtone;
};

struct LINEDEVCAPS {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwProviderInfoSize;
    DWORD dwProviderInfoOffset;
    DWORD dwSwitchInfoSize;
    DWORD dwSwitchInfoOffset;
    DWORD dwPermanentLineID;
    DWORD dwLineNameSize;
    DWORD dwLineNameOffset;
    DWORD dwStringFormat;
    DWORD dwAddressModes;
    DWORD dwNumAddresses;
    DWORD dwBearerModes;
    DWORD dwMaxRate;
    DWORD dwMediaModes;
    DWORD dwGenerateToneModes;
    DWORD dwGenerateToneMaxNumFreq;
    DWORD dwGenerateDigitModes;
    DWORD dwMonitorToneMaxNumFreq;
    DWORD dwMonitorToneMaxNumEntries;
    DWORD dwMonitorDigitModes;
    DWORD dwGatherDigitsMinTimeout;
    DWORD dwGatherDigitsMaxTimeout;
    DWORD dwMedCtlDigitMaxListSize;
    DWORD dwMedCtlMediaMaxListSize;
    DWORD dwMedCtlToneMaxListSize;
    DWORD dwMedCtlCallStateMaxListSize;
    DWORD dwDevCapFlags;
    DWORD dwMaxNumActiveCalls;
    DWORD dwAnswerMode;
    DWORD dwRingModes;
    DWORD dwLineStates;
    DWORD dwUUIAcceptSize;
    DWORD dwUUIAnswerSize;
    DWORD dwUUIMakeCallSize;
    DWORD dwUUIDropSize;
    DWORD dwUUISendUserUserInfoSize;
    DWORD dwUUICallInfoSize;
    LINEDIALPARAMS MinDialParams;
    LINEDIALPARAMS MaxDialParams;
    LINEDIALPARAMS DefaultDialParams;
    DWORD dwNumTerminals;
    DWORD dwTerminalCapsSize;
    DWORD dwTerminalCapsOffset;
    DWORD dwTerminalTextEntrySize;
    DWORD dwTerminalTextSize;
    DWORD dwTerminalTextOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwLineFeatures;
    DWORD dwSettableDevStatus;
    DWORD dwDeviceClassesSize;
    DWORD dwDeviceClassesOffset;
    TAPI_GUID PermanentLineGuid;
    DWORD dwAddressTypes;
    TAPI_GUID ProtocolGuid;
    DWORD dwAvailableTracking;
};

struct VARSTRING {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwStringFormat;
    DWORD dwStringSize;
    DWORD dwStringOffset;
};

struct LINECALLPARAMS {
    DWORD dwTotalSize;
    DWORD dwBearerMode;
    DWORD dwMinRate;
    DWORD dwMaxRate;
    DWORD dwMediaMode;
    DWORD dwCallParamFlags;
    DWORD dwAddressMode;
    DWORD dwAddressID;
    LINEDIALPARAMS DialParams;
    DWORD dwOrigAddressSize;
    DWORD dwOrigAddressOffset;
    DWORD dwDisplayableAddressSize;
    DWORD dwDisplayableAddressOffset;
    DWORD dwCalledPartySize;
    DWORD dwCalledPartyOffset;
    DWORD dwCommentSize;
    DWORD dwCommentOffset;
    DWORD dwUserUserInfoSize;
    DWORD dwUserUserInfoOffset;
    DWORD dwHighLevelCompSize;
    DWORD dwHighLevelCompOffset;
    DWORD dwLowLevelCompSize;
    DWORD dwLowLevelCompOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwPredictiveAutoTransferStates;
    DWORD dwTargetAddressSize;
    DWORD dwTargetAddressOffset;
    DWORD dwSendingFlowspecSize;
    DWORD dwSendingFlowspecOffset;
    DWORD dwReceivingFlowspecSize;
    DWORD dwReceivingFlowspecOffset;
    DWORD dwDeviceClassSize;
    DWORD dwDeviceClassOffset;
    DWORD dwDeviceConfigSize;
    DWORD dwDeviceConfigOffset;
    DWORD dwCallDataSize;
    DWORD dwCallDataOffset;
    DWORD dwNoAnswerTimeout;
    DWORD dwCallingPartyIDSize;
    DWORD dwCallingPartyIDOffset;
    DWORD dwAddressType;
};

struct LINECALLINFO {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    HLINE hLine;
    DWORD dwLineDeviceID;
    DWORD dwAddressID;
    DWORD dwBearerMode;
    DWORD dwRate;
    DWORD dwMediaMode;
    DWORD dwAppSpecific;
    DWORD dwCallID;
    DWORD dwRelatedCallID;
    DWORD dwCallParamFlags;
    DWORD dwCallStates;
    DWORD dwMonitorDigitModes;
    DWORD dwMonitorMediaModes;
    LINEDIALPARAMS DialParams;
    DWORD dwOrigin;
    DWORD dwReason;
    DWORD dwCompletionID;
    DWORD dwNumOwners;
    DWORD dwNumMonitors;
    DWORD dwCountryCode;
    DWORD dwTrunk;
    DWORD dwCallerIDFlags;
    DWORD dwCallerIDSize;
    DWORD dwCallerIDOffset;
    DWORD dwCallerIDNameSize;
    DWORD dwCallerIDNameOffset;
    DWORD dwCalledIDFlags;
    DWORD dwCalledIDSize;
    DWORD dwCalledIDOffset;
    DWORD dwCalledIDNameSize;
    DWORD dwCalledIDNameOffset;
    DWORD dwConnectedIDFlags;
    DWORD dwConnectedIDSize;
    DWORD dwConnectedIDOffset;
    DWORD dwConnectedIDNameSize;
    DWORD dwConnectedIDNameOffset;
    DWORD dwRedirectionIDFlags;
    DWORD dwRedirectionIDSize;
    DWORD dwRedirectionIDOffset;
    DWORD dwRedirectionIDNameSize;
    DWORD dwRedirectionIDNameOffset;
    DWORD dwRedirectingIDFlags;
    DWORD dwRedirectingIDSize;
    DWORD dwRedirectingIDOffset;
    DWORD dwRedirectingIDNameSize;
    DWORD dwRedirectingIDNameOffset;
    DWORD dwAppNameSize;
    DWORD dwAppNameOffset;
    DWORD dwDisplayableAddressSize;
    DWORD dwDisplayableAddressOffset;
    DWORD dwCalledPartySize;
    DWORD dwCalledPartyOffset;
    DWORD dwCommentSize;
    DWORD dwCommentOffset;
    DWORD dwDisplaySize;
    DWORD dwDisplayOffset;
    DWORD dwUserUserInfoSize;
    DWORD dwUserUserInfoOffset;
    DWORD dwHighLevelCompSize;
    DWORD dwHighLevelCompOffset;
    DWORD dwLowLevelCompSize;
    DWORD dwLowLevelCompOffset;
    DWORD dwChargingInfoSize;
    DWORD dwChargingInfoOffset;
    DWORD dwTerminalModesSize;
    DWORD dwTerminalModesOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwCallTreatment;
    DWORD dwCallDataSize;
    DWORD dwCallDataOffset;
    DWORD dwSendingFlowspecSize;
    DWORD dwSendingFlowspecOffset;
    DWORD dwReceivingFlowspecSize;
    DWORD dwReceivingFlowspecOffset;
    DWORD dwAddressType;
};

struct LINEDEVSTATUS {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwNumOpens;
    DWORD dwOpenMediaModes;
    DWORD dwNumActiveCalls;
    DWORD dwNumOnHoldCalls;
    DWORD dwNumOnHoldPendCalls;
    DWORD dwLineFeatures;
    DWORD dwNumCallCompletions;
    DWORD dwRingMode;
    DWORD dwSignalLevel;
    DWORD dwBatteryLevel;
    DWORD dwRoamMode;
    DWORD dwDevStatusFlags;
    DWORD dwTerminalModesSize;
    DWORD dwTerminalModesOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwAvailableMediaModes;
    DWORD dwAppInfoSize;
    DWORD dwAppInfoOffset;
};

// dwDevStatusFlags of LINEDEVSTATUS.
constexpr DWORD LINEDEVSTATUSFLAGS_CONNECTED = 0x00000001;
constexpr DWORD LINEDEVSTATUSFLAGS_MSGWAIT = 0x00000002;
constexpr DWORD LINEDEVSTATUSFLAGS_INSERVICE = 0x00000004;
constexpr DWORD LINEDEVSTATUSFLAGS_LOCKED = 0x00000008;

// dwCallerIDFlags of LINECALLINFO.
constexpr DWORD LINECALLPARTYID_BLOCKED = 0x00000001;
constexpr DWORD LINECALLPARTYID_OUTOFAREA = 0x00000002;
constexpr DWORD LINECALLPARTYID_NAME = 0x00000004;
constexpr DWORD LINECALLPARTYID_ADDRESS = 0x00000008;
constexpr DWORD LINECALLPARTYID_PARTIAL = 0x00000010;
constexpr DWORD LINECALLPARTYID_UNKNOWN = 0x00000020;
constexpr DWORD LINECALLPARTYID_UNAVAIL = 0x00000040;

// dwOrigin of LINECALLINFO.
constexpr DWORD LINECALLORIGIN_INBOUND = 0x00000008;

// Line messages delivered to LINECALLBACK.
constexpr DWORD LINE_ADDRESSSTATE = 0;
constexpr DWORD LINE_CALLINFO = 1;
constexpr DWORD LINE_CALLSTATE = 2;
constexpr DWORD LINE_CLOSE = 3;
constexpr DWORD LINE_DEVSPECIFIC = 4;
constexpr DWORD LINE_GATHERDIGITS = 5;
constexpr DWORD LINE_GENERATE = 6;
constexpr DWORD LINE_LINEDEVSTATE = 8;
constexpr DWORD LINE_MONITORDIGITS = 9;
constexpr DWORD LINE_MONITORMEDIA = 10;
constexpr DWORD LINE_MONITORTONE = 11;
constexpr DWORD LINE_REPLY = 12;

constexpr DWORD LINECALLSTATE_IDLE = 0x00000001;
constexpr DWORD LINECALLSTATE_OFFERING = 0x00000002;
constexpr DWORD LINECALLSTATE_ACCEPTED = 0x00000004;
constexpr DWORD LINECALLSTATE_DIALTONE = 0x00000008;
constexpr DWORD LINECALLSTATE_DIALING = 0x00000010;
constexpr DWORD LINECALLSTATE_RINGBACK = 0x00000020;
constexpr DWORD LINECALLSTATE_BUSY = 0x00000040;
constexpr DWORD LINECALLSTATE_SPECIALINFO = 0x00000080;
constexpr DWORD LINECALLSTATE_CONNECTED = 0x00000100;
constexpr DWORD LINECALLSTATE_PROCEEDING = 0x00000200;
constexpr DWORD LINECALLSTATE_ONHOLD = 0x00000400;
constexpr DWORD LINECALLSTATE_CONFERENCED = 0x00000800;
constexpr DWORD LINECALLSTATE_ONHOLDPENDCONF = 0x00001000;
constexpr DWORD LINECALLSTATE_ONHOLDPENDTRANSFER = 0x00002000;
constexpr DWORD LINECALLSTATE_DISCONNECTED = 0x00004000;
constexpr DWORD LINECALLSTATE_UNKNOWN = 0x00008000;

constexpr DWORD LINEDEVSTATE_OTHER = 0x00000001;
constexpr DWORD LINEDEVSTATE_RINGING = 0x00000002;
constexpr DWORD LINEDEVSTATE_CONNECTED = 0x00000004;
constexpr DWORD LINEDEVSTATE_DISCONNECTED = 0x00000008;
constexpr DWORD LINEDEVSTATE_INSERVICE = 0x00000040;
constexpr DWORD LINEDEVSTATE_OUTOFSERVICE = 0x00000080;
constexpr DWORD LINEDEVSTATE_OPEN = 0x00000200;
constexpr DWORD LINEDEVSTATE_CLOSE = 0x00000400;
constexpr DWORD LINEDEVSTATE_REINIT = 0x00040000;

// dwParam2 of LINE_CALLSTATE for the offering and disconnected states.
constexpr DWORD LINEOFFERINGMODE_ACTIVE = 0x00000001;
constexpr DWORD LINECONNECTEDMODE_ACTIVE = 0x00000001;
constexpr DWORD LINEDISCONNECTMODE_NORMAL = 0x00000001;
constexpr DWORD LINEDISCONNECTMODE_UNKNOWN = 0x00000002;
constexpr DWORD LINEDISCONNECTMODE_BUSY = 0x00000020;
constexpr DWORD LINEDISCONNECTMODE_UNAVAIL = 0x00000800;

// dwParam1 of LINE_CALLINFO.
constexpr DWORD LINECALLINFOSTATE_CALLERID = 0x00008000;

constexpr DWORD LINEDEVCAPFLAGS_CLOSEDROP = 0x00000020;
constexpr DWORD LINEANSWERMODE_NONE = 0x00000001;

constexpr DWORD LINEMEDIAMODE_UNKNOWN = 0x00000002;
constexpr DWORD LINEMEDIAMODE_INTERACTIVEVOICE = 0x00000004;
constexpr DWORD LINEMEDIAMODE_AUTOMATEDVOICE = 0x00000008;
constexpr DWORD LINEMEDIAMODE_DATAMODEM = 0x00000010;
constexpr DWORD LINEMEDIAMODE_G3FAX = 0x00000020;

constexpr DWORD LINEBEARERMODE_VOICE = 0x00000001;
constexpr DWORD LINEBEARERMODE_SPEECH = 0x00000002;
constexpr DWORD LINEBEARERMODE_DATA = 0x00000010;
constexpr DWORD LINEBEARERMODE_PASSTHROUGH = 0x00000040;

constexpr DWORD LINEADDRESSMODE_ADDRESSID = 0x00000001;
constexpr DWORD LINEADDRESSMODE_DIALABLEADDR = 0x00000002;

constexpr DWORD LINECALLPRIVILEGE_NONE = 0x00000001;
constexpr DWORD LINECALLPRIVILEGE_MONITOR = 0x00000002;
constexpr DWORD LINECALLPRIVILEGE_OWNER = 0x00000004;

constexpr DWORD LINECALLSELECT_LINE = 0x00000001;
constexpr DWORD LINECALLSELECT_ADDRESS = 0x00000002;
constexpr DWORD LINECALLSELECT_CALL = 0x00000004;

constexpr DWORD STRINGFORMAT_ASCII = 0x00000001;
constexpr DWORD STRINGFORMAT_BINARY = 0x00000004;

constexpr LONG kLineErr(uint32_t code) { return static_cast<LONG>(code); }
constexpr LONG LINEERR_ALLOCATED = kLineErr(0x80000001);
constexpr LONG LINEERR_BADDEVICEID = kLineErr(0x80000002);
constexpr LONG LINEERR_BEARERMODEUNAVAIL = kLineErr(0x80000003);
constexpr LONG LINEERR_CALLUNAVAIL = kLineErr(0x80000005);
constexpr LONG LINEERR_INCOMPATIBLEAPIVERSION = kLineErr(0x8000000C);
constexpr LONG LINEERR_INVALADDRESSSTATE = kLineErr(0x80000013);
constexpr LONG LINEERR_INVALAPPHANDLE = kLineErr(0x80000014);
constexpr LONG LINEERR_INVALCALLHANDLE = kLineErr(0x80000018);
constexpr LONG LINEERR_INVALCALLSTATE = kLineErr(0x8000001C);
constexpr LONG LINEERR_INVALBEARERMODE = kLineErr(0x80000016);
constexpr LONG LINEERR_INVALCALLPARAMS = kLineErr(0x80000019);
constexpr LONG LINEERR_INVALCALLSELECT = kLineErr(0x8000001B);
constexpr LONG LINEERR_INVALDEVICECLASS = kLineErr(0x80000023);
constexpr LONG LINEERR_INVALLINEHANDLE = kLineErr(0x8000002B);
constexpr LONG LINEERR_INVALLINESTATE = kLineErr(0x8000002C);
constexpr LONG LINEERR_INVALMEDIAMODE = kLineErr(0x8000002F);
constexpr LONG LINEERR_INVALPARAM = kLineErr(0x80000032);
constexpr LONG LINEERR_INVALPOINTER = kLineErr(0x80000035);
constexpr LONG LINEERR_INVALPRIVSELECT = kLineErr(0x80000036);
constexpr LONG LINEERR_NODEVICE = kLineErr(0x80000042);
constexpr LONG LINEERR_NODRIVER = kLineErr(0x80000043);
constexpr LONG LINEERR_NOMEM = kLineErr(0x80000044);
constexpr LONG LINEERR_OPERATIONFAILED = kLineErr(0x80000048);
constexpr LONG LINEERR_OPERATIONUNAVAIL = kLineErr(0x80000049);
constexpr LONG LINEERR_RESOURCEUNAVAIL = kLineErr(0x8000004B);
constexpr LONG LINEERR_STRUCTURETOOSMALL = kLineErr(0x8000004D);
constexpr LONG LINEERR_UNINITIALIZED = kLineErr(0x80000050);
constexpr LONG LINEERR_REINIT = kLineErr(0x80000052);

// Signatures of the exports (the fourteen of the program, lineGetCallInfo for caller id and
// lineGetLineDevStatus for why a line brings no calls), as the stubs resolve them by name.
using PFN_lineAnswer = LONG (*)(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
using PFN_lineClose = LONG (*)(HLINE hLine);
using PFN_lineDeallocateCall = LONG (*)(HCALL hCall);
using PFN_lineDrop = LONG (*)(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
using PFN_lineGetCallInfo = LONG (*)(HCALL hCall, LINECALLINFO* lpCallInfo);
using PFN_lineGetDevCaps = LONG (*)(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
                                    DWORD dwExtVersion, LINEDEVCAPS* lpLineDevCaps);
using PFN_lineGetLineDevStatus = LONG (*)(HLINE hLine, LINEDEVSTATUS* lpLineDevStatus);
using PFN_lineGetID = LONG (*)(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect,
                               VARSTRING* lpDeviceID, LPCSTR lpszDeviceClass);
using PFN_lineInitialize = LONG (*)(HLINEAPP* lphLineApp, HINSTANCE hInstance,
                                    LINECALLBACK lpfnCallback, LPCSTR lpszAppName,
                                    DWORD* lpdwNumDevs);
using PFN_lineMakeCall = LONG (*)(HLINE hLine, HCALL* lphCall, LPCSTR lpszDestAddress,
                                  DWORD dwCountryCode, const LINECALLPARAMS* lpCallParams);
using PFN_lineMonitorMedia = LONG (*)(HCALL hCall, DWORD dwMediaModes);
using PFN_lineNegotiateAPIVersion = LONG (*)(HLINEAPP hLineApp, DWORD dwDeviceID,
                                             DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                                             DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID);
using PFN_lineOpen = LONG (*)(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine,
                              DWORD dwAPIVersion, DWORD dwExtVersion, DWORD_PTR dwCallbackInstance,
                              DWORD dwPrivileges, DWORD dwMediaModes,
                              const LINECALLPARAMS* lpCallParams);
using PFN_lineSetCallParams = LONG (*)(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate,
                                       DWORD dwMaxRate, const LINEDIALPARAMS* lpDialParams);
using PFN_lineSetStatusMessages = LONG (*)(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates);
using PFN_lineShutdown = LONG (*)(HLINEAPP hLineApp);

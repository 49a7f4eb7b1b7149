#include "tapi/line_service.h"

#include <QMetaObject>
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/serial_port.h"
#include "tapi/soft_line.h"

namespace tapi {
namespace {

constexpr DWORD kSupportedMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE |
                                       LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM |
                                       LINEMEDIAMODE_G3FAX | LINEMEDIAMODE_UNKNOWN;
constexpr DWORD kReportedLineStates =
    LINEDEVSTATE_RINGING | LINEDEVSTATE_OUTOFSERVICE | LINEDEVSTATE_INSERVICE;
constexpr DWORD kPrivileges =
    LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;
constexpr DWORD kMaxDteRate = 115200;
constexpr const char kProviderInfo[] = "Vantoro V.253 line service";
// Device classes of lineGetID, each NUL-terminated, the list ended by an empty one.
constexpr const char kDeviceClasses[] = "tapi/line\0comm/datamodem\0wave/in\0wave/out\0";

bool ApiVersionSupported(DWORD version) {
    return version >= kLowestApiVersion && version <= kHighestApiVersion;
}

// Appends one variable-length field behind a TAPI structure and records its size and offset.
void PutField(void* block, DWORD& used, const void* data, DWORD size, DWORD& sizeField,
              DWORD& offsetField) {
    std::memcpy(static_cast<char*>(block) + used, data, size);
    sizeField = size;
    offsetField = used;
    used += size;
}

// A VARSTRING holding `payload`; too small a buffer gets only the needed size, as TAPI does.
bool FillVarString(VARSTRING* id, const std::string& payload) {
    DWORD needed = static_cast<DWORD>(sizeof(VARSTRING) + payload.size());
    id->dwNeededSize = needed;
    id->dwStringFormat = STRINGFORMAT_BINARY;
    if (id->dwTotalSize < needed) {
        id->dwUsedSize = sizeof(VARSTRING);
        id->dwStringSize = 0;
        id->dwStringOffset = 0;
        return false;
    }
    id->dwUsedSize = sizeof(VARSTRING);
    PutField(id, id->dwUsedSize, payload.data(), static_cast<DWORD>(payload.size()),
             id->dwStringSize, id->dwStringOffset);
    return true;
}

// Caller id marks of the field: "P" a number withheld by the caller, "O" out of area or not
// delivered by the exchange.
DWORD PartyFlags(const std::string& number, const std::string& name) {
    DWORD flags = 0;
    if (number == "P" || name == "P") flags |= LINECALLPARTYID_BLOCKED;
    if (number == "O" || name == "O") flags |= LINECALLPARTYID_OUTOFAREA;
    bool realNumber = !number.empty() && number != "P" && number != "O";
    bool realName = !name.empty() && name != "P" && name != "O";
    if (realNumber) flags |= LINECALLPARTYID_ADDRESS;
    if (realName) flags |= LINECALLPARTYID_NAME;
    return flags != 0 ? flags : LINECALLPARTYID_UNKNOWN;
}

std::string DwordBytes(DWORD value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

void LineService::ContextDeleter::operator()(QObject* context) const {
    // Deleted by its own thread's event loop: lineShutdown may run inside one of its events.
    context->deleteLater();
}

LineService& LineService::Instance() {
    static LineService service;
    return service;
}

LineService::~LineService() {
    if (m_target) m_target->live = false;
    m_lineDevice.reset();
    m_context.release();  // the event loop may be gone at exit; the process frees it
}

LONG LineService::Initialize(HLINEAPP* app, LINECALLBACK callback, DWORD* deviceCount) {
    platform::MutexLock lifecycle(m_lifecycleMutex);
    platform::MutexLock lock(m_mutex);
    if (!app || !callback || !deviceCount) return LINEERR_INVALPOINTER;
    if (m_app != 0) return LINEERR_RESOURCEUNAVAIL;  // one application at a time
    m_config = LoadLineConfig();
    if (m_config.modemPath.empty()) m_config.modemPath = SoftLineModem();
    m_deviceCount = 0;
    m_format = VoiceFormat{};
    std::string transcript;
    std::string problem;
    if (m_config.modemPath.empty()) {
        problem = "no modem chosen (VANTORO_MODEM, or modem= in " + LineConfigPath() + ")";
    } else if (!m_device.Open(m_config.modemPath)) {
        problem = m_config.modemPath + (platform::SerialLastErrorBusy()
                                            ? " is in use by another program"
                                            : ": " + std::string(platform::SerialLastErrorText()));
    } else if (InitialiseVoiceModem(m_device, m_config, m_format, m_country, transcript)) {
        m_deviceCount = 1;
        if (m_format.codec == VoiceCodec::None) {
            problem = m_config.modemPath + " offers no voice format usable at " +
                      std::to_string(kLineRateHz) +
                      " samples a second (VANTORO_LINE_TRACE=1 shows its set-up)";
        }
    } else {
        m_device.Close();
        problem = m_config.modemPath + " does not answer as a voice modem";
    }
    // Said once, not at every retry of an application that waits for the modem to come back.
    if (!problem.empty() && problem != m_lastProblem) {
        std::fprintf(stderr, "libtapi32: %s\n", problem.c_str());
    }
    m_lastProblem = problem;
    if (const char* trace = std::getenv("VANTORO_LINE_TRACE"); trace && *trace == '1') {
        std::fprintf(stderr, "libtapi32: modem '%s', %u device(s), sample format %d at %d Hz\n%s",
                     m_config.modemPath.c_str(), m_deviceCount, m_format.compression, m_format.rate,
                     transcript.c_str());
    }
    m_target = std::make_shared<Target>();
    m_target->callback = callback;
    m_context.reset(new QObject);
    m_app = m_nextApp++;
    *app = m_app;
    *deviceCount = m_deviceCount;
    return 0;
}

LONG LineService::Shutdown(HLINEAPP app) {
    platform::MutexLock lifecycle(m_lifecycleMutex);
    std::unique_ptr<LineDevice> device;
    {
        platform::MutexLock lock(m_mutex);
        if (app == 0 || app != m_app) return LINEERR_INVALAPPHANDLE;
        device = DetachLineLocked();
    }
    if (device) device->Stop();
    device.reset();
    platform::MutexLock lock(m_mutex);
    m_device.Close();
    m_target->live = false;
    m_target.reset();
    m_context.reset();
    m_app = 0;
    m_deviceCount = 0;
    return 0;
}

LONG LineService::NegotiateApiVersion(HLINEAPP app, DWORD deviceId, DWORD low, DWORD high,
                                      DWORD* version, LINEEXTENSIONID* extension) {
    platform::MutexLock lock(m_mutex);
    if (app == 0 || app != m_app) return LINEERR_INVALAPPHANDLE;
    if (deviceId >= m_deviceCount) return LINEERR_BADDEVICEID;
    if (!version || !extension) return LINEERR_INVALPOINTER;
    if (low > high || high < kLowestApiVersion || low > kHighestApiVersion) {
        return LINEERR_INCOMPATIBLEAPIVERSION;
    }
    *version = std::min(high, kHighestApiVersion);
    *extension = LINEEXTENSIONID{};
    return 0;
}

LONG LineService::GetDevCaps(HLINEAPP app, DWORD deviceId, DWORD version, LINEDEVCAPS* caps) {
    platform::MutexLock lock(m_mutex);
    if (app == 0 || app != m_app) return LINEERR_INVALAPPHANDLE;
    if (deviceId >= m_deviceCount) return LINEERR_BADDEVICEID;
    if (!ApiVersionSupported(version)) return LINEERR_INCOMPATIBLEAPIVERSION;
    if (!caps) return LINEERR_INVALPOINTER;

    std::string lineName = "Voice modem " + m_config.modemPath;
    DWORD needed = static_cast<DWORD>(sizeof(LINEDEVCAPS) + sizeof kProviderInfo + lineName.size() +
                                      1 + sizeof kDeviceClasses);
    if (caps->dwTotalSize < needed) {
        if (caps->dwTotalSize >= offsetof(LINEDEVCAPS, dwUsedSize)) caps->dwNeededSize = needed;
        return LINEERR_STRUCTURETOOSMALL;
    }
    DWORD total = caps->dwTotalSize;
    std::memset(caps, 0, sizeof(LINEDEVCAPS));
    caps->dwTotalSize = total;
    caps->dwNeededSize = needed;
    caps->dwUsedSize = sizeof(LINEDEVCAPS);
    PutField(caps, caps->dwUsedSize, kProviderInfo, sizeof kProviderInfo, caps->dwProviderInfoSize,
             caps->dwProviderInfoOffset);
    PutField(caps, caps->dwUsedSize, lineName.c_str(), static_cast<DWORD>(lineName.size() + 1),
             caps->dwLineNameSize, caps->dwLineNameOffset);
    PutField(caps, caps->dwUsedSize, kDeviceClasses, sizeof kDeviceClasses,
             caps->dwDeviceClassesSize, caps->dwDeviceClassesOffset);
    caps->dwPermanentLineID = deviceId + 1;
    caps->dwStringFormat = STRINGFORMAT_ASCII;
    caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
    caps->dwNumAddresses = 1;
    caps->dwBearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_PASSTHROUGH;
    caps->dwMaxRate = kMaxDteRate;
    caps->dwMediaModes = kSupportedMediaModes;
    caps->dwDevCapFlags = LINEDEVCAPFLAGS_CLOSEDROP;
    caps->dwMaxNumActiveCalls = 1;
    caps->dwAnswerMode = LINEANSWERMODE_NONE;
    caps->dwRingModes = 1;
    caps->dwLineStates = kReportedLineStates;
    return 0;
}

LONG LineService::Open(HLINEAPP app, DWORD deviceId, HLINE* line, DWORD version,
                       DWORD_PTR callbackInstance, DWORD privileges, DWORD mediaModes) {
    platform::MutexLock lifecycle(m_lifecycleMutex);
    platform::MutexLock lock(m_mutex);
    if (app == 0 || app != m_app) return LINEERR_INVALAPPHANDLE;
    if (deviceId >= m_deviceCount) return LINEERR_BADDEVICEID;
    if (!line) return LINEERR_INVALPOINTER;
    if (!ApiVersionSupported(version)) return LINEERR_INCOMPATIBLEAPIVERSION;
    if (privileges == 0 || (privileges & ~kPrivileges)) return LINEERR_INVALPRIVSELECT;
    if ((privileges & LINECALLPRIVILEGE_OWNER) &&
        (mediaModes == 0 || (mediaModes & ~kSupportedMediaModes))) {
        return LINEERR_INVALMEDIAMODE;
    }
    if (m_lineDevice) return LINEERR_ALLOCATED;
    HLINE handle = m_nextLine++;
    auto sink = [this, callbackInstance](const LineMessage& message) {
        Deliver(message, callbackInstance);
    };
    m_device.DiscardInput();
    auto device = std::make_unique<LineDevice>(m_device, handle, m_config.ringTimeoutMs,
                                               m_config.silenceS, sink);
    device->SetVoiceCodec(m_format.codec, m_format.rate);
    device->SetTonePlan(TonePlanForCountry(m_country));
    if (!device->Start()) return LINEERR_RESOURCEUNAVAIL;
    m_lineDevice = std::move(device);
    m_line = handle;
    *line = handle;
    return 0;
}

LONG LineService::Close(HLINE line) {
    platform::MutexLock lifecycle(m_lifecycleMutex);
    std::unique_ptr<LineDevice> device;
    {
        platform::MutexLock lock(m_mutex);
        if (line == 0 || line != m_line || !m_lineDevice) return LINEERR_INVALLINEHANDLE;
        device = DetachLineLocked();
    }
    device->Stop();
    return 0;
}

// The line's end can take the modem seconds (a hang-up): it runs after the lock is released,
// the other calls meanwhile finding no line, and lineOpen waiting for it on the lifecycle lock.
std::unique_ptr<LineDevice> LineService::DetachLineLocked() {
    m_line = 0;
    return std::move(m_lineDevice);
}

LONG LineService::SetStatusMessages(HLINE line, DWORD lineStates, DWORD addressStates) {
    platform::MutexLock lock(m_mutex);
    if (line == 0 || line != m_line || !m_lineDevice) return LINEERR_INVALLINEHANDLE;
    if (lineStates & ~kReportedLineStates) return LINEERR_INVALLINESTATE;
    if (addressStates != 0) return LINEERR_INVALADDRESSSTATE;  // no address states are reported
    m_lineDevice->SetStatusMessages(lineStates);
    return 0;
}

DWORD LineService::NextRequestIdLocked() {
    // Request ids are positive LONGs: 1 .. 0x7FFFFFFF, then around again.
    m_nextRequest = m_nextRequest >= 0x7FFFFFFF ? 1 : m_nextRequest + 1;
    return m_nextRequest;
}

LONG LineService::Answer(HCALL call) {
    platform::MutexLock lock(m_mutex);
    if (!m_lineDevice) return LINEERR_INVALCALLHANDLE;
    return m_lineDevice->Answer(call, NextRequestIdLocked());
}

LONG LineService::Drop(HCALL call) {
    platform::MutexLock lock(m_mutex);
    if (!m_lineDevice) return LINEERR_INVALCALLHANDLE;
    return m_lineDevice->Drop(call, NextRequestIdLocked());
}

LONG LineService::Deallocate(HCALL call) {
    platform::MutexLock lock(m_mutex);
    if (!m_lineDevice) return LINEERR_INVALCALLHANDLE;
    return m_lineDevice->Deallocate(call);
}

LONG LineService::MonitorMedia(HCALL call, DWORD mediaModes) {
    platform::MutexLock lock(m_mutex);
    if (!m_lineDevice) return LINEERR_INVALCALLHANDLE;
    return m_lineDevice->MonitorMedia(call, mediaModes);
}

LONG LineService::SetCallParams(HCALL call, DWORD bearerMode) {
    platform::MutexLock lock(m_mutex);
    if (!m_lineDevice) return LINEERR_INVALCALLHANDLE;
    return m_lineDevice->SetBearerMode(call, bearerMode, NextRequestIdLocked());
}

LONG LineService::MakeCall(HLINE line, HCALL* call, LPCSTR address, const LINECALLPARAMS* params) {
    platform::MutexLock lock(m_mutex);
    if (line == 0 || line != m_line || !m_lineDevice) return LINEERR_INVALLINEHANDLE;
    if (!call) return LINEERR_INVALPOINTER;
    // Only the passthrough call that hands the modem's port over; this service does not dial,
    // so an address may hold dialling marks ("T") but no digits.
    bool dials = address && std::strpbrk(address, "0123456789*#") != nullptr;
    if (dials || !params || params->dwTotalSize < offsetof(LINECALLPARAMS, dwMinRate) ||
        params->dwBearerMode != LINEBEARERMODE_PASSTHROUGH) {
        return LINEERR_OPERATIONUNAVAIL;
    }
    HCALL handle = 0;
    LONG result = m_lineDevice->MakePassthroughCall(handle, NextRequestIdLocked());
    if (result > 0) *call = handle;
    return result;
}

LONG LineService::GetId(HLINE line, HCALL call, DWORD select, VARSTRING* id, LPCSTR deviceClass) {
    platform::MutexLock lock(m_mutex);
    if (!id || !deviceClass) return LINEERR_INVALPOINTER;
    if (id->dwTotalSize < sizeof(VARSTRING)) return LINEERR_STRUCTURETOOSMALL;
    std::string wanted = deviceClass;
    if (select == LINECALLSELECT_LINE) {
        if (line == 0 || line != m_line || !m_lineDevice) return LINEERR_INVALLINEHANDLE;
    } else if (select == LINECALLSELECT_CALL) {
        if (!m_lineDevice || !m_lineDevice->HasCall(call)) return LINEERR_INVALCALLHANDLE;
        if (wanted == "comm/datamodem") return FillCommIdLocked(call, id);
        // The call's wave devices are known by the call's handle.
        if (wanted == "wave/in" || wanted == "wave/out") {
            FillVarString(id, DwordBytes(call));
            return 0;
        }
    } else {
        return LINEERR_INVALCALLSELECT;
    }
    if (wanted == "tapi/line") {
        FillVarString(id, DwordBytes(0));
        return 0;
    }
    return LINEERR_INVALDEVICECLASS;
}

LONG LineService::GetCallInfo(HCALL call, LINECALLINFO* info) {
    platform::MutexLock lock(m_mutex);
    if (!m_lineDevice) return LINEERR_INVALCALLHANDLE;
    if (!info) return LINEERR_INVALPOINTER;
    CallerId callerId;
    LONG result = m_lineDevice->GetCallerId(call, callerId);
    if (result != 0) return result;
    DWORD flags = PartyFlags(callerId.number, callerId.name);
    std::string number = flags & LINECALLPARTYID_ADDRESS ? callerId.number + '\0' : "";
    std::string name = flags & LINECALLPARTYID_NAME ? callerId.name + '\0' : "";
    DWORD needed = static_cast<DWORD>(sizeof(LINECALLINFO) + number.size() + name.size());
    if (info->dwTotalSize < sizeof(LINECALLINFO)) return LINEERR_STRUCTURETOOSMALL;
    DWORD total = info->dwTotalSize;
    std::memset(info, 0, sizeof(LINECALLINFO));
    info->dwTotalSize = total;
    info->dwNeededSize = needed;
    info->dwUsedSize = sizeof(LINECALLINFO);
    info->hLine = m_line;
    info->dwBearerMode = LINEBEARERMODE_VOICE;
    info->dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    info->dwOrigin = LINECALLORIGIN_INBOUND;
    info->dwCallerIDFlags = flags;
    if (total < needed) return 0;  // the flags alone; the caller asks again with dwNeededSize
    if (!number.empty()) {
        PutField(info, info->dwUsedSize, number.data(), static_cast<DWORD>(number.size()),
                 info->dwCallerIDSize, info->dwCallerIDOffset);
    }
    if (!name.empty()) {
        PutField(info, info->dwUsedSize, name.data(), static_cast<DWORD>(name.size()),
                 info->dwCallerIDNameSize, info->dwCallerIDNameOffset);
    }
    return 0;
}

LONG LineService::GetLineDevStatus(HLINE line, LINEDEVSTATUS* status) {
    platform::MutexLock lock(m_mutex);
    if (line == 0 || line != m_line || !m_lineDevice) return LINEERR_INVALLINEHANDLE;
    if (!status) return LINEERR_INVALPOINTER;
    if (status->dwTotalSize < sizeof(LINEDEVSTATUS)) return LINEERR_STRUCTURETOOSMALL;
    const DWORD flags = m_lineDevice->StatusFlags();
    const bool outOfService =
        (flags & LINEDEVSTATUSFLAGS_CONNECTED) && !(flags & LINEDEVSTATUSFLAGS_INSERVICE);
    const std::string reason =
        outOfService ? "the SIP line cannot start: " + SoftLineProblem() + '\0' : std::string();
    const DWORD total = status->dwTotalSize;
    std::memset(status, 0, sizeof(LINEDEVSTATUS));
    status->dwTotalSize = total;
    status->dwNeededSize = static_cast<DWORD>(sizeof(LINEDEVSTATUS) + reason.size());
    status->dwUsedSize = sizeof(LINEDEVSTATUS);
    status->dwNumOpens = 1;
    status->dwOpenMediaModes = kSupportedMediaModes;
    status->dwDevStatusFlags = flags;
    status->dwAvailableMediaModes = kSupportedMediaModes;
    if (reason.size() > 1 && total >= status->dwNeededSize) {
        PutField(status, status->dwUsedSize, reason.data(), static_cast<DWORD>(reason.size()),
                 status->dwDevSpecificSize, status->dwDevSpecificOffset);
    }
    return 0;
}

platform::MMRESULT LineService::WaveOpen(platform::HWAVE* device, platform::WaveDirection direction,
                                         uint32_t deviceId, const platform::WAVEFORMATEX* format,
                                         platform::WAVENOTIFY notify, void* context) {
    platform::MutexLock lock(m_mutex);
    if (!m_lineDevice) return platform::MMSYSERR_BADDEVICEID;
    return m_lineDevice->WaveOpen(device, direction, deviceId, format, notify, context);
}

platform::MMRESULT LineService::WaveCall(WaveOperation operation, platform::HWAVE device,
                                         platform::WAVEHDR* header) {
    platform::MutexLock lock(m_mutex);
    if (!m_lineDevice) return platform::MMSYSERR_INVALHANDLE;
    switch (operation) {
        case WaveOperation::AddBuffer:
            return m_lineDevice->WaveAddBuffer(device, header);
        case WaveOperation::Start:
            return m_lineDevice->WaveStart(device);
        case WaveOperation::Reset:
            return m_lineDevice->WaveReset(device);
        case WaveOperation::Close:
            return m_lineDevice->WaveClose(device);
    }
    return platform::MMSYSERR_INVALPARAM;
}

platform::MMRESULT LineService::WaveCallerEnd(platform::HWAVE device, uint32_t* samples) {
    platform::MutexLock lock(m_mutex);
    if (!m_lineDevice) return platform::MMSYSERR_INVALHANDLE;
    return m_lineDevice->WaveCallerEnd(device, samples);
}

LONG LineService::FillCommIdLocked(HCALL call, VARSTRING* id) {
    // The serial handle, then the device name with its NUL.
    std::string payload = DwordBytes(0) + m_device.Path() + '\0';
    if (id->dwTotalSize < sizeof(VARSTRING) + payload.size()) {
        FillVarString(id, payload);
        return 0;
    }
    int descriptor = -1;
    LONG result = m_lineDevice->DuplicateCommHandle(call, descriptor);
    if (result != 0) return result;
    payload.replace(0, sizeof(DWORD), DwordBytes(static_cast<DWORD>(descriptor)));
    FillVarString(id, payload);
    return 0;
}

// Without the lock: the modem thread delivers while the application's thread may hold it.
// m_target and m_context change only while no line device runs (lineInitialize before any
// lineOpen, lineShutdown after the device stopped), so the reads here never race a write.
void LineService::Deliver(const LineMessage& message, DWORD_PTR instance) {
    std::shared_ptr<Target> target = m_target;
    QObject* context = m_context.get();
    if (!target || !context || !target->live) return;
    QMetaObject::invokeMethod(
        context,
        [target, message, instance] {
            if (!target->live) return;
            target->callback(message.device, message.message, instance, message.param1,
                             message.param2, message.param3);
        },
        Qt::QueuedConnection);
}

}  // namespace tapi

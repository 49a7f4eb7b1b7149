#include "line/tapi_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "line/tapi_stubs.h"
#include "platform/clock.h"
#include "platform/message_box.h"

namespace {

constexpr uint32_t kReinitPauseMs = 5;
constexpr DWORD kWaveIdSize = 34;  // a VARSTRING with room for the 32-bit device id
constexpr char kAppName[] = "vantoro";
// Room behind LINECALLINFO for a caller's number and name.
constexpr size_t kCallerIdRoom = 256;
constexpr char kCallerWithheld[] = "号码保密";
constexpr char kCallerUnavailable[] = "号码无法获取";
// Room behind LINEDEVSTATUS for why the line is out of service.
constexpr size_t kReasonRoom = 1024;

// A text from the line as far as it is printable: it goes to the window, the log, a
// notification and the environment of the user's command, where a control byte could forge a
// line and other bytes need not be what they seem.
std::string PrintableText(const char* text, size_t size) {
    std::string printable;
    for (size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7f) break;
        if (byte < 0x7f) printable += static_cast<char>(byte);
    }
    return printable;
}

}  // namespace

CTapiLine::CTapiLine() = default;

CTapiLine::~CTapiLine() { ReleaseCaps(); }

void CTapiLine::Log(const std::string& text) { m_faxReceiver.Log(text); }

std::string CTapiLine::CallerId() {
    if (m_hCall == 0) return {};
    std::vector<uint8_t> buffer(sizeof(LINECALLINFO) + kCallerIdRoom);
    auto* info = reinterpret_cast<LINECALLINFO*>(buffer.data());
    info->dwTotalSize = static_cast<DWORD>(buffer.size());
    if (lineGetCallInfo(m_hCall, info) != 0) return {};
    const DWORD flags = info->dwCallerIDFlags;
    if (flags & LINECALLPARTYID_BLOCKED) return kCallerWithheld;
    if (flags & LINECALLPARTYID_OUTOFAREA) return kCallerUnavailable;
    const DWORD size = info->dwCallerIDSize;
    const DWORD offset = info->dwCallerIDOffset;
    if (!(flags & LINECALLPARTYID_ADDRESS) || size == 0 || offset < sizeof(LINECALLINFO) ||
        offset + size > info->dwUsedSize || info->dwUsedSize > buffer.size()) {
        return {};
    }
    return PrintableText(reinterpret_cast<const char*>(buffer.data() + offset), size);
}

bool CTapiLine::IsNumber(const std::string& callerId) {
    return !callerId.empty() && callerId != kCallerWithheld && callerId != kCallerUnavailable;
}

bool CTapiLine::QueryStatus(DWORD* flags, std::string* reason) {
    reason->clear();
    if (m_hLine == 0) return false;
    std::vector<uint8_t> buffer(sizeof(LINEDEVSTATUS) + kReasonRoom);
    auto* status = reinterpret_cast<LINEDEVSTATUS*>(buffer.data());
    status->dwTotalSize = static_cast<DWORD>(buffer.size());
    if (lineGetLineDevStatus(m_hLine, status) != 0) return false;
    *flags = status->dwDevStatusFlags;
    const DWORD size = status->dwDevSpecificSize;
    const DWORD offset = status->dwDevSpecificOffset;
    if (size > 0 && offset >= sizeof(LINEDEVSTATUS) && offset + size <= status->dwUsedSize &&
        status->dwUsedSize <= buffer.size()) {
        *reason = PrintableText(reinterpret_cast<const char*>(buffer.data() + offset), size);
    }
    return true;
}

bool CTapiLine::OutOfService(std::string* reason) {
    DWORD flags = 0;
    return QueryStatus(&flags, reason) && (flags & LINEDEVSTATUSFLAGS_CONNECTED) &&
           !(flags & LINEDEVSTATUSFLAGS_INSERVICE);
}

void CTapiLine::LogStep(const std::string& text) {
    if (m_stepLog == StepLog::On) Log(text);
}

bool CTapiLine::Initialize(platform::HWND eventWindow) {
    m_hLine = 0;
    m_hCall = 0;
    m_hLineApp = 0;
    m_dwDeviceId = 0;
    m_dwDeviceCount = 0;
    m_bCallOwned = false;
    m_bFaxMonitoring = false;
    m_hEventWindow = eventWindow;
    m_faxReceiver.m_hWnd = eventWindow;

    LogStep("正在初始化线路...");
    LONG result =
        lineInitialize(&m_hLineApp, nullptr, &CTapiLine::LineCallback, kAppName, &m_dwDeviceCount);
    while (result == LINEERR_REINIT) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kReinitPauseMs));
        platform::MsgAnswer answer =
            platform::ShowMessageBox(m_hEventWindow, "TAPI初始化失败！是否需要重新进行？", "错误",
                                     platform::MsgIcon::Error, platform::MsgButtons::RetryCancel);
        if (answer == platform::MsgAnswer::Cancel) return false;
        result = lineInitialize(&m_hLineApp, nullptr, &CTapiLine::LineCallback, kAppName,
                                &m_dwDeviceCount);
    }
    if (result != 0) m_dwDeviceCount = 0;

    for (DWORD device = 0; device < m_dwDeviceCount; ++device) {
        m_dwDeviceId = device;
        if (lineNegotiateAPIVersion(m_hLineApp, device, m_dwLowestApiVersion, m_dwHighestApiVersion,
                                    &m_dwApiVersion, &m_extensionId) != 0) {
            continue;
        }
        if (GetDeviceCaps() != 0) return false;
        if (DeviceQualifies()) return true;
    }
    return false;
}

bool CTapiLine::DeviceQualifies() const {
    const auto* caps = reinterpret_cast<const LINEDEVCAPS*>(m_caps.data());
    const DWORD neededMedia =
        LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_INTERACTIVEVOICE;
    return (caps->dwBearerModes & LINEBEARERMODE_VOICE) &&
           (caps->dwAddressModes & LINEADDRESSMODE_ADDRESSID) &&
           (caps->dwMediaModes & neededMedia) == neededMedia;
}

void CTapiLine::ReleaseCaps() {
    m_caps.clear();
    m_caps.shrink_to_fit();
    m_bCapsHeld = false;
}

LONG CTapiLine::GetDeviceCaps() {
    ReleaseCaps();
    size_t size = kFirstCapsSize;
    for (;;) {
        try {
            m_caps.assign(std::max(size, sizeof(LINEDEVCAPS)), 0);
        } catch (const std::bad_alloc&) {
            return LINEERR_NOMEM;
        }
        m_bCapsHeld = true;
        auto* caps = reinterpret_cast<LINEDEVCAPS*>(m_caps.data());
        caps->dwTotalSize = static_cast<DWORD>(size);
        LONG result = lineGetDevCaps(m_hLineApp, m_dwDeviceId, m_dwApiVersion, 0, caps);
        if (result == 0) return 0;
        if (caps->dwTotalSize >= caps->dwNeededSize) {
            ReleaseCaps();
            return result;
        }
        size = caps->dwNeededSize;
        ReleaseCaps();
    }
}

bool CTapiLine::Open() {
    LogStep("正在打开线路...");
    lineOpen(m_hLineApp, m_dwDeviceId, &m_hLine, m_dwApiVersion, 0,
             reinterpret_cast<DWORD_PTR>(this), LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER,
             LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM, nullptr);
    DWORD lineStates =
        m_bCapsHeld ? reinterpret_cast<const LINEDEVCAPS*>(m_caps.data())->dwLineStates : 0;
    if (lineSetStatusMessages(m_hLine, lineStates, 0) != 0) return false;
    LogStep("正在等待呼叫");
    return true;
}

bool CTapiLine::Answer() { return lineAnswer(m_hCall, nullptr, 0) > 0; }

bool CTapiLine::MonitorFax(bool on) {
    return lineMonitorMedia(m_hCall, on ? LINEMEDIAMODE_G3FAX : 0) == 0;
}

bool CTapiLine::DropCall() {
    if (m_hCall == 0) return false;
    LONG result = lineDrop(m_hCall, nullptr, 0);
    if (result <= 0) {
        char text[64];
        std::snprintf(text, sizeof text, "关闭呼叫失败，错误号：%d", static_cast<int>(result));
        Log(text);
    }
    lineDeallocateCall(m_hCall);
    m_hCall = 0;
    return true;
}

bool CTapiLine::Shutdown() {
    StopPlaying();
    StopRecording();
    DropCall();
    if (m_hLine != 0 && lineClose(m_hLine) != 0) return false;
    if (m_hLineApp != 0) {
        if (lineShutdown(m_hLineApp) != 0) return false;
        m_hLineApp = 0;
    }
    return true;
}

bool CTapiLine::GetWaveDeviceId(const char* deviceClass, uint32_t& deviceId) {
    if (m_hCall == 0 || !tapi_binding::BindWaveDriver()) return false;
    std::vector<uint8_t> block(kWaveIdSize, 0);
    auto* id = reinterpret_cast<VARSTRING*>(block.data());
    id->dwTotalSize = kWaveIdSize;
    if (lineGetID(0, 0, m_hCall, LINECALLSELECT_CALL, id, deviceClass) != 0) return false;
    if (id->dwStringOffset + sizeof deviceId > kWaveIdSize) return false;
    std::memcpy(&deviceId, block.data() + id->dwStringOffset, sizeof deviceId);
    return true;
}

bool CTapiLine::PlayFile(const std::string& path) {
    uint32_t device = 0;
    return GetWaveDeviceId("wave/out", device) && m_voiceChannel.PlayFile(path, device);
}

bool CTapiLine::PlayResource(uint32_t resourceId) {
    uint32_t device = 0;
    return GetWaveDeviceId("wave/out", device) && m_voiceChannel.PlayResource(resourceId, device);
}

bool CTapiLine::StartRecording(const std::string& path) {
    uint32_t device = 0;
    if (GetWaveDeviceId("wave/in", device) && m_voiceChannel.StartRecording(path, device)) {
        return true;
    }
    Log("无法开始录制留言: " + path);
    return false;
}

void CTapiLine::StopPlaying() { m_voiceChannel.StopPlaying(); }

void CTapiLine::StopRecording() { m_voiceChannel.StopRecording(); }

void CTapiLine::Wait(uint32_t ms) {
    const uint32_t start = platform::TickCountMs();
    while (!platform::TickDeadlinePassed(start, ms)) {
        platform::PumpOneMessage();
        uint32_t left = platform::TicksLeft(start, ms, platform::TickCountMs());
        if (left > 0) platform::WaitForActivity(-1, left);
    }
}

bool CTapiLine::WaitForReply(LONG requestId, uint32_t timeoutMs) {
    if (requestId <= 0) return false;
    const uint32_t start = platform::TickCountMs();
    while (m_lastReplyId != static_cast<DWORD>(requestId)) {
        uint32_t now = platform::TickCountMs();
        if (platform::TickDeadlinePassed(start, timeoutMs, now)) {
            Log("等待线路应答超时");
            return false;
        }
        platform::PumpOneMessage();
        if (m_lastReplyId != static_cast<DWORD>(requestId)) {
            platform::WaitForActivity(-1, platform::TicksLeft(start, timeoutMs, now));
        }
    }
    return m_lastReplyResult == 0;
}

void CTapiLine::SendLineEvent(uintptr_t wParam) {
    platform::SendMessage(m_hEventWindow, platform::WM_LINE_EVENT, wParam, 0);
}

void CTapiLine::LineCallback(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance,
                             DWORD_PTR dwParam1, DWORD_PTR dwParam2, DWORD_PTR dwParam3) {
    auto* line = reinterpret_cast<CTapiLine*>(dwInstance);
    if (line) line->HandleLineEvent(hDevice, dwMessage, dwParam1, dwParam2, dwParam3);
}

void CTapiLine::HandleLineEvent(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwParam1,
                                DWORD_PTR dwParam2, DWORD_PTR dwParam3) {
    switch (dwMessage) {
        case LINE_CALLSTATE:
            if (dwParam3 == LINECALLPRIVILEGE_OWNER) {
                m_bCallOwned = true;
                m_hCall = hDevice;
            }
            SendLineEvent(dwParam1);
            if (dwParam1 == LINECALLSTATE_OFFERING && m_bCallOwned && !m_bFaxMonitoring) {
                lineMonitorMedia(m_hCall, LINEMEDIAMODE_G3FAX);
                m_bFaxMonitoring = true;
            }
            break;
        case LINE_LINEDEVSTATE:
            if (dwParam1 == LINEDEVSTATE_RINGING) SendLineEvent(LINEDEVSTATE_RINGING);
            if (dwParam1 == LINEDEVSTATE_OUTOFSERVICE) {
                // A device that is still there has only lost what is behind it: no reopening.
                DWORD flags = 0;
                std::string reason;
                const bool stillThere =
                    QueryStatus(&flags, &reason) && (flags & LINEDEVSTATUSFLAGS_CONNECTED);
                platform::SendMessage(
                    m_hEventWindow, stillThere ? platform::WM_LINE_SERVICE : platform::WM_LINE_LOST,
                    0, 0);
            }
            if (dwParam1 == LINEDEVSTATE_INSERVICE) {
                platform::SendMessage(m_hEventWindow, platform::WM_LINE_SERVICE, 0, 0);
            }
            break;
        case LINE_CLOSE:  // the service closed the line itself: the device is gone
            platform::SendMessage(m_hEventWindow, platform::WM_LINE_LOST, 0, 0);
            break;
        case LINE_CALLINFO:
            if (dwParam1 & LINECALLINFOSTATE_CALLERID) SendLineEvent(LINECALLINFOSTATE_CALLERID);
            break;
        case LINE_MONITORMEDIA:
            if (dwParam1 == LINEMEDIAMODE_G3FAX) {
                lineMonitorMedia(m_hCall, 0);
                m_bFaxMonitoring = false;
                SendLineEvent(LINEMEDIAMODE_G3FAX);
            }
            break;
        case LINE_REPLY:
            m_lastReplyId = static_cast<DWORD>(dwParam1);
            m_lastReplyResult = static_cast<LONG>(dwParam2);
            break;
        default:
            break;
    }
}

#pragma once
// The line service behind the exported functions: one application, one line device (the
// configured modem), the handles, and delivery of line messages on the thread that called
// lineInitialize, only when that thread dispatches its events.

#include <QObject>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/thread_annotations.h"
#include "tapi/line_config.h"
#include "tapi/line_device.h"
#include "tapi/modem_dialog.h"
#include "tapi/serial_device.h"
#include "tapi/tapi.h"

namespace tapi {

constexpr DWORD kLowestApiVersion = 0x00010004;
constexpr DWORD kHighestApiVersion = 0x00030000;

class LineService {
public:
    static LineService& Instance();
    ~LineService();

    LONG Initialize(HLINEAPP* app, LINECALLBACK callback, DWORD* deviceCount);
    LONG Shutdown(HLINEAPP app);
    LONG NegotiateApiVersion(HLINEAPP app, DWORD deviceId, DWORD low, DWORD high, DWORD* version,
                             LINEEXTENSIONID* extension);
    LONG GetDevCaps(HLINEAPP app, DWORD deviceId, DWORD version, LINEDEVCAPS* caps);
    LONG Open(HLINEAPP app, DWORD deviceId, HLINE* line, DWORD version, DWORD_PTR callbackInstance,
              DWORD privileges, DWORD mediaModes);
    LONG Close(HLINE line);
    LONG SetStatusMessages(HLINE line, DWORD lineStates, DWORD addressStates);
    LONG Answer(HCALL call);
    LONG Drop(HCALL call);
    LONG Deallocate(HCALL call);
    LONG MonitorMedia(HCALL call, DWORD mediaModes);
    LONG SetCallParams(HCALL call, DWORD bearerMode);
    LONG MakeCall(HLINE line, HCALL* call, LPCSTR address, const LINECALLPARAMS* params);
    LONG GetId(HLINE line, HCALL call, DWORD select, VARSTRING* id, LPCSTR deviceClass);
    LONG GetCallInfo(HCALL call, LINECALLINFO* info);
    // The device's status flags; behind the structure, as its device-specific part, why the
    // line is out of service (a NUL-terminated text), when it is.
    LONG GetLineDevStatus(HLINE line, LINEDEVSTATUS* status);

    // The current call's wave devices.
    enum class WaveOperation { AddBuffer, Start, Reset, Close };
    platform::MMRESULT WaveOpen(platform::HWAVE* device, platform::WaveDirection direction,
                                uint32_t deviceId, const platform::WAVEFORMATEX* format,
                                platform::WAVENOTIFY notify, void* context);
    platform::MMRESULT WaveCall(WaveOperation operation, platform::HWAVE device,
                                platform::WAVEHDR* header = nullptr);
    platform::MMRESULT WaveCallerEnd(platform::HWAVE device, uint32_t* samples);

private:
    // The application's callback, switched off for good by lineShutdown so that messages
    // still queued for the old application are dropped.
    struct Target {
        LINECALLBACK callback;
        std::atomic<bool> live{true};
    };
    struct ContextDeleter {
        void operator()(QObject* context) const;
    };

    LineService() = default;
    void Deliver(const LineMessage& message, DWORD_PTR instance) NO_THREAD_SAFETY_ANALYSIS;
    DWORD NextRequestIdLocked() REQUIRES(m_mutex);
    std::unique_ptr<LineDevice> DetachLineLocked() REQUIRES(m_mutex);
    LONG FillCommIdLocked(HCALL call, VARSTRING* id) REQUIRES(m_mutex);

    // Held by lineInitialize, lineOpen, lineClose and lineShutdown, which open and close the
    // device, before m_mutex; a line's end waits for the modem under this one alone.
    platform::Mutex m_lifecycleMutex ACQUIRED_BEFORE(m_mutex);
    platform::Mutex m_mutex;
    HLINEAPP m_app GUARDED_BY(m_mutex) = 0;
    HLINEAPP m_nextApp GUARDED_BY(m_mutex) = 1;
    HLINE m_line GUARDED_BY(m_mutex) = 0;
    HLINE m_nextLine GUARDED_BY(m_mutex) = 1;
    DWORD m_deviceCount GUARDED_BY(m_mutex) = 0;
    DWORD m_nextRequest GUARDED_BY(m_mutex) = 0;
    LineConfig m_config GUARDED_BY(m_mutex);
    // Why the last lineInitialize found no device.
    std::string m_lastProblem GUARDED_BY(m_mutex);
    VoiceFormat m_format GUARDED_BY(m_mutex);
    // T.35 code of the line's exchange.
    int m_country GUARDED_BY(m_mutex) = kUnknownCountry;
    // Opened and closed under both locks; the line device's thread uses it in between.
    SerialDevice m_device;
    std::unique_ptr<LineDevice> m_lineDevice GUARDED_BY(m_mutex);
    std::shared_ptr<Target> m_target GUARDED_BY(m_mutex);
    std::unique_ptr<QObject, ContextDeleter> m_context GUARDED_BY(m_mutex);
};

}  // namespace tapi

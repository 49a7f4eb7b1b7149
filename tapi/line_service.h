#pragma once
// The line service behind the exported functions: one application, one line device (the
// configured modem), the handles, and delivery of line messages on the thread that called
// lineInitialize, only when that thread dispatches its events.

#include <QObject>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

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
    void Deliver(const LineMessage& message, DWORD_PTR instance);
    DWORD NextRequestId();
    LONG CloseLocked();
    LONG FillCommId(HCALL call, VARSTRING* id);

    std::mutex m_mutex;
    HLINEAPP m_app = 0;
    HLINEAPP m_nextApp = 1;
    HLINE m_line = 0;
    HLINE m_nextLine = 1;
    DWORD m_deviceCount = 0;
    DWORD m_nextRequest = 0;
    LineConfig m_config;
    std::string m_lastProblem;  // why the last lineInitialize found no device
    VoiceFormat m_format;
    int m_country = kUnknownCountry;  // T.35 code of the line's exchange
    SerialDevice m_device;
    std::unique_ptr<LineDevice> m_lineDevice;
    std::shared_ptr<Target> m_target;
    std::unique_ptr<QObject, ContextDeleter> m_context;
};

}  // namespace tapi

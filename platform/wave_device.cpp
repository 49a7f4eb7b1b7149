#include "platform/wave_device.h"

#include <mutex>

namespace platform {
namespace {

std::mutex g_driverMutex;
WaveDriver g_driver;

constexpr size_t kMaxErrorText = 100;

WaveDriver Driver() {
    std::lock_guard<std::mutex> lock(g_driverMutex);
    return g_driver;
}

void PostToWorker(void* context, uint32_t message, HWAVE device, WAVEHDR* header) {
    static_cast<ThreadMessageQueue*>(context)->Post(
        ThreadMessage{message, device, reinterpret_cast<intptr_t>(header)});
}

MMRESULT Open(HWAVE* device, WaveDirection direction, uint32_t deviceId, const WAVEFORMATEX* format,
              ThreadMessageQueue* notify) {
    if (!device || !format || !notify) return MMSYSERR_INVALPARAM;
    WaveDriver driver = Driver();
    if (!driver.open) return MMSYSERR_NODRIVER;
    return driver.open(device, direction, deviceId, format, &PostToWorker, notify);
}

// Preparing only marks the header: the blocks stay in the program's memory.
MMRESULT Prepare(WAVEHDR* header) {
    if (!header || !header->lpData) return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT Unprepare(WAVEHDR* header) {
    if (!header) return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT Add(HWAVE device, WAVEHDR* header) {
    if (!header) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    WaveDriver driver = Driver();
    return driver.addBuffer ? driver.addBuffer(device, header) : MMSYSERR_NODRIVER;
}

MMRESULT Call(PFN_waveDeviceReset WaveDriver::*entry, HWAVE device) {
    WaveDriver driver = Driver();
    return driver.*entry ? (driver.*entry)(device) : MMSYSERR_NODRIVER;
}

}  // namespace

void SetWaveDriver(const WaveDriver& driver) {
    std::lock_guard<std::mutex> lock(g_driverMutex);
    g_driver = driver;
}

MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t deviceId, const WAVEFORMATEX* format,
                     ThreadMessageQueue* notify) {
    return Open(device, WaveDirection::Out, deviceId, format, notify);
}
MMRESULT waveOutPrepareHeader(HWAVEOUT, WAVEHDR* header) { return Prepare(header); }
MMRESULT waveOutUnprepareHeader(HWAVEOUT, WAVEHDR* header) { return Unprepare(header); }
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header) { return Add(device, header); }
MMRESULT waveOutReset(HWAVEOUT device) { return Call(&WaveDriver::reset, device); }
MMRESULT waveOutClose(HWAVEOUT device) { return Call(&WaveDriver::close, device); }

MMRESULT waveInOpen(HWAVEIN* device, uint32_t deviceId, const WAVEFORMATEX* format,
                    ThreadMessageQueue* notify) {
    return Open(device, WaveDirection::In, deviceId, format, notify);
}
MMRESULT waveInPrepareHeader(HWAVEIN, WAVEHDR* header) { return Prepare(header); }
MMRESULT waveInUnprepareHeader(HWAVEIN, WAVEHDR* header) { return Unprepare(header); }
MMRESULT waveInAddBuffer(HWAVEIN device, WAVEHDR* header) { return Add(device, header); }
MMRESULT waveInStart(HWAVEIN device) { return Call(&WaveDriver::start, device); }
MMRESULT waveInReset(HWAVEIN device) { return Call(&WaveDriver::reset, device); }
MMRESULT waveInClose(HWAVEIN device) { return Call(&WaveDriver::close, device); }
MMRESULT waveInGetCallerEnd(HWAVEIN device, uint32_t* samples) {
    if (!samples) return MMSYSERR_INVALPARAM;
    WaveDriver driver = Driver();
    return driver.callerEnd ? driver.callerEnd(device, samples) : MMSYSERR_NODRIVER;
}

std::string WaveErrorText(MMRESULT result) {
    std::string text;
    switch (result) {
        case MMSYSERR_NOERROR:
            text = "The command completed successfully.";
            break;
        case MMSYSERR_BADDEVICEID:
            text = "The device id is out of range: the call has no such wave device.";
            break;
        case MMSYSERR_ALLOCATED:
            text = "The device is already in use.";
            break;
        case MMSYSERR_INVALHANDLE:
            text = "The device handle is not valid (closed, or the line went away).";
            break;
        case MMSYSERR_NODRIVER:
            text = "No wave driver: the line library is not loaded or the modem has no voice.";
            break;
        case MMSYSERR_INVALPARAM:
            text = "An invalid parameter was passed.";
            break;
        case WAVERR_BADFORMAT:
            text = "The device cannot use this format (8000 Hz mono, 8 or 16 bits).";
            break;
        case WAVERR_STILLPLAYING:
            text = "The block is still queued on the device.";
            break;
        case WAVERR_UNPREPARED:
            text = "The block has not been prepared.";
            break;
        default:
            text = "Unspecified wave device error " + std::to_string(result) + ".";
            break;
    }
    return text.substr(0, kMaxErrorText);
}

}  // namespace platform

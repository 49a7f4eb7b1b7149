#pragma once
// The wave device interface of the sound threads: devices opened with the 18-byte format and a
// worker thread's queue, to which each returned block is posted as MM_WOM_DONE (output) or
// MM_WIM_DATA (input) with the device handle in wParam and the header in lParam. The devices
// themselves are the current call's, provided by the line library's driver.

#include <string>

#include "platform/thread_queue.h"
#include "platform/wave_abi.h"

namespace platform {

using HWAVEOUT = HWAVE;
using HWAVEIN = HWAVE;

struct WaveDriver {
    PFN_waveDeviceOpen open = nullptr;
    PFN_waveDeviceAddBuffer addBuffer = nullptr;
    PFN_waveDeviceStart start = nullptr;
    PFN_waveDeviceReset reset = nullptr;
    PFN_waveDeviceClose close = nullptr;
    PFN_waveDeviceGetCallerEnd callerEnd = nullptr;  // optional: a line library may lack it
};
// Installed by whoever loaded the line library; until then every open fails.
void SetWaveDriver(const WaveDriver& driver);

MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t deviceId, const WAVEFORMATEX* format,
                     ThreadMessageQueue* notify);
MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header);
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header);
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header);
MMRESULT waveOutReset(HWAVEOUT device);
MMRESULT waveOutClose(HWAVEOUT device);

MMRESULT waveInOpen(HWAVEIN* device, uint32_t deviceId, const WAVEFORMATEX* format,
                    ThreadMessageQueue* notify);
MMRESULT waveInPrepareHeader(HWAVEIN device, WAVEHDR* header);
MMRESULT waveInUnprepareHeader(HWAVEIN device, WAVEHDR* header);
MMRESULT waveInAddBuffer(HWAVEIN device, WAVEHDR* header);
MMRESULT waveInStart(HWAVEIN device);
MMRESULT waveInReset(HWAVEIN device);
MMRESULT waveInClose(HWAVEIN device);
// Between the reset and the close: the samples recorded that are the caller's (see
// PFN_waveDeviceGetCallerEnd).
MMRESULT waveInGetCallerEnd(HWAVEIN device, uint32_t* samples);

// The device's error text for a result code, at most 100 bytes.
std::string WaveErrorText(MMRESULT result);

}  // namespace platform

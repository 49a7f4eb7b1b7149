#pragma once
// The wave device records shared by the program and the line library, in the classic layouts:
// the 18-byte PCM format record and the block header the devices fill and hand back.

#include <cstdint>

namespace platform {

#pragma pack(push, 1)
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "the format record is 18 bytes");

constexpr uint16_t WAVE_FORMAT_PCM = 1;

// One block handed to a device. The device sets WHDR_INQUEUE while it holds the block and
// WHDR_DONE when it gives it back (recording: with dwBytesRecorded filled in).
struct WAVEHDR {
    uint8_t* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    uint32_t dwLoops;
    WAVEHDR* lpNext;
    uintptr_t reserved;
};
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

using MMRESULT = uint32_t;
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

// Block-done notices: wParam the device handle, lParam the header.
constexpr uint32_t MM_WOM_DONE = 0x3BD;
constexpr uint32_t MM_WIM_DATA = 0x3C0;

using HWAVE = uint32_t;
enum class WaveDirection : uint32_t { Out = 0, In = 1 };

// How a device reports a returned block: called on the device's own thread, so it only queues.
using WAVENOTIFY = void (*)(void* context, uint32_t message, HWAVE device, WAVEHDR* header);

// The line library's exports for the wave devices of the current call. Output plays as soon as
// blocks are written; input records from Start on. Reset gives back every queued block at
// once; Close gives back what is still queued, then closes.
using PFN_waveDeviceOpen = MMRESULT (*)(HWAVE* device, WaveDirection direction, uint32_t deviceId,
                                        const WAVEFORMATEX* format, WAVENOTIFY notify,
                                        void* context);
using PFN_waveDeviceAddBuffer = MMRESULT (*)(HWAVE device, WAVEHDR* header);
using PFN_waveDeviceStart = MMRESULT (*)(HWAVE device);
using PFN_waveDeviceReset = MMRESULT (*)(HWAVE device);
using PFN_waveDeviceClose = MMRESULT (*)(HWAVE device);
// Input only: how many of the samples recorded since the open are the caller's. Where the line
// heard the call end on a sound of its own (an exchange tone, a silence), the samples of that
// sound and all after it are not; otherwise every sample is.
using PFN_waveDeviceGetCallerEnd = MMRESULT (*)(HWAVE device, uint32_t* samples);

}  // namespace platform

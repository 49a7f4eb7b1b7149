#include "audio/sound_in.h"

#include <chrono>

namespace {

constexpr int kBlocksInCirculation = 3;
// After the reset the worker gets this long to take back the blocks before the device closes.
constexpr auto kStopSettle = std::chrono::milliseconds(500);

}  // namespace

CSoundIn::~CSoundIn() {
    Stop();
    EndWorker();
}

bool CSoundIn::Start(const platform::WAVEFORMATEX* format) {
    if (m_bCapturing || !m_callback || !m_context) return false;
    m_callerEnd = -1;
    if (format) m_format = *format;
    platform::HWAVEIN device = 0;
    platform::MMRESULT result = platform::waveInOpen(&device, deviceId, &m_format, &m_queue);
    if (result != platform::MMSYSERR_NOERROR) {
        Trace(result, "in Start()");
        return false;
    }
    m_hWaveIn = device;
    for (int i = 0; i < kBlocksInCirculation; ++i) AddInputBufferToQueue();
    // Raised before the start: the device may hand back a filled block before the start returns.
    m_bCapturing = true;
    result = platform::waveInStart(device);
    if (result != platform::MMSYSERR_NOERROR) {
        Trace(result, "in Start()");
        m_bCapturing = false;
        // Closing gives the queued blocks back; the worker releases them.
        platform::waveInClose(m_hWaveIn.exchange(0));
        return false;
    }
    return true;
}

int CSoundIn::AddInputBufferToQueue() {
    int before = m_outstanding;
    CSoundBuffer buffer(static_cast<int32_t>(BlockBytes()));
    if (!buffer.data) return before;
    uint32_t size = static_cast<uint32_t>(buffer.size);
    platform::WAVEHDR* header = NewBlock(buffer.TakeBytes(), size);
    // Counted before the add: the worker may release the block before the add returns.
    ++m_outstanding;
    platform::MMRESULT result = platform::waveInPrepareHeader(m_hWaveIn, header);
    if (result == platform::MMSYSERR_NOERROR) result = platform::waveInAddBuffer(m_hWaveIn, header);
    if (result != platform::MMSYSERR_NOERROR) {
        Trace(result, "in AddInputBufferToQueue()");
        ReleaseBlock(header);
        --m_outstanding;
    }
    return before;
}

void CSoundIn::OnMessage(const platform::ThreadMessage& message) {
    if (message.message == platform::MM_WIM_DATA) {
        OnWIM_DATA(static_cast<platform::HWAVEIN>(message.wParam),
                   reinterpret_cast<platform::WAVEHDR*>(message.lParam));
    }
}

// A block that comes back after its device was closed is released like any other.
void CSoundIn::OnWIM_DATA(platform::HWAVEIN device, platform::WAVEHDR* header) {
    platform::MMRESULT result = platform::waveInUnprepareHeader(device, header);
    if (result != platform::MMSYSERR_NOERROR) {
        Trace(result, "in OnWIM_DATA()");
        return;
    }
    if (m_bCapturing) {
        CSoundBuffer buffer(header->lpData, static_cast<int32_t>(header->dwBytesRecorded));
        m_callback(&buffer, m_context);
        result = platform::waveInPrepareHeader(device, header);
        if (result == platform::MMSYSERR_NOERROR && m_bCapturing) {
            result = platform::waveInAddBuffer(device, header);
            if (result == platform::MMSYSERR_NOERROR) return;
        }
        if (result != platform::MMSYSERR_NOERROR) Trace(result, "in OnWIM_DATA()");
    }
    ReleaseBlock(header);
    --m_outstanding;
}

void CSoundIn::Stop() {
    if (!m_bCapturing) return;
    platform::MMRESULT result = platform::waveInReset(m_hWaveIn);
    m_bCapturing = false;
    // A device that is gone (the modem went away) gave its blocks back when it went: it is
    // closed all the same, so the next recording can start.
    if (result == platform::MMSYSERR_NOERROR) {
        std::this_thread::sleep_for(kStopSettle);
    } else {
        Trace(result, "in Stop()");
    }
    uint32_t callerSamples = 0;
    if (platform::waveInGetCallerEnd(m_hWaveIn, &callerSamples) == platform::MMSYSERR_NOERROR) {
        m_callerEnd = callerSamples;
    }
    result = platform::waveInClose(m_hWaveIn.exchange(0));
    if (result != platform::MMSYSERR_NOERROR) Trace(result, "in Stop()");
}

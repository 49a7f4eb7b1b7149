#pragma once
#include <atomic>

#include "audio/sound_thread.h"

// Records from a wave input device (on a call, the modem's voice input): three blocks in the
// device's queue; each filled block goes to the store callback on the worker thread and
// straight back to the device, until Stop.
class CSoundIn : public CSoundThread {
public:
    CSoundIn() = default;
    ~CSoundIn() override;

    // Returns after the device is closed.
    void Stop() override;
    bool Start(const platform::WAVEFORMATEX* format = nullptr) override;
    bool IsCapturing() const { return m_bCapturing; }
    // After Stop: how many of the samples recorded were the caller's, as the device heard the
    // call end; -1 when it could not tell.
    int64_t CallerEndSamples() const { return m_callerEnd; }

private:
    void OnMessage(const platform::ThreadMessage& message) override;
    void OnWIM_DATA(platform::HWAVEIN device, platform::WAVEHDR* header);
    int AddInputBufferToQueue();

    std::atomic<bool> m_bCapturing{false};
    std::atomic<platform::HWAVEIN> m_hWaveIn{0};
    std::atomic<int> m_outstanding{0};
    std::atomic<int64_t> m_callerEnd{-1};
};

#pragma once
#include <atomic>

#include "audio/sound_thread.h"

// Plays on a wave output device (on a call, the modem's voice output): three blocks in the
// device's queue, each refilled through the fill callback when the device gives it back. Start
// returns when the playback is over (the last block played, or Stop) and keeps the calling
// thread's messages flowing meanwhile.
class CSoundOut : public CSoundThread {
public:
    CSoundOut() = default;
    ~CSoundOut() override;

    void Stop() override;
    bool Start(const platform::WAVEFORMATEX* format = nullptr) override;
    bool IsPlaying() const { return m_bPlaying; }

private:
    void OnMessage(const platform::ThreadMessage& message) override;
    void OnWOM_DONE(platform::HWAVEOUT device, platform::WAVEHDR* header);
    bool AddOutputBufferToQueue(platform::WAVEHDR* header);
    void FinishIfDrained();
    bool PrimeBlock();
    void WaitForClosedDevice();
    void AbandonOpenDevice();
    void CloseDevice();
    static void WakeOwner();

    std::atomic<bool> m_bPlaying{false};
    // The source has ended: the queued blocks play out, then the playback ends by itself.
    std::atomic<bool> m_bDraining{false};
    std::atomic<platform::HWAVEOUT> m_hWaveOut{0};
    std::atomic<int> m_outstanding{0};
};

#pragma once
// What the recorder and the player share: a worker thread with its own message loop, to which
// the wave device posts its block-done notices, the blocks in circulation, and the trace of
// device failures.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "audio/sound_buffer.h"
#include "audio/sound_format.h"
#include "platform/thread_queue.h"
#include "platform/wave_device.h"

class CSoundThread : public CSoundFormat {
public:
    CSoundThread();
    ~CSoundThread() override;
    CSoundThread(const CSoundThread&) = delete;
    CSoundThread& operator=(const CSoundThread&) = delete;

    virtual void Stop() = 0;
    virtual bool Start(const platform::WAVEFORMATEX* format = nullptr) = 0;

    void SetCallback(SoundDataCallback callback, void* context) {
        m_callback = callback;
        m_context = context;
    }

    uint32_t deviceId = 0;

protected:
    // Ends the worker's loop; derived destructors call it after their own Stop.
    void EndWorker();
    virtual void OnMessage(const platform::ThreadMessage& message) = 0;
    // A device block: a header and the bytes it points to, owned here until released.
    platform::WAVEHDR* NewBlock(std::unique_ptr<uint8_t[]> bytes, uint32_t size);
    void ReleaseBlock(platform::WAVEHDR* header);
    // Device failures go to a diagnostic trace (stderr with VANTORO_AUDIO_TRACE=1), never to
    // the user.
    static void Trace(platform::MMRESULT result, const char* label);

    SoundDataCallback m_callback = nullptr;
    void* m_context = nullptr;
    // The worker's message queue: the devices are opened to notify it.
    platform::ThreadMessageQueue m_queue;

private:
    struct Block {
        platform::WAVEHDR header{};
        std::unique_ptr<uint8_t[]> bytes;
    };
    void Run();

    std::mutex m_blocksMutex;
    std::map<platform::WAVEHDR*, std::unique_ptr<Block>> m_blocks;
    std::thread m_worker;
};

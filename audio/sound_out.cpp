#include "audio/sound_out.h"

#include "platform/clock.h"
#include "platform/messages.h"

namespace {

constexpr int kBlocksInCirculation = 3;
// A pass of the playback wait that found nothing to do sleeps at most this long.
constexpr uint32_t kWaitSliceMs = 100;
// The previous playback's device closes on the worker once its blocks are back.
constexpr uint32_t kCloseWaitMs = 1000;

}  // namespace

CSoundOut::~CSoundOut() {
    Stop();
    EndWorker();
}

bool CSoundOut::Start(const platform::WAVEFORMATEX* format) {
    if (m_bPlaying || !m_callback || !m_context) return false;
    if (format) m_format = *format;
    WaitForClosedDevice();
    AbandonOpenDevice();
    platform::HWAVEOUT device = 0;
    platform::MMRESULT result = platform::waveOutOpen(&device, deviceId, &m_format, &m_queue);
    if (result != platform::MMSYSERR_NOERROR) {
        Trace(result, "in start()");
        return false;
    }
    m_hWaveOut = device;
    m_bDraining = false;
    m_bPlaying = true;
    int primed = 0;
    while (primed < kBlocksInCirculation && PrimeBlock()) ++primed;
    if (primed < kBlocksInCirculation) {
        m_bDraining = true;
        // The primed blocks may all be back already, or none went out.
        FinishIfDrained();
    }

    while (m_bPlaying) {
        platform::PumpOneMessage();
        if (m_bPlaying) platform::WaitForActivity(-1, kWaitSliceMs);
    }
    return true;
}

void CSoundOut::WaitForClosedDevice() {
    const uint32_t start = platform::TickCountMs();
    while (m_hWaveOut != 0 && !platform::TickDeadlinePassed(start, kCloseWaitMs)) {
        platform::PumpOneMessage();
        platform::WaitForActivity(-1, 1);
    }
}

// A device that kept blocks past the wait is closed, and its count is not carried into the new
// playback; a block it still gives back is released as a stranger's.
void CSoundOut::AbandonOpenDevice() {
    if (m_hWaveOut != 0) {
        Trace(platform::WAVERR_STILLPLAYING, "in start()");
        CloseDevice();
    }
    m_outstanding = 0;
}

// Fills one block on this thread and queues it; a source already at its end gives no block.
bool CSoundOut::PrimeBlock() {
    CSoundBuffer buffer(static_cast<int32_t>(BlockBytes()));
    if (!buffer.data) return false;
    m_callback(&buffer, m_context);
    if (buffer.size <= 0) return false;
    uint32_t size = static_cast<uint32_t>(buffer.size);
    return AddOutputBufferToQueue(NewBlock(buffer.TakeBytes(), size));
}

// False when the device refused the block, which is then released.
bool CSoundOut::AddOutputBufferToQueue(platform::WAVEHDR* header) {
    // Counted before the write: the device may give the block back before the write returns.
    ++m_outstanding;
    platform::MMRESULT result = platform::waveOutPrepareHeader(m_hWaveOut, header);
    if (result == platform::MMSYSERR_NOERROR) result = platform::waveOutWrite(m_hWaveOut, header);
    if (result == platform::MMSYSERR_NOERROR) return true;
    Trace(result, "in AddOutputBufferToQueue()");
    ReleaseBlock(header);
    --m_outstanding;
    return false;
}

void CSoundOut::OnMessage(const platform::ThreadMessage& message) {
    if (message.message == platform::MM_WOM_DONE) {
        OnWOM_DONE(static_cast<platform::HWAVEOUT>(message.wParam),
                   reinterpret_cast<platform::WAVEHDR*>(message.lParam));
    }
}

void CSoundOut::OnWOM_DONE(platform::HWAVEOUT device, platform::WAVEHDR* header) {
    platform::MMRESULT result = platform::waveOutUnprepareHeader(device, header);
    if (result != platform::MMSYSERR_NOERROR) {
        Trace(result, "in OnWOM_DONE()");
        return;
    }
    if (device != m_hWaveOut) {
        ReleaseBlock(header);
        return;
    }
    --m_outstanding;
    if (m_bPlaying && !m_bDraining) {
        CSoundBuffer buffer(header->lpData, static_cast<int32_t>(BlockBytes()));
        m_callback(&buffer, m_context);
        if (buffer.size > 0) {
            header->dwBufferLength = static_cast<uint32_t>(buffer.size);
            header->dwFlags = 0;
            if (AddOutputBufferToQueue(header)) {
                // A Stop during the refill reset the device before this block reached it.
                if (!m_bPlaying) platform::waveOutReset(device);
                return;
            }
            // A refused block ends the playback like the end of the source.
            m_bDraining = true;
            FinishIfDrained();
            return;
        }
        // The source is exhausted: the blocks still queued hold its last sound.
        m_bDraining = true;
    }
    ReleaseBlock(header);
    FinishIfDrained();
}

// The last block is back: a drained playback ends, a stopped one closes its device.
void CSoundOut::FinishIfDrained() {
    if (m_outstanding > 0) return;
    if (m_bDraining && m_bPlaying.exchange(false)) WakeOwner();
    if (!m_bPlaying) CloseDevice();
}

// Wakes a Start waiting on the owner's thread.
void CSoundOut::WakeOwner() {
    platform::PostToUiThread([] {});
}

// Either thread may find the last block back; the device is closed once.
void CSoundOut::CloseDevice() {
    platform::HWAVEOUT device = m_hWaveOut.exchange(0);
    if (device == 0) return;
    platform::MMRESULT result = platform::waveOutClose(device);
    if (result != platform::MMSYSERR_NOERROR) Trace(result, "in stop()");
}

void CSoundOut::Stop() {
    if (!m_bPlaying.exchange(false)) return;
    WakeOwner();
    platform::MMRESULT result = platform::waveOutReset(m_hWaveOut);
    if (result != platform::MMSYSERR_NOERROR) Trace(result, "in stop()");
    if (m_outstanding <= 0) CloseDevice();
}

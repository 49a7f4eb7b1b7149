// The voice channel with its player and recorder threads on a wave driver of the test's own
// that plays every block at once and fills every recording block as soon as it is queued.

#include "audio/voice_channel.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <deque>
#include <mutex>

#include "platform/message_box.h"
#include "platform/messages.h"
#include "platform/wave_device.h"
#include "tests/support/child_process.h"

namespace {

using namespace platform;

constexpr HWAVE kHandle = 7;
constexpr int kBoxWaitMs = 10000;
constexpr int kPollMs = 10;

struct FakeDevice {
    std::mutex mutex;
    WaveDirection direction = WaveDirection::Out;
    WAVENOTIFY notify = nullptr;
    void* context = nullptr;
    std::deque<WAVEHDR*> queue;
    bool started = false;
    std::string played;
} g_device;

void GiveBack(WAVEHDR* header, uint32_t bytes) {
    header->dwBytesRecorded = bytes;
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    uint32_t message = g_device.direction == WaveDirection::Out ? MM_WOM_DONE : MM_WIM_DATA;
    g_device.notify(g_device.context, message, kHandle, header);
}

// Recording blocks come back full of the byte 0x11.
void FillQueued() {
    while (g_device.started && !g_device.queue.empty()) {
        WAVEHDR* header = g_device.queue.front();
        g_device.queue.pop_front();
        std::memset(header->lpData, 0x11, header->dwBufferLength);
        GiveBack(header, header->dwBufferLength);
    }
}

MMRESULT Open(HWAVE* device, WaveDirection direction, uint32_t, const WAVEFORMATEX*,
              WAVENOTIFY notify, void* context) {
    std::lock_guard<std::mutex> lock(g_device.mutex);
    g_device.direction = direction;
    g_device.notify = notify;
    g_device.context = context;
    g_device.started = false;
    *device = kHandle;
    return MMSYSERR_NOERROR;
}

MMRESULT Add(HWAVE, WAVEHDR* header) {
    std::lock_guard<std::mutex> lock(g_device.mutex);
    header->dwFlags |= WHDR_INQUEUE;
    if (g_device.direction == WaveDirection::Out) {
        g_device.played.append(reinterpret_cast<char*>(header->lpData), header->dwBufferLength);
        GiveBack(header, 0);
    } else {
        g_device.queue.push_back(header);
        FillQueued();
    }
    return MMSYSERR_NOERROR;
}

MMRESULT Start(HWAVE) {
    std::lock_guard<std::mutex> lock(g_device.mutex);
    g_device.started = true;
    FillQueued();
    return MMSYSERR_NOERROR;
}

MMRESULT Reset(HWAVE) {
    std::lock_guard<std::mutex> lock(g_device.mutex);
    g_device.started = false;
    for (WAVEHDR* header : g_device.queue) GiveBack(header, 0);
    g_device.queue.clear();
    return MMSYSERR_NOERROR;
}

class VoiceChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetWaveDriver({&Open, &Add, &Start, &Reset, &Reset});
        g_device.played.clear();
    }
    TempFolder m_folder;
};

TEST_F(VoiceChannelTest, PlaysTheFileOnceWithoutEmptyBlocks) {
    CSoundFormat format;
    std::string path = m_folder / "short.wav";
    {
        CWaveFile file(path, format.GetFormat());
        CSoundBuffer samples(1000);
        std::memset(samples.data, 0x22, 1000);
        ASSERT_TRUE(file.Write(&samples));
    }
    CVoiceChannel channel;
    EXPECT_TRUE(channel.PlayFile(path, kHandle));
    channel.StopPlaying();
    EXPECT_EQ(g_device.played, std::string(1000, '\x22'));  // no block of a source at its end
    EXPECT_FALSE(channel.PlayFile(m_folder / "missing.wav", kHandle));
}

// A full disk: the recorder stops and the box is shown once, on the thread that dispatches the
// program's messages; the file keeps the blocks written before.
TEST_F(VoiceChannelTest, AFailedWriteStopsTheRecordingAndShowsTheBoxOnce) {
    SetHeadless(true);
    constexpr rlim_t kRoom = 46 + 3 * 2000 + 500;
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_IGN);
    rlimit limited{kRoom, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string path = m_folder / "message.wav";
    CVoiceChannel channel;
    while (PendingMessageCount() > 0) PumpOneMessage();  // earlier tests' wake-ups
    testing::internal::CaptureStderr();
    ASSERT_TRUE(channel.StartRecording(path, kHandle));
    // The worker posts the box once its stop is over.
    for (int waited = 0; PendingMessageCount() == 0 && waited < kBoxWaitMs; waited += kPollMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    std::string beforePump = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    for (int i = 0; i < 20; ++i) PumpOneMessage();
    std::string printed = testing::internal::GetCapturedStderr();
    channel.StopRecording();
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(beforePump, "");
    EXPECT_EQ(printed, "MSGBOX " + ProgramCaption() + ": Unable to write to file\n");
    CWaveFile written(path);
    ASSERT_TRUE(written.IsOpen());
    CSoundBuffer block(8000);
    EXPECT_TRUE(written.Read(&block));
    EXPECT_EQ(block.size, 6000);
}

}  // namespace

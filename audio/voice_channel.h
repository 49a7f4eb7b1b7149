#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "audio/sound_in.h"
#include "audio/sound_out.h"
#include "audio/wave_file.h"

// The voice side of a call: one player, one recorder and the WAV file being played or
// recorded. It is given the call's wave device ids and knows nothing of the line.
class CVoiceChannel {
public:
    CVoiceChannel();
    virtual ~CVoiceChannel() = default;
    CVoiceChannel(const CVoiceChannel&) = delete;
    CVoiceChannel& operator=(const CVoiceChannel&) = delete;

    // Called when the played source has no more data.
    virtual void OnPlayEnd() {}

    bool StartRecording(const std::string& path, uint32_t deviceId);
    void StopRecording();
    // The last recording lost the sound on which the line heard its call end: what is left
    // is all the caller's.
    bool RecordingLostHangupSound() const { return m_lostHangupSound; }
    // Both return when the playback has ended or was stopped.
    bool PlayFile(const std::string& path, uint32_t deviceId);
    bool PlayResource(uint32_t resourceId, uint32_t deviceId);
    void StopPlaying();

    // Sees each block the recorder stores, on the recorder's thread, in its format.
    using RecordTap = std::function<void(const uint8_t* data, size_t size)>;
    void SetRecordTap(RecordTap tap);
    const platform::WAVEFORMATEX* RecordFormat() const { return m_recorder.GetFormat(); }

private:
    static void FillCallback(CSoundBuffer* buffer, void* context);
    static void StoreCallback(CSoundBuffer* buffer, void* context);
    bool Play(std::unique_ptr<CWaveFile> file, uint32_t deviceId);
    void ReleaseFile();
    void DiscardFile(const std::string& path);

    // The current file is touched by the owner's thread and both workers: a read or an append
    // never overlaps its release.
    std::mutex m_fileMutex;
    std::unique_ptr<CWaveFile> m_file;
    CSoundOut m_player;
    CSoundIn m_recorder;
    std::mutex m_tapMutex;
    RecordTap m_recordTap;
    bool m_lostHangupSound = false;
};

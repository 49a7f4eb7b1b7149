#include "audio/voice_channel.h"

#include "platform/message_box.h"
#include "platform/messages.h"
#include "platform/paths.h"

namespace {

// The box belongs to the user-interface thread; a worker goes on at once.
void ReportWriteError() {
    platform::PostToUiThread([] {
        platform::ShowMessageBox(nullptr, "Unable to write to file", platform::ProgramCaption(),
                                 platform::MsgIcon::None, platform::MsgButtons::Ok);
    });
}

}  // namespace

CVoiceChannel::CVoiceChannel() {
    m_player.SetCallback(&CVoiceChannel::FillCallback, this);
    m_recorder.SetCallback(&CVoiceChannel::StoreCallback, this);
}

bool CVoiceChannel::StartRecording(const std::string& path, uint32_t deviceId) {
    m_lostHangupSound = false;
    bool open;
    {
        std::lock_guard<std::mutex> lock(m_fileMutex);
        m_file = std::make_unique<CWaveFile>(path, m_recorder.GetFormat());
        open = m_file->IsOpen();
    }
    if (!open) {
        ReportWriteError();  // as when the disk fills during a recording
        return false;        // the failed file stays current until the next stop
    }
    m_recorder.deviceId = deviceId;
    if (m_recorder.Start()) return true;
    // Nothing was recorded: a header-only file would only look like a lost message.
    DiscardFile(path);
    return false;
}

// A call that the line heard end on its exchange's tone or on silence loses that sound from the
// message's end: what is kept ends where the caller's part did.
void CVoiceChannel::StopRecording() {
    m_recorder.Stop();
    const int64_t callerSamples = m_recorder.CallerEndSamples();
    if (callerSamples >= 0) {
        std::lock_guard<std::mutex> lock(m_fileMutex);
        m_lostHangupSound = m_file && m_file->KeepSamples(static_cast<uint32_t>(callerSamples));
    }
    ReleaseFile();
}

bool CVoiceChannel::PlayFile(const std::string& path, uint32_t deviceId) {
    return Play(std::make_unique<CWaveFile>(path), deviceId);
}

bool CVoiceChannel::PlayResource(uint32_t resourceId, uint32_t deviceId) {
    return Play(std::make_unique<CWaveFile>(resourceId), deviceId);
}

bool CVoiceChannel::Play(std::unique_ptr<CWaveFile> file, uint32_t deviceId) {
    platform::WAVEFORMATEX format = *file->GetFormat();
    bool open = file->IsOpen();
    {
        std::lock_guard<std::mutex> lock(m_fileMutex);
        m_file = std::move(file);
    }
    if (!open) return false;
    m_player.deviceId = deviceId;
    return m_player.Start(&format);
}

// A message being recorded stays open: it is completed (and cut) by its own stop.
void CVoiceChannel::StopPlaying() {
    m_player.Stop();
    std::lock_guard<std::mutex> lock(m_fileMutex);
    if (m_file && !m_file->IsWriting()) m_file.reset();
}

void CVoiceChannel::DiscardFile(const std::string& path) {
    ReleaseFile();
    platform::RemoveFile(path);
}

void CVoiceChannel::ReleaseFile() {
    std::lock_guard<std::mutex> lock(m_fileMutex);
    m_file.reset();
}

// Without a file, or at its end, the block gets no data (size 0) and is not played.
void CVoiceChannel::FillCallback(CSoundBuffer* buffer, void* context) {
    auto* channel = static_cast<CVoiceChannel*>(context);
    std::lock_guard<std::mutex> lock(channel->m_fileMutex);
    if (!channel->m_file) {
        buffer->size = 0;
        return;
    }
    if (channel->m_file->Read(buffer)) return;
    channel->OnPlayEnd();
    channel->m_file.reset();
}

void CVoiceChannel::SetRecordTap(RecordTap tap) {
    std::lock_guard<std::mutex> lock(m_tapMutex);
    m_recordTap = std::move(tap);
}

void CVoiceChannel::StoreCallback(CSoundBuffer* buffer, void* context) {
    auto* channel = static_cast<CVoiceChannel*>(context);
    {
        std::lock_guard<std::mutex> lock(channel->m_tapMutex);
        if (channel->m_recordTap && buffer->size > 0) {
            channel->m_recordTap(buffer->data, size_t(buffer->size));
        }
    }
    {
        std::lock_guard<std::mutex> lock(channel->m_fileMutex);
        if (!channel->m_file || channel->m_file->Write(buffer)) return;
    }
    channel->m_recorder.Stop();
    ReportWriteError();
}

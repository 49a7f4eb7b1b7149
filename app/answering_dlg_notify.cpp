// Telling of each stored message and fax: the desktop notification and the user's command.

#include <cstdio>
#include <cstring>

#include "app/answering_dlg.h"
#include "audio/voice_activity.h"
#include "platform/little_endian.h"
#include "platform/paths.h"

namespace {

constexpr char kFaxStoredLogPrefix[] = "传真已保存: ";
constexpr char kMessageStoredLogPrefix[] = "留言已保存: ";
constexpr char kNoMessageLogText[] = "来电者未留言即挂机";

// The length of a WAV file's sound in whole seconds (rounded), from its "fmt " byte rate and
// its "data" size; 0 when it cannot be read.
unsigned WavSeconds(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return 0;
    uint8_t header[12];
    uint32_t byteRate = 0, dataBytes = 0;
    bool riff = std::fread(header, 1, sizeof header, file) == sizeof header &&
                std::memcmp(header, "RIFF", 4) == 0 && std::memcmp(header + 8, "WAVE", 4) == 0;
    uint8_t chunk[16];
    while (riff && dataBytes == 0 && std::fread(chunk, 1, 8, file) == 8) {
        const uint32_t size = platform::GetLe32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            dataBytes = size;
        } else if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 &&
                   std::fread(chunk, 1, 16, file) == 16) {
            byteRate = platform::GetLe32(chunk + 8);
            std::fseek(file, long(size - 16 + (size & 1)), SEEK_CUR);
        } else {
            std::fseek(file, long(size + (size & 1)), SEEK_CUR);
        }
    }
    std::fclose(file);
    return byteRate == 0 ? 0 : unsigned((uint64_t{dataBytes} + byteRate / 2) / byteRate);
}

}  // namespace

void CAnsweringDlg::AnnounceStored(const StoredItem& item) {
    // Written once the file is complete, so that whoever reads the log can open it at once.
    m_line.Log(
        (item.kind == StoredItem::Kind::Fax ? kFaxStoredLogPrefix : kMessageStoredLogPrefix) +
        item.file);
    m_notifier.Show(item, m_trayIcon.get());
    m_notifyCommand.Run(item, programFolder + "vantoro.ini");
}

// Runs once the recording has ended (the call is over), at most once per message.
void CAnsweringDlg::AnnounceMessage() {
    const std::string file = messageFile;
    messageFile.clear();
    if (file.empty() || !platform::PathExists(file)) return;
    // A caller who hung up in the greeting leaves only the line's noise and its hang-up sound.
    if (DiscardEmptyMessage(file)) return;
    const unsigned seconds = WavSeconds(file);
    // A message cut short by the receive-fax button leaves the call a fax call.
    if (m_callRecord && m_callRecord->outcome == CallOutcome::NoMessage) {
        SetCallOutcome(CallOutcome::Message, seconds, file);
    }
    AnnounceStored({StoredItem::Kind::Message, file, m_callCaller, seconds});
}

bool CAnsweringDlg::DiscardEmptyMessage(const std::string& file) {
    const voice_activity::Ending ending = m_line.m_voiceChannel.RecordingLostHangupSound()
                                              ? voice_activity::Ending::CallersOwn
                                              : voice_activity::Ending::MayHoldHangupSound;
    return platform::PathExists(file) && !voice_activity::JudgeFile(file, ending).worthKeeping &&
           platform::RemoveFile(file);
}

void CAnsweringDlg::BeginCallRecord(CallOutcome outcome) {
    if (m_callRecord) return;
    m_callRecord = CallRecord{platform::GetLocalTime(), {}, outcome, 0, {}};
}

void CAnsweringDlg::SetCallOutcome(CallOutcome outcome, unsigned count, const std::string& file) {
    if (!m_callRecord) return;
    m_callRecord->outcome = outcome;
    m_callRecord->count = count;
    const bool inFolder = file.compare(0, programFolder.size(), programFolder) == 0;
    m_callRecord->file = inFolder ? file.substr(programFolder.size()) : file;
}

void CAnsweringDlg::WriteCallRecord() {
    if (!m_callRecord) return;
    if (m_callRecord->outcome == CallOutcome::NoMessage) m_line.Log(kNoMessageLogText);
    // The number may have come with a later ring; a fax taken by hand has the one it had then.
    const std::string caller = m_strCallerId.toStdString();
    m_callRecord->caller = caller.empty() ? m_callCaller : caller;
    if (!AppendCallLog(programFolder, *m_callRecord)) {
        m_line.Log("无法写入通话记录: " + programFolder + kCallLogFileName);
    }
    m_callRecord.reset();
    UpdateInboxCount();
}

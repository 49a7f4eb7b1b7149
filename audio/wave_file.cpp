#include "audio/wave_file.h"

#include <algorithm>
#include <cstring>

#include "platform/little_endian.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/resources.h"

namespace {

constexpr uint32_t kRiffSizeOffset = 4;
constexpr uint32_t kDataSizeOffset = 42;
constexpr uint32_t kHeaderBytes = 46;  // RIFF, WAVE, an 18-byte fmt chunk, the data header
constexpr uint32_t kFmtBytes = sizeof(platform::WAVEFORMATEX);

}  // namespace

CWaveFile::CWaveFile(const std::string& path, const platform::WAVEFORMATEX* format)
    : m_source(Source::File), m_path(path) {
    Begin(format);
}

CWaveFile::CWaveFile(uint32_t resourceId, const platform::WAVEFORMATEX* format)
    : m_source(Source::Resource), m_resourceId(resourceId) {
    Begin(format);
}

CWaveFile::~CWaveFile() {
    m_resourceCopy.clear();
    Close();
}

void CWaveFile::Begin(const platform::WAVEFORMATEX* format) {
    if (format) {
        m_format = *format;
        m_mode = Mode::Writing;
        if (!Create()) m_mode = Mode::Failed;
    } else {
        m_mode = Mode::Reading;
        if (!Open()) m_mode = Mode::Failed;
    }
    if (m_mode == Mode::Failed) Close();
}

bool CWaveFile::Create() {
    if (m_file.IsOpen() || m_source != Source::File) return false;
    if (!m_file.Create(m_path)) return false;
    uint8_t header[kHeaderBytes] = {};
    std::memcpy(header, "RIFF", 4);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    platform::PutLe32(header + 16, kFmtBytes);
    std::memcpy(header + 20, &m_format, kFmtBytes);
    std::memcpy(header + 38, "data", 4);
    m_dataBytes = 0;
    if (m_file.Write(header, sizeof header) && WriteSizes()) return true;
    // A file without its header is no WAV (a full disk, a file size limit): none is left.
    m_file.Close();
    platform::RemoveFile(m_path);
    return false;
}

// The sizes are kept current after every block, so a recording cut off by a crash or a power
// failure still reads as what had been written.
bool CWaveFile::WriteSizes() {
    uint8_t size[4];
    platform::PutLe32(size, kHeaderBytes - 8 + m_dataBytes);
    if (!m_file.WriteAt(kRiffSizeOffset, size, sizeof size)) return false;
    platform::PutLe32(size, m_dataBytes);
    return m_file.WriteAt(kDataSizeOffset, size, sizeof size);
}

bool CWaveFile::Open() {
    if (m_file.IsOpen()) return false;
    bool opened = false;
    if (m_source == Source::File) {
        opened = m_file.OpenRead(m_path);
    } else if (platform::LoadResource(platform::ResourceType::Wave, m_resourceId, m_resourceCopy)) {
        opened = m_file.OpenMemory(m_resourceCopy.data(), m_resourceCopy.size());
    }
    if (!opened) return false;

    uint64_t fileEnd = m_file.Size();
    if (!m_file.Descend(m_riff, RiffFile::FourCC("RIFF"), fileEnd, RiffFile::FourCC("WAVE"))) {
        return Refuse("Error descending into file");
    }
    // A form whose size was never written (0) or runs past the file ends with the file.
    uint64_t formEnd = m_riff.size == 0 || m_riff.end > fileEnd ? fileEnd : m_riff.end;
    if (!m_file.Descend(m_chunk, RiffFile::FourCC("fmt "), formEnd)) {
        return Refuse("Error descending in wave file");
    }
    // An extended format is read no further than the 18-byte record.
    uint32_t formatBytes = std::min<uint32_t>(m_chunk.size, kFmtBytes);
    if (m_file.Read(&m_format, formatBytes) != static_cast<int64_t>(formatBytes) ||
        !m_file.Ascend(m_chunk)) {
        return Refuse("Error ascending in File");
    }
    if (!m_file.Descend(m_chunk, RiffFile::FourCC("data"), formEnd)) {
        return Refuse("error reading data chunk");
    }
    // Chunks after the samples (INFO, LIST) are not sound.
    bool sizeUsable = m_chunk.size != 0 && m_chunk.end <= fileEnd;
    m_dataEnd = sizeUsable ? m_chunk.end : fileEnd;
    return true;
}

bool CWaveFile::Refuse(const char* message) {
    platform::ShowMessageBox(nullptr, message, platform::ProgramCaption(), platform::MsgIcon::None,
                             platform::MsgButtons::Ok);
    m_file.Close();
    return false;
}

bool CWaveFile::Read(CSoundBuffer* buffer) {
    if (m_mode != Mode::Reading || !m_file.IsOpen() || !buffer || !buffer->data) return false;
    uint64_t left = m_dataEnd > m_file.Position() ? m_dataEnd - m_file.Position() : 0;
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(left, std::max(buffer->size, 0)));
    int64_t got = wanted > 0 ? m_file.Read(buffer->data, wanted) : 0;
    buffer->size = static_cast<int32_t>(got);
    return got > 0;
}

bool CWaveFile::Write(CSoundBuffer* buffer) {
    if (m_mode != Mode::Writing || !m_file.IsOpen() || !buffer || buffer->size < 0) return false;
    size_t bytes = static_cast<size_t>(buffer->size);
    if (bytes > 0 && !m_file.Write(buffer->data, bytes)) return false;
    m_dataBytes += static_cast<uint32_t>(bytes);
    return WriteSizes();
}

// The sizes shrink before the file does: in between, the samples past the data chunk are bytes
// after it that readers pass over.
bool CWaveFile::KeepSamples(uint32_t samples) {
    if (m_mode != Mode::Writing || !m_file.IsOpen()) return false;
    const uint64_t bytes = uint64_t(samples) * std::max<uint16_t>(m_format.nBlockAlign, 1);
    if (bytes >= m_dataBytes) return false;
    m_dataBytes = static_cast<uint32_t>(bytes);
    // Sizes that could not be written leave the samples where a reader still finds them.
    return WriteSizes() && m_file.Truncate(kHeaderBytes + m_dataBytes);
}

void CWaveFile::Close() {
    if (m_file.IsOpen() && m_mode == Mode::Writing) WriteSizes();
    m_file.Close();
}

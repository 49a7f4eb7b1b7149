#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "audio/riff_file.h"
#include "audio/sound_buffer.h"
#include "audio/sound_format.h"

// A RIFF WAVE file read or written in whole blocks: a voice message being recorded, the
// greeting file, or one of the program's WAVE resources. Its format is the CSoundFormat base.
class CWaveFile : public CSoundFormat {
public:
    enum class Source : uint32_t { File = 1, Resource = 2 };
    enum class Mode : uint32_t { Failed = 0, Reading = 1, Writing = 2 };

    // With a format: created for writing in that format; without: opened for reading.
    explicit CWaveFile(const std::string& path, const platform::WAVEFORMATEX* format = nullptr);
    explicit CWaveFile(uint32_t resourceId, const platform::WAVEFORMATEX* format = nullptr);
    ~CWaveFile() override;
    CWaveFile(const CWaveFile&) = delete;
    CWaveFile& operator=(const CWaveFile&) = delete;

    bool IsOpen() const { return m_mode != Mode::Failed; }
    bool IsWriting() const { return m_mode == Mode::Writing; }
    bool Read(CSoundBuffer* buffer);
    bool Write(CSoundBuffer* buffer);
    // Writing: drops every sample after the first `samples`; the file reads as a whole WAV at
    // every moment of the cut. True when samples were dropped.
    bool KeepSamples(uint32_t samples);
    void Close();

private:
    void Begin(const platform::WAVEFORMATEX* format);
    bool Create();
    bool Open();
    bool Refuse(const char* message);
    bool WriteSizes();

    std::vector<uint8_t> m_resourceCopy;
    Source m_source;
    RiffFile m_file;
    std::string m_path;
    uint32_t m_resourceId = 0;
    Mode m_mode = Mode::Failed;
    RiffFile::Chunk m_riff;
    RiffFile::Chunk m_chunk;
    uint64_t m_dataEnd = 0;    // reading: where the samples end
    uint32_t m_dataBytes = 0;  // writing: sample bytes so far
};

#pragma once
// 8 kHz 16-bit mono PCM WAV files, as the telephone line carries them.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Reads the samples of an 8000 Hz, 16-bit, mono PCM WAV; false with a reason otherwise.
bool readWav(const std::string& path, std::vector<int16_t>& samples, std::string& error);

class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path);
    void write(const int16_t* samples, size_t count);
    // Fills in the RIFF and data sizes; false when a write failed.
    bool close();

private:
    std::FILE* m_file = nullptr;
    uint32_t m_dataBytes = 0;
    bool m_failed = false;
};

#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// Writes what the line brought as an 8 kHz 16-bit mono PCM WAV with a 16-byte fmt chunk.
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

#include "tools/call/wav_file.h"

#include <algorithm>
#include <cstring>

#include "platform/little_endian.h"

namespace {

constexpr uint32_t kSampleRate = 8000;
constexpr uint16_t kFormatPcm = 1;
constexpr size_t kHeaderBytes = 44;
constexpr uint64_t kRiffHeaderBytes = 12;  // "RIFF", size, "WAVE"
constexpr uint64_t kChunkHeaderBytes = 8;  // id, size

using platform::GetLe16;
using platform::GetLe32;
using platform::PutLe16;
using platform::PutLe32;

}  // namespace

bool readWav(const std::string& path, std::vector<int16_t>& samples, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "cannot open " + path;
        return false;
    }
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    if (data.size() < kRiffHeaderBytes || std::memcmp(data.data(), "RIFF", 4) != 0 ||
        std::memcmp(data.data() + 8, "WAVE", 4) != 0) {
        error = path + " is not a RIFF WAVE file";
        return false;
    }
    bool haveFormat = false;
    // 64 bits: a chunk size near 4 GiB must not wrap the position back onto the same chunk.
    uint64_t pos = kRiffHeaderBytes;
    while (pos + kChunkHeaderBytes <= data.size()) {
        const uint64_t size = GetLe32(data.data() + pos + 4);
        // Pointer arithmetic, not data[]: a chunk header may end exactly at the end of the file.
        const uint8_t* body = data.data() + pos + kChunkHeaderBytes;
        const size_t avail =
            size_t(std::min<uint64_t>(size, data.size() - pos - kChunkHeaderBytes));
        if (std::memcmp(&data[pos], "fmt ", 4) == 0 && avail >= 16) {
            if (GetLe16(body) != kFormatPcm || GetLe16(body + 2) != 1 ||
                GetLe32(body + 4) != kSampleRate || GetLe16(body + 14) != 16) {
                error = path +
                        " is not 8000 Hz 16-bit mono PCM (convert it: sox in.wav -r 8000 -b 16 -c "
                        "1 out.wav)";
                return false;
            }
            haveFormat = true;
        } else if (std::memcmp(&data[pos], "data", 4) == 0 && haveFormat) {
            samples.resize(avail / 2);
            for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(GetLe16(body + 2 * i));
            return true;
        }
        pos += kChunkHeaderBytes + size + (size & 1);
    }
    error = path + " has no fmt and data chunks";
    return false;
}

WavWriter::~WavWriter() { close(); }

bool WavWriter::open(const std::string& path) {
    m_file = std::fopen(path.c_str(), "wb");
    if (!m_file) return false;
    uint8_t header[kHeaderBytes] = {};
    m_failed = std::fwrite(header, 1, sizeof(header), m_file) != sizeof(header);
    return !m_failed;
}

void WavWriter::write(const int16_t* samples, size_t count) {
    if (!m_file) return;
    for (size_t i = 0; i < count; ++i) {
        uint8_t b[2];
        PutLe16(b, uint16_t(samples[i]));
        if (std::fwrite(b, 1, 2, m_file) != 2) m_failed = true;
    }
    m_dataBytes += uint32_t(count * 2);
}

bool WavWriter::close() {
    if (!m_file) return !m_failed;
    uint8_t h[kHeaderBytes];
    std::memcpy(h, "RIFF", 4);
    PutLe32(h + 4, 36 + m_dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    PutLe32(h + 16, 16);
    PutLe16(h + 20, kFormatPcm);
    PutLe16(h + 22, 1);
    PutLe32(h + 24, kSampleRate);
    PutLe32(h + 28, kSampleRate * 2);
    PutLe16(h + 32, 2);
    PutLe16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    PutLe32(h + 40, m_dataBytes);
    if (std::fseek(m_file, 0, SEEK_SET) != 0 || std::fwrite(h, 1, sizeof(h), m_file) != sizeof(h))
        m_failed = true;
    if (std::fclose(m_file) != 0) m_failed = true;
    m_file = nullptr;
    return !m_failed;
}

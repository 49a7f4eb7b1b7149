#include "tools/call/wav_writer.h"

#include <cstring>

#include "line_protocol/line_protocol.h"
#include "platform/little_endian.h"

namespace {

constexpr uint32_t kSampleRate = line_protocol::kSampleRate;
constexpr uint16_t kFormatPcm = 1;
constexpr size_t kHeaderBytes = 44;

using platform::PutLe16;
using platform::PutLe32;

}  // namespace

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

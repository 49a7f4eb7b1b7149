#include "audio/riff_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/little_endian.h"

namespace {

constexpr uint32_t kChunkHeaderBytes = 8;
constexpr uint32_t kFormTypeBytes = 4;

}  // namespace

RiffFile::~RiffFile() { Close(); }

// Only a regular file: opening a FIFO (or a device) would block until a writer comes, and
// reading one at offsets is impossible anyway.
bool RiffFile::OpenRead(const std::string& path) {
    if (IsOpen()) return false;
    m_position = 0;
    m_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) return false;
    struct stat info {};
    if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        Close();
        return false;
    }
    return true;
}

bool RiffFile::OpenMemory(const uint8_t* bytes, size_t size) {
    if (IsOpen() || !bytes) return false;
    m_memory = bytes;
    m_memorySize = size;
    m_position = 0;
    return true;
}

bool RiffFile::Create(const std::string& path) {
    if (IsOpen()) return false;
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    m_position = 0;
    return m_fd >= 0;
}

void RiffFile::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_memory = nullptr;
    m_memorySize = 0;
    m_position = 0;
}

uint64_t RiffFile::Size() const {
    if (m_memory) return m_memorySize;
    struct stat info {};
    if (m_fd < 0 || ::fstat(m_fd, &info) != 0) return 0;
    return static_cast<uint64_t>(info.st_size);
}

int64_t RiffFile::Read(void* to, size_t bytes) {
    if (m_memory) {
        uint64_t left = m_position < m_memorySize ? m_memorySize - m_position : 0;
        size_t count = bytes < left ? bytes : static_cast<size_t>(left);
        std::memcpy(to, m_memory + m_position, count);
        m_position += count;
        return static_cast<int64_t>(count);
    }
    if (m_fd < 0) return -1;
    ssize_t got;
    do {
        got = ::pread(m_fd, to, bytes, static_cast<off_t>(m_position));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return -1;
    m_position += static_cast<uint64_t>(got);
    return got;
}

bool RiffFile::Truncate(uint64_t size) {
    if (m_fd < 0) return false;
    while (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool RiffFile::WriteAt(uint64_t offset, const void* from, size_t bytes) {
    if (m_fd < 0) return false;
    const auto* next = static_cast<const uint8_t*>(from);
    while (bytes > 0) {
        ssize_t written = ::pwrite(m_fd, next, bytes, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        next += written;
        offset += static_cast<uint64_t>(written);
        bytes -= static_cast<size_t>(written);
    }
    return true;
}

bool RiffFile::Write(const void* from, size_t bytes) {
    if (!WriteAt(m_position, from, bytes)) return false;
    m_position += bytes;
    return true;
}

bool RiffFile::Descend(Chunk& chunk, uint32_t id, uint64_t limit, uint32_t form) {
    uint64_t at = m_position;
    while (at + kChunkHeaderBytes <= limit) {
        uint8_t header[kChunkHeaderBytes + kFormTypeBytes] = {};
        m_position = at;
        int64_t got = Read(header, sizeof header);
        if (got < static_cast<int64_t>(kChunkHeaderBytes)) return false;
        Chunk found;
        found.id = platform::GetLe32(header);
        found.size = platform::GetLe32(header + 4);
        found.start = at + kChunkHeaderBytes;
        found.end = found.start + found.size;
        bool isForm = found.id == FourCC("RIFF") || found.id == FourCC("LIST");
        if (isForm && got == static_cast<int64_t>(sizeof header)) {
            found.form = platform::GetLe32(header + kChunkHeaderBytes);
            found.start += kFormTypeBytes;
        }
        if (found.id == id && (form == 0 || found.form == form)) {
            chunk = found;
            m_position = found.start;
            return true;
        }
        at = found.end + (found.size & 1);
    }
    m_position = at;
    return false;
}

bool RiffFile::Ascend(const Chunk& chunk) {
    uint64_t after = chunk.end + (chunk.size & 1);
    if (chunk.end > Size()) return false;
    m_position = after;
    return true;
}

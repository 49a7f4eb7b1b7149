#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Unbuffered RIFF file access over a file or bytes in memory: sequential reads and writes,
// and the chunk search of the classic RIFF I/O (the first chunk of an id from the current
// position, inside a parent's bounds).
class RiffFile {
public:
    struct Chunk {
        uint32_t id = 0;
        uint32_t size = 0;   // as the chunk header says
        uint32_t form = 0;   // RIFF and LIST chunks: the form type
        uint64_t start = 0;  // first byte after the header (after the form type for RIFF)
        uint64_t end = 0;    // one past the chunk's last data byte
    };

    static constexpr uint32_t FourCC(const char (&code)[5]) {
        return uint32_t(uint8_t(code[0])) | uint32_t(uint8_t(code[1])) << 8 |
               uint32_t(uint8_t(code[2])) << 16 | uint32_t(uint8_t(code[3])) << 24;
    }

    RiffFile() = default;
    ~RiffFile();
    RiffFile(const RiffFile&) = delete;
    RiffFile& operator=(const RiffFile&) = delete;

    // Regular files only, opened without blocking.
    bool OpenRead(const std::string& path);
    // The bytes stay the caller's and must outlive the open file.
    bool OpenMemory(const uint8_t* bytes, size_t size);
    bool Create(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0 || m_memory != nullptr; }

    // Finds the next chunk `id` (for RIFF also with form type `form`) that starts before
    // `limit`, and positions after its header.
    bool Descend(Chunk& chunk, uint32_t id, uint64_t limit, uint32_t form = 0);
    // Positions after the chunk and its pad byte; false when that lies past the end.
    bool Ascend(const Chunk& chunk);

    // Bytes read (0 at the end), or -1 on an error.
    int64_t Read(void* to, size_t bytes);
    bool Write(const void* from, size_t bytes);
    bool WriteAt(uint64_t offset, const void* from, size_t bytes);
    // A file opened by Create ends at `size`; the position stays where it was.
    bool Truncate(uint64_t size);
    uint64_t Position() const { return m_position; }
    uint64_t Size() const;

private:
    int m_fd = -1;
    const uint8_t* m_memory = nullptr;
    size_t m_memorySize = 0;
    uint64_t m_position = 0;
};

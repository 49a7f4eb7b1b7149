#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum class FileMode { kRead, kCreate };

// One unbuffered file handle: every write reaches the system at once, so failures show where
// they happen and not at a later flush.
class CBinaryFile {
public:
    CBinaryFile() = default;
    ~CBinaryFile();
    CBinaryFile(const CBinaryFile&) = delete;
    CBinaryFile& operator=(const CBinaryFile&) = delete;

    // kCreate creates or truncates the file.
    bool Open(const std::string& path, FileMode mode);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // Absolute seek; returns the new position, or -1.
    int64_t Seek(int64_t position);
    // Size of the open file, or -1.
    int64_t Size() const;
    // Returns the number of bytes read (fewer at the end of the file), or -1.
    int64_t Read(void* buffer, size_t count);
    // True only when all bytes were written.
    bool Write(const void* data, size_t count);

    static bool Remove(const std::string& path);

private:
    int m_fd = -1;
};

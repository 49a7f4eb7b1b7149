#include "tiff/binary_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

CBinaryFile::~CBinaryFile() { Close(); }

bool CBinaryFile::Open(const std::string& path, FileMode mode) {
    Close();
    const int flags = mode == FileMode::kRead ? O_RDONLY : (O_WRONLY | O_CREAT | O_TRUNC);
    m_fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    return m_fd >= 0;
}

void CBinaryFile::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

int64_t CBinaryFile::Seek(int64_t position) {
    if (m_fd < 0) return -1;
    return ::lseek(m_fd, static_cast<off_t>(position), SEEK_SET);
}

int64_t CBinaryFile::Size() const {
    struct stat info {};
    if (m_fd < 0 || ::fstat(m_fd, &info) != 0) return -1;
    return info.st_size;
}

int64_t CBinaryFile::Read(void* buffer, size_t count) {
    if (m_fd < 0) return -1;
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(m_fd, out + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool CBinaryFile::Write(const void* data, size_t count) {
    if (m_fd < 0) return false;
    const auto* in = static_cast<const char*>(data);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_fd, in + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CBinaryFile::Remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

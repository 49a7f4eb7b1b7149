#include "fax/raw_page_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "fax/t30_dis_dcs_bits.h"
#include "platform/little_endian.h"
#include "platform/unique_fd.h"

namespace rpf = raw_page_file;

namespace {

// Reads up to `size` bytes; the count read, or -1.
ssize_t ReadFully(int fd, void* data, size_t size) {
    char* bytes = static_cast<char*>(data);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, bytes + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

CRawPageWriter::CRawPageWriter() {
    std::memcpy(m_header + rpf::kMagicOffset, rpf::kMagic, sizeof rpf::kMagic);
}

CRawPageWriter::~CRawPageWriter() { Close(); }

bool CRawPageWriter::Create(const std::string& path) {
    Close();
    std::memset(m_header, 0, sizeof m_header);
    std::memcpy(m_header + rpf::kMagicOffset, rpf::kMagic, sizeof rpf::kMagic);
    m_nPages = 0;
    m_nDataBytes = 0;
    m_fd.reset(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return m_fd.valid();
}

void CRawPageWriter::Close() { m_fd.reset(); }

void CRawPageWriter::SetDcs(const uint8_t* field, size_t length) {
    std::memset(m_header + rpf::kDcsOffset, 0, rpf::kDcsSize);
    std::memcpy(m_header + rpf::kDcsOffset, field, std::min(length, rpf::kDcsSize));
}

void CRawPageWriter::SetTsi(const uint8_t* characters, size_t length) {
    std::memset(m_header + rpf::kTsiOffset, 0, rpf::kTsiSize);
    std::memcpy(m_header + rpf::kTsiOffset, characters, std::min(length, rpf::kTsiSize - 1));
}

bool CRawPageWriter::WriteHeader() { return WriteAt(0, m_header, rpf::kHeaderSize); }

bool CRawPageWriter::BeginPage() {
    if (m_nPages >= rpf::kPageStartSlots) return true;
    const size_t field = rpf::kPageStartsOffset + m_nPages * rpf::kPageStartSize;
    platform::PutLe32(m_header + field, m_nDataBytes);
    return WriteAt(field, m_header + field, rpf::kPageStartSize);
}

bool CRawPageWriter::AppendData(const void* data, size_t size) {
    if (size == 0) return true;
    if (!WriteAt(rpf::kDataOffset + uint64_t{m_nDataBytes}, data, size)) return false;
    m_nDataBytes += static_cast<uint32_t>(size);
    return true;
}

bool CRawPageWriter::EndPage() {
    if (Full()) return false;
    ++m_nPages;
    m_header[rpf::kPageCountOffset] = static_cast<uint8_t>(m_nPages);
    platform::PutLe32(m_header + rpf::kDataLengthOffset, m_nDataBytes);
    return WriteAt(rpf::kPageCountOffset, m_header + rpf::kPageCountOffset, 1) &&
           WriteAt(rpf::kDataLengthOffset, m_header + rpf::kDataLengthOffset, 4);
}

bool CRawPageWriter::WriteAt(uint64_t offset, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = pwrite(m_fd.get(), bytes, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        offset += static_cast<uint64_t>(written);
        size -= static_cast<size_t>(written);
    }
    return true;
}

RawReadError CRawPageReader::ReadHeaderFrom(int fd) {
    std::memset(m_header, 0, sizeof m_header);
    const ssize_t got = ReadFully(fd, m_header, sizeof m_header);
    if (got < static_cast<ssize_t>(rpf::kDcsOffset + rpf::kDcsSize)) return RawReadError::kShortDcs;
    if (got <= static_cast<ssize_t>(rpf::kPageCountOffset)) return RawReadError::kShortPageCount;
    if (got < static_cast<ssize_t>(rpf::kHeaderSize)) return RawReadError::kShortDataLength;
    return RawReadError::kNone;
}

RawReadError CRawPageReader::ReadHeader(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return RawReadError::kOpen;
    return ReadHeaderFrom(fd.get());
}

RawReadError CRawPageReader::Read(const std::string& path, size_t padding) {
    std::vector<uint8_t>().swap(m_data);
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return RawReadError::kOpen;
    const RawReadError header = ReadHeaderFrom(fd.get());
    if (header != RawReadError::kNone) return header;
    // A damaged length field must not make us allocate gigabytes for data that is not there.
    struct stat info {};
    const uint32_t length = DataLength();
    if (fstat(fd.get(), &info) != 0 ||
        info.st_size - static_cast<off_t>(rpf::kDataOffset) < static_cast<off_t>(length)) {
        return RawReadError::kShortData;
    }
    try {
        m_data.assign(uint64_t{length} + padding, 0);
    } catch (const std::bad_alloc&) {
        return RawReadError::kNoMemory;
    }
    if (ReadFully(fd.get(), m_data.data(), length) != static_cast<ssize_t>(length)) {
        std::vector<uint8_t>().swap(m_data);
        return RawReadError::kShortData;
    }
    return RawReadError::kNone;
}

bool CRawPageReader::FineResolution() const {
    return t30_bits::IsSet(Dcs(), rpf::kDcsSize, t30_bits::kFineResolution);
}

uint32_t CRawPageReader::DataLength() const {
    return platform::GetLe32(m_header + rpf::kDataLengthOffset);
}

std::vector<uint32_t> CRawPageReader::PageStarts() const {
    std::vector<uint32_t> starts;
    const unsigned slots = std::min(PageCount(), rpf::kPageStartSlots);
    const uint32_t dataLength = DataLength();
    for (unsigned page = 0; page < slots; ++page) {
        const uint8_t* field = m_header + rpf::kPageStartsOffset + page * rpf::kPageStartSize;
        const uint32_t start = platform::GetLe32(field);
        if (page > 0 && start == 0) break;
        if (start > dataLength || (!starts.empty() && start < starts.back())) return {};
        starts.push_back(start);
    }
    return starts;
}

unsigned CRawPageReader::PageCountOf(const std::string& path) {
    CRawPageReader reader;
    return reader.ReadHeader(path) == RawReadError::kNone ? reader.PageCount() : 0;
}

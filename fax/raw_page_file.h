#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

// The raw page file between a fax call and its TIFF: a 132-byte header, then the pages' data back
// to back as the sender coded them (first bit on the line in the MSB): T.4 1-D or 2-D, or T.6, as
// the DCS in the header says. The fax session writes it, the TIFF writer reads it. Multi-byte
// fields are little-endian.
namespace raw_page_file {

constexpr char kMagic[2] = {'G', '3'};
constexpr size_t kMagicOffset = 0;
// The DCS information field in T.30 written order, zero-padded; a longer field is cut.
constexpr size_t kDcsOffset = 3;
constexpr size_t kDcsSize = 16;
// The last TSI's 20 characters as the modem delivered them (last digit first), then a 0 byte.
constexpr size_t kTsiOffset = 19;
constexpr size_t kTsiSize = 21;
constexpr size_t kPageCountOffset = 40;  // one byte
constexpr unsigned kMaxPages = 255;
// Where the data of pages 1 to 21 begin, four bytes each, counted from the start of the page
// data, so that a page whose RTC was damaged on the line ends where the next one began; 0 for a
// page after the first means not recorded. In the header's unused zeros, not after the data,
// which each new page overwrites: older files read as "not recorded", older readers skip them.
constexpr size_t kPageStartsOffset = 44;
constexpr size_t kPageStartSize = 4;
constexpr unsigned kPageStartSlots = 21;
constexpr size_t kDataLengthOffset = 128;  // four bytes: the length of the page data
constexpr size_t kHeaderSize = 132;
constexpr size_t kDataOffset = kHeaderSize;
static_assert(kPageStartsOffset + kPageStartSlots * kPageStartSize == kDataLengthOffset);

}  // namespace raw_page_file

// Writes a raw page file as a fax session receives it: the header when the DCS and TSI come,
// each page's start before its data, its count and the data length after it.
class CRawPageWriter {
public:
    CRawPageWriter();
    ~CRawPageWriter();
    CRawPageWriter(const CRawPageWriter&) = delete;
    CRawPageWriter& operator=(const CRawPageWriter&) = delete;

    // Creates (or empties) the file and starts a fresh header: nothing of an earlier fax stays.
    bool Create(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd.valid(); }

    // The header image changes here and goes to the file with WriteHeader.
    void SetDcs(const uint8_t* field, size_t length);
    // The 20 characters of a TSI in the order the modem delivered them.
    void SetTsi(const uint8_t* characters, size_t length);
    bool WriteHeader();

    // Notes that the next page's data begin at the current end of the data.
    bool BeginPage();
    bool AppendData(const void* data, size_t size);
    // Counts the page and records the data length.
    bool EndPage();

    unsigned Pages() const { return m_nPages; }
    uint32_t DataBytes() const { return m_nDataBytes; }
    bool Full() const { return m_nPages >= raw_page_file::kMaxPages; }
    const uint8_t* Dcs() const { return m_header + raw_page_file::kDcsOffset; }

private:
    bool WriteAt(uint64_t offset, const void* data, size_t size);

    UniqueFd m_fd;
    unsigned m_nPages = 0;
    uint32_t m_nDataBytes = 0;
    uint8_t m_header[raw_page_file::kHeaderSize] = {};
};

// Why a raw page file could not be read; each says which part of it was missing.
enum class RawReadError {
    kNone,
    kOpen,
    kShortDcs,
    kShortPageCount,
    kShortDataLength,
    kShortData,  // shorter than its data length says
    kNoMemory,
};

// Reads a raw page file's header and its page data.
class CRawPageReader {
public:
    // Reads the whole file; `padding` zero bytes follow the data in Data() (for readers that
    // look ahead).
    RawReadError Read(const std::string& path, size_t padding = 0);
    // The header alone, for a look at the page count.
    RawReadError ReadHeader(const std::string& path);

    const uint8_t* Dcs() const { return m_header + raw_page_file::kDcsOffset; }
    bool FineResolution() const;
    unsigned PageCount() const { return m_header[raw_page_file::kPageCountOffset]; }
    uint32_t DataLength() const;
    // The recorded page starts up to the first one not recorded; none at all when they do not
    // rise within the data, since then the header was not written by a fax session.
    std::vector<uint32_t> PageStarts() const;
    std::vector<uint8_t>& Data() { return m_data; }

    // The page count of the file at `path`; 0 when it has none or cannot be read.
    static unsigned PageCountOf(const std::string& path);

private:
    RawReadError ReadHeaderFrom(int fd);

    uint8_t m_header[raw_page_file::kHeaderSize] = {};
    std::vector<uint8_t> m_data;
};

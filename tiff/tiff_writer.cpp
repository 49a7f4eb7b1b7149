#include "tiff/tiff_writer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "fax/raw_page_file.h"
#include "platform/little_endian.h"

namespace {

// TIFF 6.0 tags written for every page, in ascending order.
constexpr uint16_t kTagNewSubfileType = 254;
constexpr uint16_t kTagImageWidth = 256;
constexpr uint16_t kTagImageLength = 257;
constexpr uint16_t kTagBitsPerSample = 258;
constexpr uint16_t kTagCompression = 259;
constexpr uint16_t kTagPhotometricInterpretation = 262;
constexpr uint16_t kTagFillOrder = 266;
constexpr uint16_t kTagStripOffsets = 273;
constexpr uint16_t kTagSamplesPerPixel = 277;
constexpr uint16_t kTagRowsPerStrip = 278;
constexpr uint16_t kTagStripByteCounts = 279;
constexpr uint16_t kTagXResolution = 282;
constexpr uint16_t kTagYResolution = 283;
constexpr uint16_t kTagT4Options = 292;
constexpr uint16_t kTagResolutionUnit = 296;

constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeRational = 5;

constexpr uint32_t kSubfileSinglePage = 0;
constexpr uint32_t kSubfileMultiPage = 2;  // "one page of a multi-page image"
constexpr uint32_t kCompressionCcittT4 = 3;
constexpr uint32_t kPhotometricWhiteIsZero = 0;
constexpr uint32_t kFillOrderMsbFirst = 1;
constexpr uint32_t kT4Options1dFillBits = 4;  // 1-D coding, EOLs end on a byte boundary
constexpr uint32_t kResolutionUnitInch = 2;

using platform::PutLe16;
using platform::PutLe32;

bool WriteLe16(CBinaryFile& file, uint16_t v) {
    uint8_t bytes[2];
    PutLe16(bytes, v);
    return file.Write(bytes, sizeof bytes);
}

bool WriteLe32(CBinaryFile& file, uint32_t v) {
    uint8_t bytes[4];
    PutLe32(bytes, v);
    return file.Write(bytes, sizeof bytes);
}

}  // namespace

CTiffWriter::CTiffWriter() { m_strip.ResetBits(); }

CTiffWriter::~CTiffWriter() = default;

void CTiffWriter::ResetRawState() {
    std::vector<uint8_t>().swap(m_rawBuffer);
    m_nPageCount = 0;
    m_pageStarts.clear();
    m_bPageEndKnown = false;
    m_input.Clear();
    m_strip.ResetBits();
}

void CTiffWriter::FreePageBuffers() {
    m_strip.FreePage();
    m_repairedStrip.FreePage();
    m_pPageStrip = &m_strip;
    std::vector<uint8_t>().swap(m_entries);
}

bool CTiffWriter::Convert(const char* rawPath, const char* tiffPath) {
    ResetRawState();
    m_nPagesInRawFile = m_nPagesWritten = m_nPagesKept = m_nFailedPage = 0;
    m_pagesWithoutRows.clear();
    m_repairedRows.clear();
    m_cutShort.clear();
    m_strTiffPath = tiffPath ? tiffPath : "";
    if (!LoadRawFile(rawPath)) {
        SetStage(TiffStage::kLoadRaw);
        return false;
    }
    if (tiffPath && m_file.Open(tiffPath, FileMode::kRead)) {
        m_file.Close();
        CBinaryFile::Remove(tiffPath);
    }
    if (!tiffPath || !m_file.Open(tiffPath, FileMode::kCreate)) {
        SetStage(TiffStage::kCreateFile);
        ResetRawState();
        return false;
    }
    m_nLastGoodIfdOffset = 0;
    m_nPagesInRawFile = m_nPageCount;
    if (!WriteHeader()) return FailConversion(TiffStage::kWriteHeader);

    m_nIfdOffset = kFirstIfdOffset;
    m_input.Reset(m_rawBuffer.data(), m_rawBuffer.size() - CBitReader::kPeekPadding);
    bool chainOpen = false;  // the last page written points at a next page not yet written
    for (unsigned page = 0; page < m_nPageCount; ++page) {
        BoundPage(page);
        bool written = false;
        if (!WritePage(written)) {
            m_nFailedPage = page + 1;
            return FailConversion(TiffStage::kNone);
        }
        // A page without rows has no image; the next page takes its place.
        if (!written) {
            m_pagesWithoutRows.push_back(page + 1);
            continue;
        }
        ++m_nPagesWritten;
        m_nLastGoodIfdOffset = m_nIfdOffset;
        chainOpen = false;
        if (page + 1 >= m_nPageCount) break;
        const int64_t nextIfdField = int64_t{m_nIfdOffset} + kNextIfdOffsetInIfd;
        if (m_file.Seek(nextIfdField) != nextIfdField) {
            return FailConversion(TiffStage::kSeekNextIfd);
        }
        const uint64_t nextIfd = uint64_t{m_nIfdOffset} + kIfdBlockBytes + m_nStripBytes;
        if (nextIfd > UINT32_MAX || !WriteLe32(m_file, static_cast<uint32_t>(nextIfd))) {
            return FailConversion(TiffStage::kWriteNextIfd);
        }
        m_nIfdOffset = static_cast<uint32_t>(nextIfd);
        chainOpen = true;
    }
    if (m_nPagesWritten == 0) return FailConversion(TiffStage::kNoImage);
    if (chainOpen && !EndChainAtLastGoodPage()) return FailConversion(TiffStage::kWriteNextIfd);
    ResetRawState();
    FreePageBuffers();
    m_file.Close();
    return true;
}

// A file that is not a valid TIFF of at least one page opens nowhere: it is removed.
bool CTiffWriter::FailConversion(TiffStage stage) {
    if (stage != TiffStage::kNone) SetStage(stage);
    m_nPagesKept = EndChainAtLastGoodPage() ? m_nPagesWritten : 0;
    ResetRawState();
    FreePageBuffers();
    m_file.Close();
    if (m_nPagesKept == 0) CBinaryFile::Remove(m_strTiffPath);
    return false;
}

// The last page written may point at an IFD that was never written (a failed or empty page
// after it); ending the chain there keeps the file a valid TIFF of the good pages.
bool CTiffWriter::EndChainAtLastGoodPage() {
    if (m_nLastGoodIfdOffset == 0) return false;
    const int64_t field = int64_t{m_nLastGoodIfdOffset} + kNextIfdOffsetInIfd;
    return m_file.Seek(field) == field && WriteLe32(m_file, 0);
}

bool CTiffWriter::FailLoad(TiffDetail detail) {
    SetDetail(detail);
    ResetRawState();
    m_file.Close();
    return false;
}

namespace {

// Each missing part of a raw file as the detail code stored faxes and tools know.
TiffDetail LoadDetail(RawReadError error) {
    switch (error) {
        case RawReadError::kNone:
            return TiffDetail::kNone;
        case RawReadError::kOpen:
            return TiffDetail::kOpenRaw;
        case RawReadError::kShortDcs:
            return TiffDetail::kReadResolution;
        case RawReadError::kShortPageCount:
            return TiffDetail::kReadPageCount;
        case RawReadError::kShortDataLength:
            return TiffDetail::kReadDataLength;
        case RawReadError::kShortData:
            return TiffDetail::kShortPageData;
        case RawReadError::kNoMemory:
            return TiffDetail::kNoMemoryPageData;
    }
    return TiffDetail::kOpenRaw;
}

}  // namespace

bool CTiffWriter::LoadRawFile(const char* path) {
    if (!path) return FailLoad(TiffDetail::kOpenRaw);
    CRawPageReader reader;
    const RawReadError error = reader.Read(path, CBitReader::kPeekPadding);
    if (error != RawReadError::kNone) return FailLoad(LoadDetail(error));
    m_nYResolution = reader.FineResolution() ? kYResolutionFineDpi : kYResolutionNormalDpi;
    m_coding = CodingFromDcs(reader.Dcs());
    m_nPageCount = static_cast<uint8_t>(reader.PageCount());
    m_pageStarts = reader.PageStarts();
    m_rawBuffer.swap(reader.Data());
    return true;
}

void CTiffWriter::BoundPage(unsigned page) {
    m_bPageEndKnown = page + 1 < m_pageStarts.size();
    if (page >= m_pageStarts.size()) return;
    const uint64_t dataBits = uint64_t{m_rawBuffer.size() - CBitReader::kPeekPadding} * 8;
    const uint64_t from = std::max(m_input.BitPosition(), uint64_t{m_pageStarts[page]} * 8);
    const uint64_t to = m_bPageEndKnown ? uint64_t{m_pageStarts[page + 1]} * 8 : dataBits;
    m_input.Restrict(from, std::max(from, to));
    // The page before stored its unfinished byte in its own strip; this one starts afresh.
    m_strip.ResetBits();
}

bool CTiffWriter::WriteHeader() {
    if (m_file.Seek(0) != 0) {
        SetDetail(TiffDetail::kSeekTiffStart);
        return false;
    }
    const uint8_t header[8] = {'I', 'I', 42, 0, kFirstIfdOffset, 0, 0, 0};
    if (!m_file.Write(header, sizeof header)) {
        SetDetail(TiffDetail::kWriteTiffHeader);
        return false;
    }
    return true;
}

bool CTiffWriter::WritePage(bool& written) {
    written = false;
    FreePageBuffers();
    m_nStripBytes = 0;
    m_nRowCount = 0;
    if (!ReframePage()) {
        SetStage(TiffStage::kReframePage);
        FreePageBuffers();
        return false;
    }
    // Readers reject an image of zero rows and with it every page after it.
    if (m_nRowCount == 0) return true;
    if (!WriteDirectory()) {
        SetStage(TiffStage::kWriteDirectory);
        FreePageBuffers();
        return false;
    }
    if (!m_file.Write(m_pPageStrip->Data(), m_nStripBytes)) {
        SetStage(TiffStage::kWriteStrip);
        FreePageBuffers();
        return false;
    }
    written = true;
    return true;
}

bool CTiffWriter::ReframePage() {
    uint32_t rows = 0;
    TranscodeResult decoded;
    ReframeResult result = ReframeResult::kNoPageData;
    if (m_coding == PageCoding::kMh) {
        result = ::ReframePage(m_input, m_strip, rows, m_reframeMethod);
    } else {
        result = TranscodePage(m_input, m_coding, m_strip, decoded);
        rows = decoded.rows;
    }
    m_cutShort.push_back(decoded.cutShort);
    switch (result) {
        case ReframeResult::kComplete:
            break;
        case ReframeResult::kIncompleteRtc:
            SetDetail(TiffDetail::kIncompleteRtc);
            break;
        case ReframeResult::kNoPageData:
        case ReframeResult::kNoEol:
            // With the next page's start known, a page without image data costs only itself.
            if (m_bPageEndKnown) {
                m_repairedRows.push_back(0);
                m_nRowCount = 0;
                return true;
            }
            SetDetail(result == ReframeResult::kNoEol ? TiffDetail::kNoEol
                                                      : TiffDetail::kNoPageData);
            return false;
        case ReframeResult::kNoMemory:
            SetDetail(TiffDetail::kNoMemoryStrip);
            return false;
    }
    // Viewers stop at a row that is too long or too short, and every row after it shifts.
    const RowRepairResult repair =
        RepairRows(m_strip.Data(), m_strip.ByteCount(), rows, m_repairedStrip);
    m_repairedRows.push_back(repair.repaired + decoded.repaired);
    if (repair.changed) {
        m_pPageStrip = &m_repairedStrip;
        rows = repair.rows;
    }
    if (m_pPageStrip->ByteCount() > UINT32_MAX) {
        SetDetail(TiffDetail::kNoMemoryStrip);
        return false;
    }
    m_nRowCount = rows;
    m_nStripBytes = static_cast<uint32_t>(m_pPageStrip->ByteCount());
    return true;
}

void CTiffWriter::FillEntries() {
    const uint32_t o = m_nIfdOffset;
    const struct {
        uint16_t tag;
        uint16_t type;
        uint32_t value;
    } entries[kIfdEntryCount] = {
        {kTagNewSubfileType, kTypeLong, m_nPageCount >= 2 ? kSubfileMultiPage : kSubfileSinglePage},
        {kTagImageWidth, kTypeLong, kImageWidth},
        {kTagImageLength, kTypeLong, m_nRowCount},
        {kTagBitsPerSample, kTypeShort, 1},
        {kTagCompression, kTypeShort, kCompressionCcittT4},
        {kTagPhotometricInterpretation, kTypeShort, kPhotometricWhiteIsZero},
        {kTagFillOrder, kTypeShort, kFillOrderMsbFirst},
        {kTagStripOffsets, kTypeLong, o + kIfdBlockBytes},
        {kTagSamplesPerPixel, kTypeShort, 1},
        {kTagRowsPerStrip, kTypeLong, m_nRowCount},
        {kTagStripByteCounts, kTypeLong, m_nStripBytes},
        {kTagXResolution, kTypeRational, o + kXResolutionOffsetInIfd},
        {kTagYResolution, kTypeRational, o + kYResolutionOffsetInIfd},
        {kTagT4Options, kTypeLong, kT4Options1dFillBits},
        {kTagResolutionUnit, kTypeShort, kResolutionUnitInch},
    };
    uint8_t* p = m_entries.data();
    for (const auto& entry : entries) {
        PutLe16(p, entry.tag);
        PutLe16(p + 2, entry.type);
        PutLe32(p + 4, 1);
        // A SHORT sits in the first two bytes of the value field, as a LONG's low half does.
        PutLe32(p + 8, entry.value);
        p += kIfdEntryBytes;
    }
}

bool CTiffWriter::WriteDirectory() {
    try {
        m_entries.assign(kIfdEntryCount * kIfdEntryBytes, 0);
    } catch (const std::bad_alloc&) {
        SetDetail(TiffDetail::kNoMemoryDirectory);
        return false;
    }
    FillEntries();
    if (m_file.Seek(m_nIfdOffset) != int64_t{m_nIfdOffset}) {
        SetDetail(TiffDetail::kSeekIfd);
        return false;
    }
    const bool written =
        WriteLe16(m_file, kIfdEntryCount) && m_file.Write(m_entries.data(), m_entries.size()) &&
        WriteLe32(m_file, 0) && WriteLe16(m_file, kXResolutionDpi) && WriteLe16(m_file, 0) &&
        WriteLe16(m_file, 1) && WriteLe16(m_file, 0) && WriteLe16(m_file, m_nYResolution) &&
        WriteLe16(m_file, 0) && WriteLe16(m_file, 1) && WriteLe16(m_file, 0);
    if (!written) {
        SetDetail(TiffDetail::kWriteIfd);
        return false;
    }
    return true;
}

#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tiff/binary_file.h"
#include "tiff/bit_reader.h"
#include "tiff/page_reframer.h"
#include "tiff/row_repair.h"
#include "tiff/strip_writer.h"
#include "tiff/tiff_codes.h"
#include "tiff/two_dim_decoder.h"

// Turns the raw page file of one received fax into a little-endian multi-page TIFF file with
// one IFD and one 1-D T.4 strip per page, in receiving order.
class CTiffWriter {
public:
    // TIFF layout.
    static constexpr uint32_t kFirstIfdOffset = 10;
    static constexpr uint16_t kIfdEntryCount = 15;
    static constexpr uint32_t kIfdEntryBytes = 12;
    static constexpr uint32_t kNextIfdOffsetInIfd = 2 + kIfdEntryCount * kIfdEntryBytes;  // 182
    static constexpr uint32_t kXResolutionOffsetInIfd = kNextIfdOffsetInIfd + 4;          // 186
    static constexpr uint32_t kYResolutionOffsetInIfd = kXResolutionOffsetInIfd + 8;      // 194
    static constexpr uint32_t kIfdBlockBytes = kYResolutionOffsetInIfd + 8;               // 202
    static constexpr uint32_t kImageWidth = 1728;
    static constexpr uint32_t kXResolutionDpi = 200;
    static constexpr uint16_t kYResolutionFineDpi = 200;
    static constexpr uint16_t kYResolutionNormalDpi = 100;

    CTiffWriter();
    virtual ~CTiffWriter();
    CTiffWriter(const CTiffWriter&) = delete;
    CTiffWriter& operator=(const CTiffWriter&) = delete;

    // True when at least one page was written. On failure the stage code, and mostly the detail
    // code, say why; the TIFF file then is a valid TIFF of the PagesKept() pages written before
    // the failure, and when there are none it is removed.
    bool Convert(const char* rawPath, const char* tiffPath);

    uint32_t StageCode() const { return m_nStage; }
    uint32_t DetailCode() const { return m_nDetail; }

    // What the last conversion did with the raw file's pages, numbered from 1.
    unsigned PagesInRawFile() const { return m_nPagesInRawFile; }
    unsigned PagesWritten() const { return m_nPagesWritten; }
    // Pages a failed conversion left in the TIFF file, which is then complete and readable.
    unsigned PagesKept() const { return m_nPagesKept; }
    // Pages without rows, left out while the conversion went on.
    const std::vector<unsigned>& PagesWithoutRows() const { return m_pagesWithoutRows; }
    // The page at which a failed conversion stopped; 0 when it did not stop at a page.
    unsigned FailedPage() const { return m_nFailedPage; }

    // Rows of each page of the raw file (numbered from 1, at index 0) that did not decode to the
    // page width and were replaced by the row above.
    const std::vector<uint32_t>& RepairedRows() const { return m_repairedRows; }

    // Per page of the raw file (index 0 is page 1): an MMR page whose data went wrong before its
    // end, stored with the rows decoded up to there.
    const std::vector<bool>& CutShort() const { return m_cutShort; }
    // How the raw file's pages were coded, from its DCS.
    PageCoding Coding() const { return m_coding; }

    // The strips come out the same either way; the run-length walk is faster.
    void SetReframeMethod(ReframeMethod method) { m_reframeMethod = method; }

private:
    void ResetRawState();
    void FreePageBuffers();
    bool LoadRawFile(const char* path);
    bool FailLoad(TiffDetail detail);
    bool WriteHeader();
    // `written` is false for a page without rows, which gets no directory.
    bool WritePage(bool& written);
    // Puts the input at the page's recorded start and ends it where the next page began.
    void BoundPage(unsigned page);
    bool ReframePage();
    bool WriteDirectory();
    void FillEntries();
    bool FailConversion(TiffStage stage);
    bool EndChainAtLastGoodPage();

    void SetStage(TiffStage stage) { m_nStage = static_cast<uint32_t>(stage); }
    void SetDetail(TiffDetail detail) { m_nDetail = static_cast<uint32_t>(detail); }

    CBinaryFile m_file;
    std::vector<uint8_t> m_rawBuffer;
    CBitReader m_input;
    CStripWriter m_strip;
    CStripWriter m_repairedStrip;
    const CStripWriter* m_pPageStrip = &m_strip;  // the strip the page is written from
    ReframeMethod m_reframeMethod = ReframeMethod::kRunLength;

    uint16_t m_nYResolution = 0;
    uint8_t m_nPageCount = 0;
    // Byte offsets into the page data where the first pages began, as the session noted them.
    std::vector<uint32_t> m_pageStarts;
    bool m_bPageEndKnown = false;  // the current page ends where the next one began
    uint32_t m_nIfdOffset = 0;
    // IFD offset of the last page written completely, 0 before the first.
    uint32_t m_nLastGoodIfdOffset = 0;

    uint32_t m_nStripBytes = 0;
    uint32_t m_nRowCount = 0;
    std::vector<uint8_t> m_entries;

    uint32_t m_nStage = 0;
    uint32_t m_nDetail = 0;

    std::string m_strTiffPath;
    unsigned m_nPagesInRawFile = 0;
    unsigned m_nPagesWritten = 0;
    unsigned m_nPagesKept = 0;
    std::vector<unsigned> m_pagesWithoutRows;
    std::vector<uint32_t> m_repairedRows;
    std::vector<bool> m_cutShort;
    PageCoding m_coding = PageCoding::kMh;
    unsigned m_nFailedPage = 0;
};

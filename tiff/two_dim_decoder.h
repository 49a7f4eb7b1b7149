#pragma once
#include <cstdint>

#include "tiff/bit_reader.h"
#include "tiff/page_reframer.h"
#include "tiff/strip_writer.h"

// How the sender coded a page: T.4 one-dimensional (MH), T.4 two-dimensional (MR, 1-D reference
// rows among 2-D rows), or T.6 (MMR, every row 2-D, no EOLs).
enum class PageCoding { kMh, kMr, kMmr };
const char* toString(PageCoding coding);

// The coding a DCS information field (T.30 written order, at least four octets) announces.
PageCoding CodingFromDcs(const uint8_t* dcs);

struct TranscodeResult {
    uint32_t rows = 0;
    uint32_t repaired = 0;  // MR rows that did not decode, or followed one in 2-D, replaced
    bool cutShort = false;  // MMR: a code error ended the page; the rows before it are kept
};

// Decodes the next MR or MMR page of `in` row by row and writes it to `out` as re-framed 1-D
// (EOL, row, EOL, row, ..., each EOL ending on a byte boundary), so that it is stored like an MH
// page. A damaged MR row is replaced by the row above (a white row before the first), and so is
// every 2-D row after it up to the next 1-D row. The reader stops after the page's RTC or EOFB.
ReframeResult TranscodePage(CBitReader& in, PageCoding coding, CStripWriter& out,
                            TranscodeResult& result);

#pragma once
#include <cstdint>

#include "tiff/strip_writer.h"

// What RepairRows did to one page.
struct RowRepairResult {
    uint32_t rows = 0;      // rows in the repaired strip
    uint32_t repaired = 0;  // rows that did not decode to the width and were replaced
    bool changed = false;   // false: the strip was right as it was, and `out` is not used
};

// Fewer bits than this between two EOLs are noise, not a line: noise in a line's fill leaves
// pieces of up to ten bits between false EOLs, while the shortest line (white, 17 bits) keeps at
// least 15 of its bits up to its last 1 when one bit is wrong.
constexpr unsigned kMinLineBits = 13;

// The width every stored page has: 1728 pixels, A4 at 8 dots per millimetre.
constexpr uint32_t kRepairLineWidth = 1728;

// Checks every row of a re-framed strip (EOL, line, EOL, line, ...; `rows` lines) against the
// Modified Huffman code tables. A line that does not decode to exactly 1728 pixels is replaced
// by the last good line (a white line before the first); the pieces of a line split by a false
// EOL become one line; bits too few to be a line are dropped; a good line followed by enough bits
// for another (an EOL destroyed) is two lines. Good lines keep their coded bits. Where anything
// changed the new strip is written to `out`.
RowRepairResult RepairRows(const uint8_t* strip, uint64_t stripBytes, uint32_t rows,
                           CStripWriter& out);

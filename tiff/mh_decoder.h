#pragma once
#include <cstdint>

// Decodes one coded line of T.4 one-dimensional (Modified Huffman) data: white and black runs
// in turn, white first, each a run of make-up codes and one terminating code.
enum class MhLine {
    kExact,    // the runs reach the width exactly, at a terminating code
    kShort,    // the bits ended first
    kLong,     // a run went past the width
    kInvalid,  // a bit pattern that is no code of its colour
};
const char* toString(MhLine line);

struct MhLineResult {
    MhLine line = MhLine::kShort;
    uint32_t pixels = 0;  // pixels decoded before the line ended or went wrong
    uint64_t endBit = 0;  // kExact: the bit after the code that completed the width
};

// Bits [beginBit, endBit) of `data`, most significant bit first.
MhLineResult DecodeMhLine(const uint8_t* data, uint64_t beginBit, uint64_t endBit, uint32_t width);

// The 64 bits from `beginBit` on, the first in the top bit; bits at or past `endBit` read as 0,
// and no byte from `endBit` on is read.
uint64_t Peek64(const uint8_t* data, uint64_t beginBit, uint64_t endBit);
// Bits [beginBit, beginBit + count) as a number, first bit highest (1 <= count <= 32); bits at or
// past `endBit` read as 0.
uint32_t PeekBits(const uint8_t* data, uint64_t beginBit, uint64_t endBit, unsigned count);

// One code of T.4 Tables 2 and 3: a terminating run (below 64) or a make-up run (a multiple of 64).
struct MhCode {
    uint32_t run = 0;
    unsigned length = 0;  // 0: no code of the colour starts at that bit, or it is cut off
};
MhCode ReadMhCode(const uint8_t* data, uint64_t at, uint64_t endBit, bool white);

// The code of a terminating or make-up run (up to 2560), its first bit highest in `bits`.
struct MhCodeBits {
    uint32_t bits = 0;
    unsigned length = 0;
};
MhCodeBits MhCodeOf(bool white, uint32_t run);

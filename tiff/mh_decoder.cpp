#include "tiff/mh_decoder.h"

#include <array>
#include <cstring>

namespace {

// T.4 Table 2: terminating codes of the runs 0 to 63.
constexpr const char* kWhiteTerminating[64] = {
    "00110101", "000111",   "0111",     "1000",     "1011",     "1100",     "1110",     "1111",
    "10011",    "10100",    "00111",    "01000",    "001000",   "000011",   "110100",   "110101",
    "101010",   "101011",   "0100111",  "0001100",  "0001000",  "0010111",  "0000011",  "0000100",
    "0101000",  "0101011",  "0010011",  "0100100",  "0011000",  "00000010", "00000011", "00011010",
    "00011011", "00010010", "00010011", "00010100", "00010101", "00010110", "00010111", "00101000",
    "00101001", "00101010", "00101011", "00101100", "00101101", "00000100", "00000101", "00001010",
    "00001011", "01010010", "01010011", "01010100", "01010101", "00100100", "00100101", "01011000",
    "01011001", "01011010", "01011011", "01001010", "01001011", "00110010", "00110011", "00110100",
};
constexpr const char* kBlackTerminating[64] = {
    "0000110111",   "010",          "11",           "10",           "011",          "0011",
    "0010",         "00011",        "000101",       "000100",       "0000100",      "0000101",
    "0000111",      "00000100",     "00000111",     "000011000",    "0000010111",   "0000011000",
    "0000001000",   "00001100111",  "00001101000",  "00001101100",  "00000110111",  "00000101000",
    "00000010111",  "00000011000",  "000011001010", "000011001011", "000011001100", "000011001101",
    "000001101000", "000001101001", "000001101010", "000001101011", "000011010010", "000011010011",
    "000011010100", "000011010101", "000011010110", "000011010111", "000001101100", "000001101101",
    "000011011010", "000011011011", "000001010100", "000001010101", "000001010110", "000001010111",
    "000001100100", "000001100101", "000001010010", "000001010011", "000000100100", "000000110111",
    "000000111000", "000000100111", "000000101000", "000001011000", "000001011001", "000000101011",
    "000000101100", "000001011010", "000001100110", "000001100111",
};
// T.4 Table 3: make-up codes of the runs 64, 128, ... 1728.
constexpr const char* kWhiteMakeUp[27] = {
    "11011",     "10010",     "010111",    "0110111",   "00110110",  "00110111",  "01100100",
    "01100101",  "01101000",  "01100111",  "011001100", "011001101", "011010010", "011010011",
    "011010100", "011010101", "011010110", "011010111", "011011000", "011011001", "011011010",
    "011011011", "010011000", "010011001", "010011010", "011000",    "010011011",
};
constexpr const char* kBlackMakeUp[27] = {
    "0000001111",    "000011001000",  "000011001001",  "000001011011",  "000000110011",
    "000000110100",  "000000110101",  "0000001101100", "0000001101101", "0000001001010",
    "0000001001011", "0000001001100", "0000001001101", "0000001110010", "0000001110011",
    "0000001110100", "0000001110101", "0000001110110", "0000001110111", "0000001010010",
    "0000001010011", "0000001010100", "0000001010101", "0000001011010", "0000001011011",
    "0000001100100", "0000001100101",
};
// T.4 Table 3, extended make-up codes of the runs 1792 to 2560, the same for both colours.
constexpr const char* kExtendedMakeUp[13] = {
    "00000001000",  "00000001100",  "00000001101",  "000000010010", "000000010011",
    "000000010100", "000000010101", "000000010110", "000000010111", "000000011100",
    "000000011101", "000000011110", "000000011111",
};
constexpr uint32_t kMakeUpStep = 64;
constexpr uint32_t kFirstExtendedRun = 1792;
constexpr unsigned kLongestCode = 13;

struct CodeEntry {
    uint16_t run = 0;
    uint8_t length = 0;  // 0: no code starts with these bits
};
using CodeTable = std::array<CodeEntry, 1u << kLongestCode>;

void AddCode(CodeTable& table, const char* code, uint32_t run) {
    const unsigned length = static_cast<unsigned>(std::strlen(code));
    uint32_t prefix = 0;
    for (unsigned i = 0; i < length; ++i) prefix = (prefix << 1) | (code[i] == '1');
    const unsigned free = kLongestCode - length;
    for (uint32_t rest = 0; rest < (1u << free); ++rest) {
        table[(prefix << free) | rest] = {static_cast<uint16_t>(run), static_cast<uint8_t>(length)};
    }
}

CodeTable BuildTable(const char* const* terminating, const char* const* makeUp) {
    CodeTable table{};
    for (uint32_t run = 0; run < 64; ++run) AddCode(table, terminating[run], run);
    for (uint32_t i = 0; i < 27; ++i) AddCode(table, makeUp[i], (i + 1) * kMakeUpStep);
    for (uint32_t i = 0; i < 13; ++i) {
        AddCode(table, kExtendedMakeUp[i], kFirstExtendedRun + i * kMakeUpStep);
    }
    return table;
}

const CodeTable& Table(bool white) {
    static const CodeTable kWhite = BuildTable(kWhiteTerminating, kWhiteMakeUp);
    static const CodeTable kBlack = BuildTable(kBlackTerminating, kBlackMakeUp);
    return white ? kWhite : kBlack;
}

}  // namespace

const char* toString(MhLine line) {
    switch (line) {
        case MhLine::kExact:
            return "exact";
        case MhLine::kShort:
            return "short";
        case MhLine::kLong:
            return "long";
        case MhLine::kInvalid:
            return "invalid";
    }
    return "unknown";
}

uint64_t Peek64(const uint8_t* data, uint64_t beginBit, uint64_t endBit) {
    if (beginBit >= endBit) return 0;
    const uint64_t first = beginBit >> 3;
    const uint64_t bytes = (endBit + 7) >> 3;  // the bytes that hold a bit before endBit
    const unsigned shift = beginBit & 7;
    uint64_t word = 0;
    uint8_t ninth = 0;
    if (first + 9 <= bytes) {
        std::memcpy(&word, data + first, sizeof word);
        word = __builtin_bswap64(word);  // first byte on the line into the top bits
        ninth = data[first + 8];
    } else {
        for (uint64_t i = first; i < first + 8; ++i) word = (word << 8) | (i < bytes ? data[i] : 0);
        if (first + 8 < bytes) ninth = data[first + 8];
    }
    if (shift != 0) word = (word << shift) | (ninth >> (8 - shift));
    const uint64_t valid = endBit - beginBit;
    if (valid < 64) word &= ~(~uint64_t{0} >> valid);
    return word;
}

uint32_t PeekBits(const uint8_t* data, uint64_t beginBit, uint64_t endBit, unsigned count) {
    return static_cast<uint32_t>(Peek64(data, beginBit, endBit) >> (64 - count));
}

MhLineResult DecodeMhLine(const uint8_t* data, uint64_t beginBit, uint64_t endBit, uint32_t width) {
    MhLineResult result;
    bool white = true;
    uint64_t at = beginBit;
    uint64_t window = 0;  // the bits from `at` on, the next in the top bit
    unsigned windowBits = 0;
    for (;;) {
        if (at >= endBit) return result;  // kShort
        if (windowBits < kLongestCode) {
            window = Peek64(data, at, endBit);
            windowBits = 64;
        }
        const CodeEntry entry = Table(white)[window >> (64 - kLongestCode)];
        if (entry.length == 0) {
            result.line = MhLine::kInvalid;
            return result;
        }
        if (at + entry.length > endBit) return result;  // a code cut off by the line's end
        at += entry.length;
        window <<= entry.length;
        windowBits -= entry.length;
        result.pixels += entry.run;
        if (result.pixels > width) {
            result.line = MhLine::kLong;
            return result;
        }
        if (entry.run >= kMakeUpStep) continue;  // a make-up code: the same colour goes on
        white = !white;
        if (result.pixels == width) {
            result.line = MhLine::kExact;
            result.endBit = at;
            return result;
        }
    }
}

MhCode ReadMhCode(const uint8_t* data, uint64_t at, uint64_t endBit, bool white) {
    const CodeEntry entry = Table(white)[PeekBits(data, at, endBit, kLongestCode)];
    if (entry.length == 0 || at + entry.length > endBit) return {};
    return {entry.run, entry.length};
}

MhCodeBits MhCodeOf(bool white, uint32_t run) {
    const char* code = nullptr;
    if (run < kMakeUpStep) {
        code = (white ? kWhiteTerminating : kBlackTerminating)[run];
    } else if (run < kFirstExtendedRun) {
        // Indexed apart from the choice of table: GCC 12's bounds check misreads the index of a
        // conditional array expression as one below zero.
        const auto& makeUp = white ? kWhiteMakeUp : kBlackMakeUp;
        code = makeUp[run / kMakeUpStep - 1];
    } else {
        code = kExtendedMakeUp[(run - kFirstExtendedRun) / kMakeUpStep];
    }
    MhCodeBits bits;
    for (; code[bits.length] != 0; ++bits.length) {
        bits.bits = (bits.bits << 1) | (code[bits.length] == '1');
    }
    return bits;
}

#include "tiff/row_repair.h"

#include <algorithm>
#include <vector>

#include "tiff/mh_decoder.h"
#include "tiff/page_reframer.h"

namespace {

// White make-up 1728 and white 0: the line put in place of a bad first line.
constexpr uint32_t kWhiteLineCode = 0b010011011'00110101;
constexpr unsigned kWhiteLineBits = 17;
constexpr unsigned kCopyChunkBits = 32;

// The bits between two EOLs of the strip.
struct Piece {
    uint64_t begin = 0;
    uint64_t dataEnd = 0;  // the bit after the last 1
    uint64_t end = 0;      // the next EOL's 1, or the end of the strip
    MhLineResult decoded;
    bool TooShort() const { return dataEnd - begin < kMinLineBits; }
    bool Good() const { return decoded.line == MhLine::kExact; }
};

// Bit i (counted from the top) set where bits i to i + 10 of `zeros` are all set.
uint64_t ElevenRuns(uint64_t zeros) {
    const uint64_t run2 = zeros & (zeros << 1);
    const uint64_t run4 = run2 & (run2 << 2);
    const uint64_t run8 = run4 & (run4 << 4);
    return run8 & (run2 << 8) & (zeros << 10);
}

// From `at` to the 1 of the next EOL (at least eleven zeros, then a 1) or the end, a word at a
// time: line data is skipped 54 bits at once while no run of eleven zeros starts in them.
Piece NextPiece(const uint8_t* strip, uint64_t at, uint64_t bits) {
    constexpr unsigned kWordBits = 64;
    constexpr unsigned kStepBits = kWordBits - (kEolZeros - 1);
    Piece piece;
    piece.begin = piece.dataEnd = at;
    piece.end = bits;
    uint64_t pos = at;
    uint64_t zeros = 0;  // the zero run that ends at `pos`
    while (pos < bits) {
        const uint64_t word = Peek64(strip, pos, bits);
        const uint64_t left = bits - pos;
        const unsigned lead = word ? static_cast<unsigned>(__builtin_clzll(word)) : kWordBits;
        if (lead >= left) break;  // no 1 left
        if (zeros + lead >= kEolZeros) {
            piece.end = pos + lead;
            break;
        }
        // The zeros this word starts with are too few for an EOL; look for eleven further on.
        const uint64_t valid = left < kWordBits ? ~(~uint64_t{0} >> left) : ~uint64_t{0};
        const uint64_t runs = ElevenRuns(~word & valid);
        if (runs != 0) {
            pos += static_cast<unsigned>(__builtin_clzll(runs));  // right after a 1
            piece.dataEnd = pos;
            zeros = 0;
            continue;
        }
        const unsigned step = left < kStepBits ? static_cast<unsigned>(left) : kStepBits;
        const uint64_t chunk = word >> (kWordBits - step);
        pos += step;
        zeros = chunk ? static_cast<unsigned>(__builtin_ctzll(chunk)) : zeros + step;
        if (chunk) piece.dataEnd = pos - zeros;
    }
    piece.decoded = DecodeMhLine(strip, piece.begin, piece.end, kRepairLineWidth);
    return piece;
}

// An EOL with one or two wrong bits: at least ten of its twelve bits are zeros.
bool StartsLikeEol(const uint8_t* strip, uint64_t at, uint64_t end) {
    constexpr unsigned kEolBits = kEolZeros + 1;
    constexpr int kMinZeros = kEolZeros - 1;
    const uint32_t bits = PeekBits(strip, at, end, kEolBits);
    return static_cast<int>(kEolBits) - __builtin_popcount(bits) >= kMinZeros;
}

class StripRebuilder {
public:
    StripRebuilder(const uint8_t* strip, CStripWriter& out) : m_strip(strip), m_out(out) {
        m_out.ResetBits();
        m_out.WriteBits(0, kEolZeros);
        m_out.WriteEolTail();
    }

    void Line(uint64_t begin, uint64_t end) {
        StartLine();
        for (uint64_t at = begin; at < end; at += kCopyChunkBits) {
            const unsigned n = static_cast<unsigned>(std::min<uint64_t>(kCopyChunkBits, end - at));
            m_out.WriteBits(PeekBits(m_strip, at, end, n), n);
        }
        m_refBegin = begin;
        m_refEnd = end;
    }

    // The last good line again, or a white line when there is none yet.
    void Repeat() {
        if (m_refEnd == 0) {
            StartLine();
            m_out.WriteBits(kWhiteLineCode, kWhiteLineBits);
        } else {
            Line(m_refBegin, m_refEnd);
        }
        ++m_repaired;
    }

    RowRepairResult Finish() {
        if (m_out.HasPendingBits()) m_out.StorePendingByte();
        RowRepairResult result;
        result.rows = m_lines;
        result.repaired = m_repaired;
        return result;
    }

private:
    void StartLine() {
        if (m_lines++ == 0) return;  // the strip's first EOL is written already
        m_out.WriteBits(0, kEolZeros);
        m_out.WriteEolTail();
    }

    const uint8_t* m_strip;
    CStripWriter& m_out;
    uint64_t m_refBegin = 0;
    uint64_t m_refEnd = 0;
    uint32_t m_lines = 0;
    uint32_t m_repaired = 0;
};

// A bad line and the bad pieces after it that fit into one line with it: a line cut by a false
// EOL. Returns the index after the last piece taken.
size_t TakeBadLine(const std::vector<Piece>& pieces, size_t first) {
    uint64_t pixels = pieces[first].decoded.pixels;
    size_t next = first + 1;
    while (next < pieces.size() && pixels < kRepairLineWidth) {
        const Piece& piece = pieces[next];
        if (piece.TooShort()) {
            ++next;
            continue;
        }
        if (piece.Good() || pixels + piece.decoded.pixels > kRepairLineWidth) break;
        pixels += piece.decoded.pixels;
        ++next;
    }
    return next;
}

}  // namespace

RowRepairResult RepairRows(const uint8_t* strip, uint64_t stripBytes, uint32_t rows,
                           CStripWriter& out) {
    const uint64_t bits = stripBytes * 8;
    std::vector<Piece> pieces;
    pieces.reserve(rows);
    Piece first = NextPiece(strip, 0, bits);  // the data before the strip's first EOL: none
    for (uint64_t at = first.end + 1; pieces.size() < rows && at <= bits;) {
        pieces.push_back(NextPiece(strip, at, bits));
        at = pieces.back().end + 1;
    }

    // A page that came through clean keeps its strip as it is.
    bool changed = pieces.size() != rows;
    for (const Piece& piece : pieces) {
        changed = changed || !piece.Good() || piece.dataEnd > piece.decoded.endBit;
    }
    if (!changed) {
        RowRepairResult result;
        result.rows = rows;
        return result;
    }

    out.BeginPage(2 * stripBytes);
    StripRebuilder rebuilt(strip, out);
    for (size_t i = 0; i < pieces.size();) {
        const Piece& piece = pieces[i];
        if (piece.TooShort()) {
            ++i;
            continue;
        }
        if (!piece.Good()) {
            i = TakeBadLine(pieces, i);
            rebuilt.Repeat();
            continue;
        }
        // The line's last code may end in zeros that the strip shares with the EOL after it.
        const uint64_t lineEnd = piece.decoded.endBit;
        rebuilt.Line(piece.begin, lineEnd);
        // Bits after a complete line: noise in its fill, a line gone wrong that came to the width
        // by chance, or the next line behind an EOL with a wrong bit.
        if (piece.dataEnd > lineEnd && piece.dataEnd - lineEnd >= kMinLineBits &&
            StartsLikeEol(strip, lineEnd, piece.end)) {
            rebuilt.Repeat();
        }
        ++i;
    }
    RowRepairResult result = rebuilt.Finish();
    result.changed = true;
    return result;
}

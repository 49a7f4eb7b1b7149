#include "tiff/page_reframer.h"

#include <algorithm>

namespace {

// Zero-run length as an 8-bit counter that stops at its top instead of wrapping: a fill run of
// 256 or more zeros must not hide the EOL that ends it.
uint8_t AddZeros(uint8_t run, uint64_t zeros) {
    return static_cast<uint8_t>(std::min<uint64_t>(255, run + zeros));
}

bool FindFirstEolBitByBit(CBitReader& in) {
    uint8_t zeros = 0;
    while (in.BitsLeft() > 0) {
        if (!in.ReadBit()) {
            zeros = AddZeros(zeros, 1);
            continue;
        }
        if (zeros >= kEolZeros) return true;
        zeros = 0;
    }
    return false;
}

bool FindFirstEolRunLength(CBitReader& in) {
    uint8_t zeros = 0;
    while (in.BitsLeft() > 0) {
        const uint64_t word = in.Peek64();
        const uint64_t lead = word ? static_cast<uint64_t>(__builtin_clzll(word)) : 64;
        if (lead >= in.BitsLeft()) {
            in.Skip(in.BitsLeft());
            return false;
        }
        if (lead == 64) {
            in.Skip(64);
            zeros = AddZeros(zeros, 64);
            continue;
        }
        in.Skip(lead + 1);
        if (AddZeros(zeros, lead) >= kEolZeros) return true;
        zeros = 0;
    }
    return false;
}

struct PageCounters {
    uint8_t zeros = 0;  // current zero run
    // Consecutive EOLs: T.4 lets fill zeros stand before any EOL, so only a 1 bit of line data
    // between two EOLs parts them.
    unsigned eolsInRow = 1;
    uint32_t rows = 1;
};

void CopyLinesBitByBit(CBitReader& in, CStripWriter& out, PageCounters& c) {
    bool eolSeen = false;
    while (in.BitsLeft() > 0 && c.eolsInRow < kRtcEols) {
        const bool bit = in.ReadBit();
        if (!bit) {
            c.zeros = AddZeros(c.zeros, 1);
        } else {
            if (c.zeros >= kEolZeros) {
                eolSeen = true;
            } else {
                c.eolsInRow = 0;
            }
            c.zeros = 0;
        }
        if (eolSeen) {
            out.WriteEolTail();
            ++c.eolsInRow;
            ++c.rows;
            eolSeen = false;
        } else if (c.zeros <= kMaxCopiedZeros) {
            out.WriteBit(bit);
        }
    }
}

// One zero run and the bit after it, exactly as CopyLinesBitByBit walks them.
void RunStep(CBitReader& in, CStripWriter& out, PageCounters& c) {
    const uint64_t word = in.Peek64();
    const uint64_t lead = word ? static_cast<uint64_t>(__builtin_clzll(word)) : 64;
    const uint64_t copyZeros =
        c.zeros >= kMaxCopiedZeros ? 0 : std::min<uint64_t>(lead, kMaxCopiedZeros - c.zeros);
    if (lead >= in.BitsLeft() || lead == 64) {
        const uint64_t zeros = std::min(lead, in.BitsLeft());
        out.WriteBits(0, static_cast<unsigned>(std::min<uint64_t>(copyZeros, zeros)));
        c.zeros = AddZeros(c.zeros, zeros);
        in.Skip(zeros);
        return;
    }
    const bool isEol = AddZeros(c.zeros, lead) >= kEolZeros;
    in.Skip(lead + 1);
    c.zeros = 0;
    if (isEol) {
        out.WriteBits(0, static_cast<unsigned>(copyZeros));
        out.WriteEolTail();
        ++c.eolsInRow;
        ++c.rows;
    } else {
        out.WriteBits(1, static_cast<unsigned>(copyZeros + 1));
        c.eolsInRow = 0;
    }
}

// Line data after the last EOL, the EOL count already 0: every bit before the zero that makes a
// run eleven long is copied as it is, at most 54 at a time (a run that starts in the last ten
// bits of a word may go on into the next). Returns false when such a run starts right here, for
// RunStep to take.
bool BulkCopy(CBitReader& in, CStripWriter& out, PageCounters& c) {
    constexpr unsigned kWordBits = 64;
    constexpr unsigned kStepBits = kWordBits - (kEolZeros - 1);
    const uint64_t left = in.BitsLeft();
    const unsigned n = left < kWordBits ? static_cast<unsigned>(left) : kWordBits;
    const uint64_t word = in.Peek64();
    const uint64_t valid = n == kWordBits ? ~uint64_t{0} : ~(~uint64_t{0} >> n);
    const uint64_t lead = word ? static_cast<uint64_t>(__builtin_clzll(word)) : kWordBits;

    unsigned stop = 0;  // bits to copy before the zero that makes the run eleven long
    if (c.zeros + std::min<uint64_t>(lead, n) >= kEolZeros) {
        stop = kEolZeros - 1 - c.zeros;
    } else {
        // Bit i of `run11` (counted from the top) is set when bits i to i + 10 are all zero.
        const uint64_t x = ~word & valid;
        const uint64_t run2 = x & (x << 1);
        const uint64_t run4 = run2 & (run2 << 2);
        const uint64_t run8 = run4 & (run4 << 4);
        const uint64_t run11 = run8 & (run2 << 8) & (x << 10);
        stop = run11 ? static_cast<unsigned>(__builtin_clzll(run11)) + kEolZeros - 1 : n;
        stop = std::min(stop, kStepBits);  // the writer takes at most 56 bits at once
    }
    if (stop == 0) return false;

    const uint64_t chunk = word >> (kWordBits - stop);
    out.WriteBits(chunk, stop);
    c.zeros = chunk ? static_cast<uint8_t>(__builtin_ctzll(chunk)) : AddZeros(c.zeros, stop);
    in.Skip(stop);
    return true;
}

// The same walk as CopyLinesBitByBit, a zero run or a stretch of line data per step.
void CopyLinesRunLength(CBitReader& in, CStripWriter& out, PageCounters& c) {
    while (in.BitsLeft() > 0 && c.eolsInRow < kRtcEols) {
        if (c.eolsInRow == 0 && c.zeros < kEolZeros && BulkCopy(in, out, c)) continue;
        RunStep(in, out, c);
    }
}

}  // namespace

const char* toString(ReframeMethod method) {
    switch (method) {
        case ReframeMethod::kBitByBit:
            return "bit by bit";
        case ReframeMethod::kRunLength:
            return "run length";
    }
    return "unknown";
}

const char* toString(ReframeResult result) {
    switch (result) {
        case ReframeResult::kComplete:
            return "complete";
        case ReframeResult::kIncompleteRtc:
            return "incomplete RTC";
        case ReframeResult::kNoPageData:
            return "no page data";
        case ReframeResult::kNoMemory:
            return "no memory";
        case ReframeResult::kNoEol:
            return "no EOL";
    }
    return "unknown";
}

ReframeResult ReframePage(CBitReader& in, CStripWriter& out, uint32_t& rowCount,
                          ReframeMethod method) {
    rowCount = 0;
    if (in.BitsLeft() == 0) return ReframeResult::kNoPageData;
    if (!out.BeginPage(2 * in.BytesLeft())) return ReframeResult::kNoMemory;

    const bool found =
        method == ReframeMethod::kBitByBit ? FindFirstEolBitByBit(in) : FindFirstEolRunLength(in);
    if (!found) return ReframeResult::kNoEol;

    out.WriteBits(0, kEolZeros);
    out.WriteEolTail();
    PageCounters counters;
    if (method == ReframeMethod::kBitByBit) {
        CopyLinesBitByBit(in, out, counters);
    } else {
        CopyLinesRunLength(in, out, counters);
    }

    if (out.HasPendingBits()) out.StorePendingByte();
    // The last e EOLs go: rows lose e, the strip 2e - 1 bytes, the last of which holds the 1 of
    // the EOL after the last line. With e = 0 that is one byte more, a zero.
    const unsigned e = counters.eolsInRow;
    rowCount = counters.rows - e;
    out.SetByteCount(out.ByteCount() + 1 - 2 * uint64_t{e});
    return e == kRtcEols ? ReframeResult::kComplete : ReframeResult::kIncompleteRtc;
}

#include "tiff/two_dim_decoder.h"

#include <algorithm>
#include <vector>

#include "fax/t30_dis_dcs_bits.h"
#include "tiff/mh_decoder.h"
#include "tiff/row_repair.h"

namespace {

// The DCS field's first four octets: up to bit 32.
constexpr size_t kDcsOctetsLookedAt = t30_bits::OctetsFor(t30_bits::kExtendTo40);

bool DcsBit(const uint8_t* dcs, unsigned bit) {
    return t30_bits::IsSet(dcs, kDcsOctetsLookedAt, bit);
}

constexpr uint32_t kWidth = kRepairLineWidth;
constexpr uint32_t kMakeUpStep = 64;
constexpr uint32_t kLongestMakeUp = 2560;
// T.6 end of facsimile block: two EOLs.
constexpr uint32_t kEofb = 0x001001;
constexpr unsigned kEofbBits = 24;

// The columns where a row's colour changes, the first to black.
using Changes = std::vector<uint32_t>;

// T.4 Table 4, the 2-D mode codes, looked up by their first seven bits.
enum class Mode { kPass, kHorizontal, kVertical, kInvalid };
struct ModeCode {
    Mode mode = Mode::kInvalid;
    int offset = 0;  // vertical: a1 - b1
    unsigned length = 0;
};

ModeCode ReadMode(const uint8_t* data, uint64_t at, uint64_t end) {
    const uint32_t bits = PeekBits(data, at, end, 7);
    ModeCode code;
    if (bits >> 6 == 0b1) {
        code = {Mode::kVertical, 0, 1};
    } else if (bits >> 4 == 0b011) {
        code = {Mode::kVertical, 1, 3};
    } else if (bits >> 4 == 0b010) {
        code = {Mode::kVertical, -1, 3};
    } else if (bits >> 4 == 0b001) {
        code = {Mode::kHorizontal, 0, 3};
    } else if (bits >> 3 == 0b0001) {
        code = {Mode::kPass, 0, 4};
    } else if (bits >> 1 == 0b000011) {
        code = {Mode::kVertical, 2, 6};
    } else if (bits >> 1 == 0b000010) {
        code = {Mode::kVertical, -2, 6};
    } else if (bits == 0b0000011) {
        code = {Mode::kVertical, 3, 7};
    } else if (bits == 0b0000010) {
        code = {Mode::kVertical, -3, 7};
    }
    if (at + code.length > end) code.mode = Mode::kInvalid;
    return code;
}

// One run of make-up codes and a terminating code; false on a code error.
bool ReadRun(const uint8_t* data, uint64_t& at, uint64_t end, bool white, uint32_t& run) {
    run = 0;
    for (;;) {
        const MhCode code = ReadMhCode(data, at, end, white);
        if (code.length == 0) return false;
        at += code.length;
        run += code.run;
        if (run > kWidth) return false;
        if (code.run < kMakeUpStep) return true;
    }
}

// A change at the column of the one before cancels it: a run of no pixels.
void AddChange(Changes& row, uint32_t column) {
    if (!row.empty() && row.back() == column) {
        row.pop_back();
    } else {
        row.push_back(column);
    }
}

bool Decode1dRow(const uint8_t* data, uint64_t& at, uint64_t end, Changes& row) {
    row.clear();
    uint32_t column = 0;
    for (bool white = true;; white = !white) {
        uint32_t run = 0;
        if (!ReadRun(data, at, end, white, run)) return false;
        column += run;
        if (column > kWidth) return false;
        if (column == kWidth) return true;
        AddChange(row, column);
    }
}

// The reference row's changes followed by the width, as b1 and b2 beyond its last change.
class ReferenceRow {
public:
    explicit ReferenceRow(const Changes& row) : m_changes(row) {
        m_changes.insert(m_changes.end(), 3, kWidth);
    }
    // The first change right of a0 to the colour opposite a0's (even index: to black).
    size_t FindB1(int64_t a0, bool white) {
        while (m_at > 0 && int64_t{m_changes[m_at - 1]} > a0) --m_at;
        while (m_at + 2 < m_changes.size() && int64_t{m_changes[m_at]} <= a0) ++m_at;
        if ((m_at % 2 == 0) != white) ++m_at;
        return m_at;
    }
    uint32_t operator[](size_t i) const { return m_changes[std::min(i, m_changes.size() - 1)]; }

private:
    Changes m_changes;
    size_t m_at = 0;
};

bool Decode2dRow(const uint8_t* data, uint64_t& at, uint64_t end, const Changes& reference,
                 Changes& row) {
    row.clear();
    ReferenceRow ref(reference);
    int64_t a0 = -1;  // the imaginary white column before the row
    bool white = true;
    while (a0 < int64_t{kWidth}) {
        const ModeCode code = ReadMode(data, at, end);
        if (code.mode == Mode::kInvalid) return false;
        at += code.length;
        const size_t b1 = ref.FindB1(a0, white);
        const int64_t start = std::max<int64_t>(a0, 0);
        if (code.mode == Mode::kPass) {
            a0 = ref[b1 + 1];
            continue;
        }
        if (code.mode == Mode::kHorizontal) {
            uint32_t first = 0, second = 0;
            if (!ReadRun(data, at, end, white, first) || !ReadRun(data, at, end, !white, second)) {
                return false;
            }
            const int64_t a1 = start + first, a2 = a1 + second;
            if (a2 > int64_t{kWidth}) return false;
            if (a1 < kWidth) AddChange(row, static_cast<uint32_t>(a1));
            if (a2 < kWidth) AddChange(row, static_cast<uint32_t>(a2));
            a0 = a2;
            continue;
        }
        const int64_t a1 = int64_t{ref[b1]} + code.offset;
        if (a1 < start || a1 > int64_t{kWidth}) return false;
        if (a1 < kWidth) AddChange(row, static_cast<uint32_t>(a1));
        a0 = a1;
        white = !white;
    }
    return a0 == int64_t{kWidth};
}

void WriteRun(CStripWriter& out, bool white, uint32_t run) {
    while (run >= kMakeUpStep) {
        const uint32_t makeUp = std::min(run / kMakeUpStep * kMakeUpStep, kLongestMakeUp);
        const MhCodeBits code = MhCodeOf(white, makeUp);
        out.WriteBits(code.bits, code.length);
        run -= makeUp;
    }
    const MhCodeBits code = MhCodeOf(white, run);
    out.WriteBits(code.bits, code.length);
}

// The decoded rows as a re-framed MH strip: EOL, row, EOL, row, ...
class MhStripBuilder {
public:
    explicit MhStripBuilder(CStripWriter& out) : m_out(out) {}

    void Row(const Changes& row) {
        m_out.WriteBits(0, kEolZeros);
        m_out.WriteEolTail();
        uint32_t column = 0;
        bool white = true;
        for (uint32_t change : row) {
            WriteRun(m_out, white, change - column);
            column = change;
            white = !white;
        }
        WriteRun(m_out, white, kWidth - column);
        m_lastGood = row;
        ++m_rows;
    }
    void RepeatRow() {
        const Changes last = m_lastGood;
        Row(last);
    }
    uint32_t Finish() {
        if (m_out.HasPendingBits()) m_out.StorePendingByte();
        return m_rows;
    }

private:
    CStripWriter& m_out;
    Changes m_lastGood;  // empty: a white row
    uint32_t m_rows = 0;
};

// The bit after the 1 of the next EOL from `at` on, or `end` when there is none.
uint64_t NextEolEnd(const uint8_t* data, uint64_t at, uint64_t end) {
    uint64_t zeros = 0;
    while (at < end) {
        const uint64_t word = Peek64(data, at, end);
        const uint64_t lead = word ? static_cast<uint64_t>(__builtin_clzll(word)) : 64;
        if (lead >= end - at) return end;
        if (lead == 64) {
            zeros += 64;
            at += 64;
            continue;
        }
        at += lead + 1;
        if (zeros + lead >= kEolZeros) return at;
        zeros = 0;
    }
    return end;
}

// Only zeros from `at` to `end`.
bool OnlyZeros(const uint8_t* data, uint64_t at, uint64_t end) {
    for (; at < end; at += 64) {
        if (Peek64(data, at, end) != 0) return false;
    }
    return true;
}

// Bits after a complete row that start like an EOL with a wrong bit or two and are enough for
// a tag and a row: at least ten of the first twelve are zeros.
bool RowFollows(const uint8_t* data, uint64_t at, uint64_t lineEnd) {
    constexpr unsigned kEolBits = kEolZeros + 1;
    constexpr int kMinZeros = kEolZeros - 1;
    if (lineEnd - at < kMinLineBits || OnlyZeros(data, at, lineEnd)) return false;
    const uint32_t bits = PeekBits(data, at, lineEnd, kEolBits);
    return static_cast<int>(kEolBits) - __builtin_popcount(bits) >= kMinZeros;
}

ReframeResult TranscodeMr(CBitReader& in, MhStripBuilder& strip, TranscodeResult& result) {
    const uint8_t* data = in.Data();
    const uint64_t end = in.BitPosition() + in.BitsLeft();
    uint64_t at = NextEolEnd(data, in.BitPosition(), end);
    if (at == end) {
        in.Skip(in.BitsLeft());
        return ReframeResult::kNoEol;
    }
    Changes reference, row;  // the first reference row is white
    bool referenceGood = true;
    unsigned eolsInRow = 1;
    while (at < end && eolsInRow < kRtcEols) {
        const uint64_t next = NextEolEnd(data, at, end);
        const uint64_t lineEnd = next == end ? end : next - (kEolZeros + 1);
        const bool oneDimensional = PeekBits(data, at, end, 1) == 1;
        if (OnlyZeros(data, at + 1, lineEnd)) {
            ++eolsInRow;  // no row: one of the RTC's EOLs, or fill
            at = next;
            continue;
        }
        eolsInRow = 1;
        uint64_t pos = at + 1;
        const bool good = oneDimensional
                              ? Decode1dRow(data, pos, lineEnd, row)
                              : referenceGood && Decode2dRow(data, pos, lineEnd, reference, row);
        if (good) {
            strip.Row(row);
            reference.swap(row);
        } else {
            strip.RepeatRow();
            ++result.repaired;
        }
        referenceGood = good;
        // Another row behind this one: its EOL was damaged, and the row is lost.
        if (good && RowFollows(data, pos, lineEnd)) {
            strip.RepeatRow();
            ++result.repaired;
            referenceGood = false;
        }
        at = next;
    }
    in.Skip(std::min(at, end) - in.BitPosition());
    return eolsInRow >= kRtcEols ? ReframeResult::kComplete : ReframeResult::kIncompleteRtc;
}

ReframeResult TranscodeMmr(CBitReader& in, MhStripBuilder& strip, TranscodeResult& result) {
    const uint8_t* data = in.Data();
    const uint64_t end = in.BitPosition() + in.BitsLeft();
    uint64_t at = in.BitPosition();
    Changes reference, row;
    ReframeResult ending = ReframeResult::kIncompleteRtc;
    while (at < end) {
        if (end - at >= kEofbBits && PeekBits(data, at, end, kEofbBits) == kEofb) {
            at += kEofbBits;
            // The session stores each page from a byte boundary: the zeros up to it are fill.
            const uint64_t nextByte = std::min(end, (at + 7) / 8 * 8);
            if (OnlyZeros(data, at, nextByte)) at = nextByte;
            ending = ReframeResult::kComplete;
            break;
        }
        uint64_t pos = at;
        if (!Decode2dRow(data, pos, end, reference, row)) {
            result.cutShort = !OnlyZeros(data, at, end);
            at = end;
            break;
        }
        strip.Row(row);
        reference.swap(row);
        at = pos;
    }
    in.Skip(at - in.BitPosition());
    return ending;
}

}  // namespace

const char* toString(PageCoding coding) {
    switch (coding) {
        case PageCoding::kMh:
            return "MH";
        case PageCoding::kMr:
            return "MR";
        case PageCoding::kMmr:
            return "MMR";
    }
    return "unknown";
}

PageCoding CodingFromDcs(const uint8_t* dcs) {
    if (DcsBit(dcs, t30_bits::kExtendTo32) && DcsBit(dcs, t30_bits::kT6)) return PageCoding::kMmr;
    if (DcsBit(dcs, t30_bits::kTwoDimensional)) return PageCoding::kMr;
    return PageCoding::kMh;
}

ReframeResult TranscodePage(CBitReader& in, PageCoding coding, CStripWriter& out,
                            TranscodeResult& result) {
    result = {};
    if (in.BitsLeft() == 0) return ReframeResult::kNoPageData;
    // Rows come out at most a few times longer in 1-D; the writer grows beyond this if need be.
    if (!out.BeginPage(4 * in.BytesLeft())) return ReframeResult::kNoMemory;
    out.ResetBits();
    MhStripBuilder strip(out);
    const ReframeResult ending = coding == PageCoding::kMmr ? TranscodeMmr(in, strip, result)
                                                            : TranscodeMr(in, strip, result);
    result.rows = strip.Finish();
    if (ending == ReframeResult::kNoEol) return ending;
    return result.rows == 0 && ending != ReframeResult::kComplete ? ReframeResult::kNoEol : ending;
}

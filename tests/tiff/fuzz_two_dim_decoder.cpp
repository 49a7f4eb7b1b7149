// libFuzzer: any bytes as an MR or MMR page. The decoder stays inside the data, ends, and every
// row it stores is a 1-D row of exactly the page width.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tiff/row_repair.h"
#include "tiff/two_dim_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const PageCoding coding = data[0] % 2 ? PageCoding::kMmr : PageCoding::kMr;
    // Exactly the page's bytes, so that the sanitizer sees any read past them.
    const std::vector<uint8_t> page(data + 1, data + size);
    CBitReader in;
    in.Reset(page.data(), page.size());
    CStripWriter strip;
    TranscodeResult result;
    const ReframeResult ending = TranscodePage(in, coding, strip, result);
    if (in.BitsLeft() > page.size() * 8) std::abort();
    if (ending != ReframeResult::kComplete && ending != ReframeResult::kIncompleteRtc) return 0;
    CStripWriter repaired;
    const RowRepairResult check =
        RepairRows(strip.Data(), strip.ByteCount(), result.rows, repaired);
    if (check.changed) std::abort();
    return 0;
}

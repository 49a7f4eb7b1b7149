#pragma once
#include <cstdint>

// Why a conversion stopped: the step that failed.
enum class TiffStage : uint32_t {
    kNone = 0,
    kLoadRaw = 9,
    kCreateFile = 10,
    kWriteHeader = 11,
    kReframePage = 12,
    kWriteDirectory = 13,
    kWriteStrip = 14,
    kSeekNextIfd = 15,
    kWriteNextIfd = 16,
    kNoImage = 17,  // our own: no page had rows, so no TIFF file is left
};

// The cause inside the failed step. kIncompleteRtc is recorded on a page that is still written.
enum class TiffDetail : uint32_t {
    kNone = 0,
    kOpenRaw = 26,
    kSeekPageCount = 27,
    kReadPageCount = 28,
    kSeekDataLength = 29,
    kReadDataLength = 30,
    kNoMemoryPageData = 31,
    kShortPageData = 32,
    kSeekTiffStart = 33,
    kWriteTiffHeader = 34,
    kNoPageData = 35,
    kNoMemoryStrip = 36,
    kNoEol = 37,
    kIncompleteRtc = 38,
    kNoMemoryDirectory = 39,
    kSeekIfd = 40,
    kWriteIfd = 41,
    kSeekResolution = 42,
    kReadResolution = 43,
};

const char* toString(TiffStage stage);
const char* toString(TiffDetail detail);

// One-line explanations of stored code values; codes this writer never sets read "unknown code".
const char* DescribeStageCode(uint32_t code);
const char* DescribeDetailCode(uint32_t code);

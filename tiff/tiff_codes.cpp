#include "tiff/tiff_codes.h"

const char* toString(TiffStage stage) {
    switch (stage) {
        case TiffStage::kNone:
            return "no failure";
        case TiffStage::kLoadRaw:
            return "the raw page file cannot be loaded";
        case TiffStage::kCreateFile:
            return "the TIFF file cannot be created";
        case TiffStage::kWriteHeader:
            return "the TIFF header cannot be written";
        case TiffStage::kReframePage:
            return "page re-framing failed";
        case TiffStage::kWriteDirectory:
            return "the page's directory cannot be written";
        case TiffStage::kWriteStrip:
            return "the strip data cannot be written";
        case TiffStage::kSeekNextIfd:
            return "the seek to the next-IFD field failed";
        case TiffStage::kWriteNextIfd:
            return "the next-IFD value cannot be written";
        case TiffStage::kNoImage:
            return "no page has image rows";
    }
    return "unknown code";
}

const char* toString(TiffDetail detail) {
    switch (detail) {
        case TiffDetail::kNone:
            return "no detail";
        case TiffDetail::kOpenRaw:
            return "the raw page file cannot be opened";
        case TiffDetail::kSeekPageCount:
            return "the seek to byte 40 failed";
        case TiffDetail::kReadPageCount:
            return "the page count byte cannot be read";
        case TiffDetail::kSeekDataLength:
            return "the seek to byte 128 failed";
        case TiffDetail::kReadDataLength:
            return "the data length cannot be read";
        case TiffDetail::kNoMemoryPageData:
            return "no memory for the page data";
        case TiffDetail::kShortPageData:
            return "the page data is shorter than the stated length";
        case TiffDetail::kSeekTiffStart:
            return "the seek to the start of the TIFF file failed";
        case TiffDetail::kWriteTiffHeader:
            return "the TIFF header write failed";
        case TiffDetail::kNoPageData:
            return "no page data left for this page";
        case TiffDetail::kNoMemoryStrip:
            return "no memory for the strip buffer";
        case TiffDetail::kNoEol:
            return "no EOL in the remaining data";
        case TiffDetail::kIncompleteRtc:
            return "the page data ended before six consecutive EOLs (page kept)";
        case TiffDetail::kNoMemoryDirectory:
            return "no memory for the directory entries";
        case TiffDetail::kSeekIfd:
            return "the seek to the IFD offset failed";
        case TiffDetail::kWriteIfd:
            return "a directory write failed";
        case TiffDetail::kSeekResolution:
            return "the seek to byte 4 failed";
        case TiffDetail::kReadResolution:
            return "the resolution byte cannot be read";
    }
    return "unknown code";
}

const char* DescribeStageCode(uint32_t code) {
    switch (code) {
        case 0:
        case 9:
        case 10:
        case 11:
        case 12:
        case 13:
        case 14:
        case 15:
        case 16:
        case 17:
            return toString(static_cast<TiffStage>(code));
    }
    return "unknown code";
}

const char* DescribeDetailCode(uint32_t code) {
    if (code == 0 || (code >= 26 && code <= 43)) return toString(static_cast<TiffDetail>(code));
    return "unknown code";
}

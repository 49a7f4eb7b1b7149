#include "tests/support/fax_pages.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

Page SparsePage(int rows, int number) {
    Page page(rows, std::vector<uint8_t>(kRowBytes, 0));
    for (int y = 0; y < rows; ++y) {
        if ((y / 6 + number) % 11 != 0) continue;
        for (int x = 0; x < kRowBytes; ++x) {
            if ((x + number * 5) % 27 < 6) page[y][x] = 0xFF;
        }
    }
    return page;
}

bool WriteTiff(const std::string& path, const std::vector<Page>& pages, bool fine) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif) return false;
    bool ok = true;
    for (size_t number = 0; number < pages.size() && ok; ++number) {
        Page page = pages[number];
        const auto rows = static_cast<uint32_t>(page.size());
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kPageWidth);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
        TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_FILLBITS);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0f);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, fine ? 196.0f : 98.0f);
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, uint16_t(number), uint16_t(pages.size()));
        for (uint32_t y = 0; y < rows && ok; ++y)
            ok = TIFFWriteScanline(tif, page[y].data(), y, 0) >= 0;
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    return ok;
}

namespace {

std::string* g_problems = nullptr;

void CollectProblem(const char* module, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    if (g_problems) *g_problems += std::string(module ? module : "") + ": " + text + "; ";
}

}  // namespace

DecodedTiff ReadTiff(const std::string& path) {
    DecodedTiff result;
    g_problems = &result.problems;
    const TIFFErrorHandler oldWarning = TIFFSetWarningHandler(CollectProblem);
    const TIFFErrorHandler oldError = TIFFSetErrorHandler(CollectProblem);
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    result.opened = tif != nullptr;
    for (bool more = result.opened; more; more = TIFFReadDirectory(tif)) {
        uint32_t width = 0, rows = 0;
        uint16_t photometric = PHOTOMETRIC_MINISWHITE;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &rows);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        if (width != kPageWidth) result.problems += "width " + std::to_string(width) + "; ";
        Page page(rows, std::vector<uint8_t>(TIFFScanlineSize(tif), 0));
        for (uint32_t y = 0; y < rows; ++y) {
            if (TIFFReadScanline(tif, page[y].data(), y, 0) < 0)
                result.problems += "row " + std::to_string(y) + " unreadable; ";
            if (photometric == PHOTOMETRIC_MINISBLACK) {
                for (uint8_t& byte : page[y]) byte = static_cast<uint8_t>(~byte);
            }
        }
        result.pages.push_back(page);
    }
    if (tif) TIFFClose(tif);
    TIFFSetWarningHandler(oldWarning);
    TIFFSetErrorHandler(oldError);
    g_problems = nullptr;
    if (!result.opened) result.problems += "cannot open " + path;
    return result;
}

size_t DifferingPixels(const Page& got, const Page& sent) {
    const std::vector<uint8_t> white(kRowBytes, 0);
    size_t count = 0;
    for (size_t y = 0; y < std::max(got.size(), sent.size()); ++y) {
        const std::vector<uint8_t>& a = y < got.size() ? got[y] : white;
        const std::vector<uint8_t>& b = y < sent.size() ? sent[y] : white;
        for (size_t x = 0; x < std::min(a.size(), b.size()); ++x)
            count += static_cast<size_t>(__builtin_popcount(a[x] ^ b[x]));
    }
    return count;
}

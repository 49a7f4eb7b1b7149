#pragma once
// Fax pages as bitmaps, written to TIFF and read back through libtiff.

#include <cstdint>
#include <string>
#include <vector>

constexpr int kPageWidth = 1728;  // pixels: A4 at 8 dots per millimetre
constexpr int kRowBytes = kPageWidth / 8;
using Page = std::vector<std::vector<uint8_t>>;  // rows of packed pixels, MSB first, 1 = black

// A sparse page: a few bars whose places depend on the page number, so pages differ.
Page SparsePage(int rows, int number);
// A bilevel TIFF, G3 1-D, 204x98 or 204x196 dpi.
bool WriteTiff(const std::string& path, const std::vector<Page>& pages, bool fine);

// What libtiff makes of a TIFF: every page decoded, and whatever it or the page shape
// (a width other than kPageWidth, a row it cannot read) had to complain about.
struct DecodedTiff {
    bool opened = false;
    std::vector<Page> pages;
    std::string problems;
};
DecodedTiff ReadTiff(const std::string& path);

// Pixels that differ between two pages, rows one has and the other lacks compared with white.
size_t DifferingPixels(const Page& got, const Page& sent);

#include "tests/tiff/fax_test_data.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace faxtest {

void BitString::Append(bool bit) {
    if (m_nBits % 8 == 0) m_bytes.push_back(0);
    if (bit) m_bytes.back() |= static_cast<uint8_t>(0x80 >> (m_nBits % 8));
    ++m_nBits;
}

void BitString::AppendBits(uint32_t bits, unsigned count) {
    for (unsigned i = count; i-- > 0;) Append((bits >> i) & 1);
}

void BitString::AppendBytes(const std::vector<uint8_t>& bytes) {
    for (uint8_t byte : bytes) AppendByte(byte);
}

void BitString::AppendBitString(const BitString& other) {
    for (size_t i = 0; i < other.BitCount(); ++i) Append(other.Bit(i));
}

void BitString::AppendZeros(unsigned count) {
    for (unsigned i = 0; i < count; ++i) Append(false);
}

void BitString::AppendRtc() {
    for (int i = 0; i < 6; ++i) AppendEol();
}

namespace {

void SetPixel(std::vector<uint8_t>& row, int x) {
    row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
}

}  // namespace

Bitmap BlankBitmap(int rows) { return Bitmap(rows, std::vector<uint8_t>(kRowBytes, 0)); }

// Lines of "glyphs" (small blocks with strokes) separated by white space, like a typed letter.
Bitmap TextLikeBitmap(int rows, uint32_t seed) {
    Bitmap bitmap = BlankBitmap(rows);
    std::mt19937 rng(seed);
    const int lineHeight = 24, glyphHeight = 16, margin = 100;
    for (int top = 20; top + glyphHeight < rows; top += lineHeight) {
        int x = margin;
        while (x < kPageWidth - margin - 16) {
            const int width = 6 + static_cast<int>(rng() % 10);
            if (rng() % 6 == 0) {
                x += 12;  // a space between words
                continue;
            }
            const uint32_t strokes = rng();
            for (int dy = 0; dy < glyphHeight; ++dy) {
                for (int dx = 0; dx < width; ++dx) {
                    const bool vertical =
                        (dx < 2 && (strokes & 1)) || (dx >= width - 2 && (strokes & 2));
                    const bool horizontal = (dy < 2 && (strokes & 4)) ||
                                            (dy >= glyphHeight - 2 && (strokes & 8)) ||
                                            (dy >= 7 && dy < 9 && (strokes & 16));
                    if (vertical || horizontal) SetPixel(bitmap[top + dy], x + dx);
                }
            }
            x += width + 3;
        }
    }
    return bitmap;
}

// A left-to-right grey ramp through a 4x4 ordered dither: many runs of one to a few pixels.
Bitmap HalftoneBitmap(int rows) {
    static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    Bitmap bitmap = BlankBitmap(rows);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < kPageWidth; ++x) {
            const int level = x * 17 / kPageWidth;
            if (level > kBayer[y % 4][x % 4]) SetPixel(bitmap[y], x);
        }
    }
    return bitmap;
}

Bitmap NoiseBitmap(int rows, uint32_t seed) {
    Bitmap bitmap = BlankBitmap(rows);
    std::mt19937 rng(seed);
    for (auto& row : bitmap) {
        for (auto& byte : row) byte = static_cast<uint8_t>(rng());
    }
    return bitmap;
}

BitString EncodeModifiedHuffman(const Bitmap& bitmap, const std::string& scratchFolder) {
    BitString lines;
    const std::string path = scratchFolder + "/mh-source.tif";
    TIFF* out = TIFFOpen(path.c_str(), "w");
    if (!out) return lines;
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, kPageWidth);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(bitmap.size()));
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(out, TIFFTAG_GROUP3OPTIONS, 0);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(out, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(bitmap.size()));
    for (size_t y = 0; y < bitmap.size(); ++y) {
        std::vector<uint8_t> row = bitmap[y];
        if (TIFFWriteScanline(out, row.data(), static_cast<uint32_t>(y), 0) < 0) {
            TIFFClose(out);
            return lines;
        }
    }
    TIFFClose(out);

    TIFF* in = TIFFOpen(path.c_str(), "r");
    if (!in) return lines;
    const tmsize_t size = TIFFRawStripSize(in, 0);
    std::vector<uint8_t> raw(size > 0 ? static_cast<size_t>(size) : 0);
    const tmsize_t got = TIFFReadRawStrip(in, 0, raw.data(), size);
    TIFFClose(in);
    if (got != size) return lines;
    lines.AppendBytes(raw);
    return lines;
}

BitString SessionPage(const BitString& lines) {
    BitString page;
    page.AppendByte(0x50);
    page.AppendBitString(lines);
    page.AppendRtc();
    return page;
}

void WriteRawFile(const std::string& path, uint8_t dcsSecondOctet, uint8_t pageCount,
                  const std::vector<uint8_t>& data) {
    std::vector<uint8_t> file(132 + data.size(), 0);
    std::copy(data.begin(), data.end(), file.begin() + 132);
    file[0] = 'G';
    file[1] = '3';
    file[4] = dcsSecondOctet;
    file[40] = pageCount;
    const uint32_t length = static_cast<uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) file[128 + i] = static_cast<uint8_t>(length >> (8 * i));
    WriteFileBytes(path, file);
}

void WriteRawFile(const std::string& path, uint8_t dcsSecondOctet, uint8_t pageCount,
                  const BitString& data) {
    WriteRawFile(path, dcsSecondOctet, pageCount, data.Bytes());
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

uint16_t Le16(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset) {
    return uint32_t{bytes.at(offset)} | uint32_t{bytes.at(offset + 1)} << 8 |
           uint32_t{bytes.at(offset + 2)} << 16 | uint32_t{bytes.at(offset + 3)} << 24;
}

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantoro-tiff-XXXXXX").string();
    if (mkdtemp(pattern.data())) m_path = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
}

namespace {

std::vector<std::string>* g_libtiffMessages = nullptr;

void CollectMessage(const char* module, const char* format, va_list args) {
    if (!g_libtiffMessages) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    g_libtiffMessages->push_back(std::string(module ? module : "") + ": " + text);
}

}  // namespace

DecodedTiff DecodeWithLibtiff(const std::string& path) {
    DecodedTiff result;
    g_libtiffMessages = &result.messages;
    const TIFFErrorHandler oldWarning = TIFFSetWarningHandler(CollectMessage);
    const TIFFErrorHandler oldError = TIFFSetErrorHandler(CollectMessage);
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (tif) {
        result.opened = true;
        do {
            uint32_t width = 0, length = 0;
            TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
            TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length);
            result.widths.push_back(width);
            Bitmap page(length, std::vector<uint8_t>(kRowBytes, 0));
            std::vector<uint8_t> strip(static_cast<size_t>(length) * kRowBytes);
            if (length > 0 && width == kPageWidth &&
                TIFFReadEncodedStrip(tif, 0, strip.data(), static_cast<tmsize_t>(strip.size())) ==
                    static_cast<tmsize_t>(strip.size())) {
                for (uint32_t y = 0; y < length; ++y) {
                    page[y].assign(strip.begin() + y * kRowBytes,
                                   strip.begin() + (y + 1) * kRowBytes);
                }
            } else if (length > 0) {
                result.messages.push_back("strip not decoded whole");
            }
            result.pages.push_back(std::move(page));
        } while (TIFFReadDirectory(tif));
        TIFFClose(tif);
    }
    TIFFSetWarningHandler(oldWarning);
    TIFFSetErrorHandler(oldError);
    g_libtiffMessages = nullptr;
    return result;
}

int RunCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace faxtest

#include "tests/tiff/fax_test_data.h"

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <random>
#include <sstream>

namespace faxtest {

void BitString::Append(bool bit) {
    if (m_nBits % 8 == 0) m_bytes.push_back(0);
    if (bit) m_bytes.back() |= static_cast<uint8_t>(0x80 >> (m_nBits % 8));
    ++m_nBits;
}

void BitString::AppendBits(uint32_t bits, unsigned count) {
    for (unsigned i = count; i-- > 0;) Append((bits >> i) & 1);
}

void BitString::AppendBitString(const BitString& other) {
    for (size_t i = 0; i < other.m_nBits; ++i) Append(other.m_bytes[i / 8] & (0x80 >> (i % 8)));
}

void BitString::AppendZeros(unsigned count) {
    for (unsigned i = 0; i < count; ++i) Append(false);
}

void BitString::AppendRtc() {
    for (int i = 0; i < 6; ++i) AppendEol();
}

BitString Bits(const std::string& text) {
    BitString bits;
    std::istringstream tokens(text);
    for (std::string token; tokens >> token;) {
        if (token == "EOL") {
            bits.AppendEol();
        } else if (token == "RTC") {
            bits.AppendRtc();
        } else if (token[0] == 'Z') {
            bits.AppendZeros(static_cast<unsigned>(std::stoul(token.substr(1))));
        } else if (token.back() == 'h') {
            bits.AppendByte(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
        } else {
            for (char c : token) bits.Append(c == '1');
        }
    }
    return bits;
}

namespace {

Bitmap BlankBitmap(int rows) { return Bitmap(rows, std::vector<uint8_t>(kRowBytes, 0)); }

void SetPixel(std::vector<uint8_t>& row, int x) {
    row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
}

}  // namespace

// Lines of "glyphs" (small blocks with strokes) separated by white space, like a typed letter.
Bitmap TextLikeBitmap(int rows, uint32_t seed) {
    Bitmap bitmap = BlankBitmap(rows);
    std::mt19937 rng(seed);
    const int glyphHeight = 16, margin = 100;
    for (int top = 20; top + glyphHeight < rows; top += 24) {
        for (int x = margin; x < kPageWidth - margin - 16;) {
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
            if (x * 17 / kPageWidth > kBayer[y % 4][x % 4]) SetPixel(bitmap[y], x);
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
    TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(out, TIFFTAG_GROUP3OPTIONS, 0);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(bitmap.size()));
    bool written = true;
    for (size_t y = 0; y < bitmap.size(); ++y) {
        std::vector<uint8_t> row = bitmap[y];
        written = written && TIFFWriteScanline(out, row.data(), static_cast<uint32_t>(y), 0) >= 0;
    }
    TIFFClose(out);
    TIFF* in = written ? TIFFOpen(path.c_str(), "r") : nullptr;
    if (!in) return lines;
    std::vector<uint8_t> raw(static_cast<size_t>(TIFFRawStripSize(in, 0)));
    const tmsize_t got = TIFFReadRawStrip(in, 0, raw.data(), static_cast<tmsize_t>(raw.size()));
    TIFFClose(in);
    if (got != static_cast<tmsize_t>(raw.size())) return lines;
    for (uint8_t byte : raw) lines.AppendByte(byte);
    return lines;
}

BitString SessionPage(const BitString& lines) {
    BitString page = Bits("50h");
    page.AppendBitString(lines);
    page.AppendRtc();
    return page;
}

void WriteRawFile(const std::string& path, uint8_t dcsSecondOctet, uint8_t pageCount,
                  const BitString& data) {
    std::string file(132, '\0');
    file[0] = 'G';
    file[1] = '3';
    file[4] = static_cast<char>(dcsSecondOctet);
    file[40] = static_cast<char>(pageCount);
    const size_t length = data.Bytes().size();
    for (int i = 0; i < 4; ++i) file[128 + i] = static_cast<char>(length >> (8 * i));
    file.append(data.Bytes().begin(), data.Bytes().end());
    WriteFile(path, file);
}

uint32_t Le32(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;) value = value << 8 | static_cast<uint8_t>(bytes.at(offset + i));
    return value;
}

namespace {

std::vector<std::string>* g_libtiffMessages = nullptr;

void CollectMessage(const char* module, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    if (g_libtiffMessages) g_libtiffMessages->push_back(std::string(module ? module : "") + text);
}

}  // namespace

DecodedTiff DecodeWithLibtiff(const std::string& path) {
    DecodedTiff result;
    g_libtiffMessages = &result.messages;
    const TIFFErrorHandler oldWarning = TIFFSetWarningHandler(CollectMessage);
    const TIFFErrorHandler oldError = TIFFSetErrorHandler(CollectMessage);
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    result.opened = tif != nullptr;
    while (tif) {
        uint32_t width = 0, length = 0;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length);
        std::vector<uint8_t> strip(static_cast<size_t>(length) * kRowBytes);
        if (width != kPageWidth ||
            TIFFReadEncodedStrip(tif, 0, strip.data(), static_cast<tmsize_t>(strip.size())) !=
                static_cast<tmsize_t>(strip.size())) {
            result.messages.push_back("page not decoded whole");
        }
        Bitmap page;
        for (size_t at = 0; at < strip.size(); at += kRowBytes) {
            page.emplace_back(strip.begin() + at, strip.begin() + at + kRowBytes);
        }
        result.pages.push_back(std::move(page));
        if (!TIFFReadDirectory(tif)) {
            TIFFClose(tif);
            tif = nullptr;
        }
    }
    TIFFSetWarningHandler(oldWarning);
    TIFFSetErrorHandler(oldError);
    g_libtiffMessages = nullptr;
    return result;
}

int RunProgram(const std::vector<std::string>& argv, std::string& output) {
    ChildProcess child(argv);
    if (!child.Start()) return -1;
    const int status = child.WaitForExit(30000);
    output = child.Stdout() + child.Stderr();
    return status;
}

}  // namespace faxtest

#include "tests/tiff/fax_test_data.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <bitset>
#include <random>
#include <sstream>

#include "fax/raw_page_file.h"

namespace faxtest {

std::vector<uint8_t> Pack(const BitString& bits) {
    std::vector<uint8_t> bytes((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] == '1') bytes[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    }
    return bytes;
}

BitString Bits(const std::string& text) {
    BitString bits;
    std::istringstream tokens(text);
    for (std::string token; tokens >> token;) {
        if (token == "EOL") {
            bits += kEol;
        } else if (token == "RTC") {
            bits += kRtc;
        } else if (token[0] == 'Z') {
            bits.append(std::stoul(token.substr(1)), '0');
        } else if (token.back() == 'h') {
            bits += std::bitset<8>(std::stoul(token, nullptr, 16)).to_string();
        } else {
            bits += token;
        }
    }
    return bits;
}

namespace {

Page BlankBitmap(int rows) { return Page(rows, std::vector<uint8_t>(kRowBytes, 0)); }

void SetPixel(std::vector<uint8_t>& row, int x) {
    row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
}

}  // namespace

// A left-to-right grey ramp through a 4x4 ordered dither: many runs of one to a few pixels.
Page HalftoneBitmap(int rows) {
    static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    Page bitmap = BlankBitmap(rows);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < kPageWidth; ++x) {
            if (x * 17 / kPageWidth > kBayer[y % 4][x % 4]) SetPixel(bitmap[y], x);
        }
    }
    return bitmap;
}

Page NoiseBitmap(int rows, uint32_t seed) {
    Page bitmap = BlankBitmap(rows);
    std::mt19937 rng(seed);
    for (auto& row : bitmap) {
        for (auto& byte : row) byte = static_cast<uint8_t>(rng());
    }
    return bitmap;
}

BitString EncodeModifiedHuffman(const Page& bitmap, const std::string& scratchFolder) {
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
    for (uint8_t byte : raw) lines += std::bitset<8>(byte).to_string();
    return lines;
}

BitString SessionPage(const BitString& lines) { return Bits("50h") + lines + kRtc; }

void WriteRawFile(const std::string& path, uint8_t dcsSecondOctet, uint8_t pageCount,
                  const BitString& data) {
    using namespace raw_page_file;
    std::string file(kHeaderSize, '\0');
    file.replace(kMagicOffset, sizeof kMagic, kMagic, sizeof kMagic);
    file[kDcsResolutionOffset] = static_cast<char>(dcsSecondOctet);
    file[kPageCountOffset] = static_cast<char>(pageCount);
    const std::vector<uint8_t> bytes = Pack(data);
    for (size_t i = 0; i < 4; ++i)
        file[kDataLengthOffset + i] = static_cast<char>(bytes.size() >> (8 * i));
    file.append(bytes.begin(), bytes.end());
    WriteFile(path, file);
}

DecodedTiff ExpectReadableTiff(const std::string& path, size_t pages) {
    DecodedTiff decoded = ReadTiff(path);
    EXPECT_TRUE(decoded.opened);
    EXPECT_EQ(decoded.pages.size(), pages);
    EXPECT_EQ(decoded.problems, "");
    std::string output;
    EXPECT_EQ(RunProgram({"/usr/bin/tiffinfo", "-D", path}, output), 0) << output;
    EXPECT_EQ(output.find("rror"), std::string::npos) << output;
    EXPECT_EQ(output.find("arning"), std::string::npos) << output;
    size_t directories = 0;
    for (size_t at = 0; (at = output.find("TIFF Directory", at)) != std::string::npos; ++at) {
        ++directories;
    }
    EXPECT_EQ(directories, pages) << output;
    return decoded;
}

int RunProgram(const std::vector<std::string>& argv, std::string& output) {
    ChildProcess child(argv);
    if (!child.Start()) return -1;
    const int status = child.WaitForExit(30000);
    output = child.Stdout() + child.Stderr();
    return status;
}

}  // namespace faxtest

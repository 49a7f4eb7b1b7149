#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tiff/page_reframer.h"

namespace faxtest {

// A bit string, first bit first, packed into bytes most significant bit first.
class BitString {
public:
    void Append(bool bit);
    void AppendBits(uint32_t bits, unsigned count);  // the highest of `count` bits first
    void AppendByte(uint8_t byte) { AppendBits(byte, 8); }
    void AppendBytes(const std::vector<uint8_t>& bytes);
    // Every bit of `other`, continuing at the current (possibly odd) position.
    void AppendBitString(const BitString& other);
    void AppendZeros(unsigned count);
    // Eleven zeros and a one.
    void AppendEol() { AppendBits(1, 12); }
    void AppendRtc();

    size_t BitCount() const { return m_nBits; }
    bool Bit(size_t index) const { return (m_bytes[index / 8] & (0x80 >> (index % 8))) != 0; }
    // Packed bytes; the last one is padded with zero bits.
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_nBits = 0;
};

// One page bitmap, 1728 pixels wide, 1 = black; 216 bytes per row.
constexpr int kPageWidth = 1728;
constexpr int kRowBytes = kPageWidth / 8;
using Bitmap = std::vector<std::vector<uint8_t>>;

Bitmap TextLikeBitmap(int rows, uint32_t seed);
Bitmap HalftoneBitmap(int rows);
Bitmap NoiseBitmap(int rows, uint32_t seed);
Bitmap BlankBitmap(int rows);

// Encodes the bitmap with libtiff as 1-D Modified Huffman: an EOL before every line, no fill
// and no RTC. Empty on failure.
BitString EncodeModifiedHuffman(const Bitmap& bitmap, const std::string& scratchFolder);

// A page as the fax session stores it: the 0x50 byte, the lines, then RTC.
BitString SessionPage(const BitString& lines);

// Writes a raw page file: "G3", DCS with `dcsSecondOctet` at offset 4, page count at 40,
// data length at 128, then the data.
void WriteRawFile(const std::string& path, uint8_t dcsSecondOctet, uint8_t pageCount,
                  const std::vector<uint8_t>& data);
void WriteRawFile(const std::string& path, uint8_t dcsSecondOctet, uint8_t pageCount,
                  const BitString& data);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);

uint16_t Le16(const std::vector<uint8_t>& bytes, size_t offset);
uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset);

// A fresh empty folder under the temporary folder, removed with its files on destruction.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string Path(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Folder() const { return m_path; }

private:
    std::string m_path;
};

// What libtiff makes of a TIFF file: every page decoded, with every warning and error text.
struct DecodedTiff {
    bool opened = false;
    std::vector<Bitmap> pages;
    std::vector<uint32_t> widths;
    std::vector<std::string> messages;
};
DecodedTiff DecodeWithLibtiff(const std::string& path);

// Runs a shell command; returns its exit status and fills `output` with stdout and stderr.
int RunCommand(const std::string& command, std::string& output);

}  // namespace faxtest

// Readable parameter values in test failure messages.
inline void PrintTo(ReframeMethod method, std::ostream* os) { *os << toString(method); }

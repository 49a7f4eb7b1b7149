#include "tests/tiff/fax_test_data.h"

#include <gtest/gtest.h>

#include <bitset>
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

BitString SessionPage(const BitString& lines) { return Bits("50h") + lines + kRtc; }

void WriteRawFile(const std::string& path, uint8_t dcsSecondOctet, uint8_t pageCount,
                  const BitString& data, const std::vector<uint32_t>& pageStarts) {
    using namespace raw_page_file;
    std::string file(kHeaderSize, '\0');
    file.replace(kMagicOffset, sizeof kMagic, kMagic, sizeof kMagic);
    file[kDcsOffset + 1] = static_cast<char>(dcsSecondOctet);
    file[kPageCountOffset] = static_cast<char>(pageCount);
    const auto putLe32 = [&file](size_t offset, uint64_t value) {
        for (size_t i = 0; i < 4; ++i) file[offset + i] = static_cast<char>(value >> (8 * i));
    };
    for (size_t page = 0; page < pageStarts.size() && page < kPageStartSlots; ++page)
        putLe32(kPageStartsOffset + page * kPageStartSize, pageStarts[page]);
    const std::vector<uint8_t> bytes = Pack(data);
    putLe32(kDataLengthOffset, bytes.size());
    file.append(bytes.begin(), bytes.end());
    WriteFile(path, file);
}

BitString BytePages(const std::vector<BitString>& pages, std::vector<uint32_t>& starts) {
    BitString data;
    starts.clear();
    for (const BitString& page : pages) {
        starts.push_back(static_cast<uint32_t>(data.size() / 8));
        data += page + std::string((8 - page.size() % 8) % 8, '0');
    }
    return data;
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

#include "tiff/tiff_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "tests/tiff/fax_test_data.h"

namespace {

using namespace faxtest;

constexpr uint8_t kDcsNormal = 0x00;
constexpr uint8_t kDcsFine = 0x02;

// A page of `lines` Modified Huffman lines, white and black in turn, as the session stores it.
BitString SimplePage(int lines) {
    BitString coded;
    for (int i = 0; i < lines; ++i) {
        coded.AppendEol();
        if (i % 2 == 0) {
            coded.AppendBits(0b010011011, 9);  // white makeup 1728
            coded.AppendBits(0b00110101, 8);   // white 0
        } else {
            coded.AppendBits(0b00110101, 8);        // white 0
            coded.AppendBits(0b0000001100101, 13);  // black makeup 1728
            coded.AppendBits(0b0000110111, 10);     // black 0
        }
    }
    return SessionPage(coded);
}

BitString Concatenate(std::initializer_list<BitString> pages) {
    BitString all;
    for (const BitString& page : pages) all.AppendBitString(page);
    return all;
}

struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
};

std::vector<Entry> ReadEntries(const std::vector<uint8_t>& file, uint32_t ifd) {
    std::vector<Entry> entries;
    const uint16_t count = Le16(file, ifd);
    for (uint16_t i = 0; i < count; ++i) {
        const size_t at = ifd + 2 + 12u * i;
        entries.push_back(
            {Le16(file, at), Le16(file, at + 2), Le32(file, at + 4), Le32(file, at + 8)});
    }
    return entries;
}

class TiffWriterTest : public ::testing::Test {
protected:
    std::string Raw() const { return m_scratch.Path("page.raw"); }
    std::string Tiff() const { return m_scratch.Path("fax.tif"); }
    bool Convert() { return m_writer.Convert(Raw().c_str(), Tiff().c_str()); }
    void ExpectFailure(uint32_t stage, uint32_t detail) {
        EXPECT_FALSE(Convert());
        EXPECT_EQ(m_writer.StageCode(), stage);
        EXPECT_EQ(m_writer.DetailCode(), detail);
    }

    ScratchFolder m_scratch;
    CTiffWriter m_writer;
};

TEST_F(TiffWriterTest, EmptyRawFileFailsWithoutCreatingTheTiff) {
    WriteFileBytes(Raw(), {});
    ExpectFailure(9, 43);
    EXPECT_FALSE(FileExists(Tiff()));
}

TEST_F(TiffWriterTest, RawFileLoadFailuresCarryTheirDetail) {
    ExpectFailure(9, 26);  // no raw file at all
    WriteFileBytes(Raw(), std::vector<uint8_t>(20, 0));
    ExpectFailure(9, 28);  // ends before the page count
    WriteFileBytes(Raw(), std::vector<uint8_t>(130, 0));
    ExpectFailure(9, 30);  // ends inside the data length
    std::vector<uint8_t> shortData(132 + 10, 0);
    shortData[128] = 11;
    WriteFileBytes(Raw(), shortData);
    ExpectFailure(9, 32);
    // A damaged length asks for 4 GiB that are not there; this must fail at once.
    shortData[128] = shortData[129] = shortData[130] = shortData[131] = 0xFF;
    WriteFileBytes(Raw(), shortData);
    ExpectFailure(9, 32);
    EXPECT_FALSE(FileExists(Tiff()));
}

TEST_F(TiffWriterTest, NoPagesGivesHeaderOnlyFile) {
    WriteRawFile(Raw(), kDcsNormal, 0, std::vector<uint8_t>{});
    EXPECT_TRUE(Convert());
    EXPECT_EQ(ReadFileBytes(Tiff()), (std::vector<uint8_t>{'I', 'I', 42, 0, 10, 0, 0, 0}));
}

TEST_F(TiffWriterTest, OnePageDirectoryHoldsFifteenEntriesInTagOrder) {
    WriteRawFile(Raw(), kDcsNormal, 1, SimplePage(3));
    ASSERT_TRUE(Convert());
    const std::vector<uint8_t> file = ReadFileBytes(Tiff());
    ASSERT_GE(file.size(), 212u);
    EXPECT_EQ(Le16(file, 0), 0x4949);
    EXPECT_EQ(Le16(file, 2), 42);
    EXPECT_EQ(Le32(file, 4), 10u);
    EXPECT_EQ(Le16(file, 8), 0);
    const uint32_t strip = static_cast<uint32_t>(file.size()) - 212;

    const std::vector<Entry> expected = {
        {254, 4, 1, 0},     {256, 4, 1, 1728}, {257, 4, 1, 3},   {258, 3, 1, 1}, {259, 3, 1, 3},
        {262, 3, 1, 0},     {266, 3, 1, 1},    {273, 4, 1, 212}, {277, 3, 1, 1}, {278, 4, 1, 3},
        {279, 4, 1, strip}, {282, 5, 1, 196},  {283, 5, 1, 204}, {292, 4, 1, 4}, {296, 3, 1, 2},
    };
    const std::vector<Entry> entries = ReadEntries(file, 10);
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].tag, expected[i].tag) << i;
        EXPECT_EQ(entries[i].type, expected[i].type) << i;
        EXPECT_EQ(entries[i].count, expected[i].count) << i;
        EXPECT_EQ(entries[i].value, expected[i].value) << i;
    }
    EXPECT_EQ(Le32(file, 192), 0u);  // next IFD
    EXPECT_EQ(Le32(file, 196), 200u);
    EXPECT_EQ(Le32(file, 200), 1u);
    EXPECT_EQ(Le32(file, 204), 100u);
    EXPECT_EQ(Le32(file, 208), 1u);
    EXPECT_EQ(file[212], 0x00);
    EXPECT_EQ(file[213], 0x01);
}

TEST_F(TiffWriterTest, TwoPagesChainTheirDirectories) {
    const BitString page1 = SimplePage(2), page2 = SimplePage(5);
    WriteRawFile(Raw(), kDcsNormal, 1, page1);
    ASSERT_TRUE(Convert());
    const uint32_t s1 = static_cast<uint32_t>(ReadFileBytes(Tiff()).size()) - 212;
    WriteRawFile(Raw(), kDcsNormal, 1, page2);
    ASSERT_TRUE(Convert());
    const uint32_t s2 = static_cast<uint32_t>(ReadFileBytes(Tiff()).size()) - 212;

    WriteRawFile(Raw(), kDcsNormal, 2, Concatenate({page1, page2}));
    ASSERT_TRUE(Convert());
    const std::vector<uint8_t> file = ReadFileBytes(Tiff());
    ASSERT_EQ(file.size(), 414u + s1 + s2);
    EXPECT_EQ(Le32(file, 10 + 182), 212u + s1);
    const uint32_t second = 212 + s1;
    EXPECT_EQ(Le32(file, second + 182), 0u);
    const std::vector<Entry> first = ReadEntries(file, 10), next = ReadEntries(file, second);
    EXPECT_EQ(first[0].value, 2u);
    EXPECT_EQ(next[0].value, 2u);
    EXPECT_EQ(first[2].value, 2u);
    EXPECT_EQ(next[2].value, 5u);
    EXPECT_EQ(next[7].value, 414u + s1);
    EXPECT_EQ(next[10].value, s2);
    EXPECT_EQ(next[11].value, second + 186);
    EXPECT_EQ(next[12].value, second + 194);
}

TEST_F(TiffWriterTest, FineBitSelectsVerticalResolution) {
    for (const auto& [dcs, dpi] :
         {std::pair<uint8_t, uint32_t>{kDcsFine, 200}, {0xFD, 100}, {0xFF, 200}}) {
        WriteRawFile(Raw(), dcs, 1, SimplePage(1));
        ASSERT_TRUE(Convert());
        const std::vector<uint8_t> file = ReadFileBytes(Tiff());
        EXPECT_EQ(Le32(file, 10 + 194), dpi) << int{dcs};
        EXPECT_EQ(Le32(file, 10 + 198), 1u);
        EXPECT_EQ(Le32(file, 10 + 186), 200u);
    }
}

TEST_F(TiffWriterTest, ExistingTiffIsReplacedOnlyAfterTheRawFileLoaded) {
    const std::vector<uint8_t> old(5000, 0xAB);
    WriteFileBytes(Tiff(), old);
    ExpectFailure(9, 26);
    EXPECT_EQ(ReadFileBytes(Tiff()), old);

    WriteRawFile(Raw(), kDcsNormal, 1, SimplePage(1));
    ASSERT_TRUE(Convert());
    const std::vector<uint8_t> file = ReadFileBytes(Tiff());
    EXPECT_LT(file.size(), old.size());
    EXPECT_EQ(file[0], 'I');
}

TEST_F(TiffWriterTest, MissingTiffFolderIsStageTen) {
    WriteRawFile(Raw(), kDcsNormal, 1, SimplePage(1));
    EXPECT_FALSE(m_writer.Convert(Raw().c_str(), m_scratch.Path("no/such/fax.tif").c_str()));
    EXPECT_EQ(m_writer.StageCode(), 10u);
}

TEST_F(TiffWriterTest, PageCountBeyondTheDataKeepsTheEarlierPagesReadable) {
    // Pages of an even number of these lines end on a byte boundary: nothing left for page 3.
    const BitString exact = Concatenate({SimplePage(2), SimplePage(4)});
    ASSERT_EQ(exact.BitCount() % 8, 0u);
    WriteRawFile(Raw(), kDcsNormal, 3, exact);
    ExpectFailure(12, 35);
    DecodedTiff decoded = DecodeWithLibtiff(Tiff());
    EXPECT_TRUE(decoded.opened);
    EXPECT_EQ(decoded.pages.size(), 2u);
    EXPECT_TRUE(decoded.messages.empty()) << decoded.messages.front();

    // Otherwise page 3 finds only the zero bits that pad the last byte.
    const BitString padded = Concatenate({SimplePage(3), SimplePage(4)});
    ASSERT_NE(padded.BitCount() % 8, 0u);
    WriteRawFile(Raw(), kDcsNormal, 3, padded);
    ExpectFailure(12, 37);
    decoded = DecodeWithLibtiff(Tiff());
    EXPECT_EQ(decoded.pages.size(), 2u);
    EXPECT_TRUE(decoded.messages.empty()) << decoded.messages.front();
}

// A page after the first that fails must not leave the page before it pointing at nothing.
TEST_F(TiffWriterTest, FailedThirdPageLeavesValidTwoPageFile) {
    BitString bad;
    bad.AppendBytes({0x50, 0xFF, 0x12, 0x34});
    WriteRawFile(Raw(), kDcsFine, 3, Concatenate({SimplePage(2), SimplePage(3), bad}));
    ExpectFailure(12, 37);
    const std::vector<uint8_t> file = ReadFileBytes(Tiff());
    const uint32_t second = Le32(file, 10 + 182);
    EXPECT_GT(second, 212u);
    EXPECT_EQ(Le32(file, second + 182), 0u);
    EXPECT_EQ(file.size(), second + 202 + Le32(file, second + 2 + 10 * 12 + 8));

    const DecodedTiff decoded = DecodeWithLibtiff(Tiff());
    ASSERT_TRUE(decoded.opened);
    EXPECT_EQ(decoded.pages.size(), 2u);
    EXPECT_TRUE(decoded.messages.empty()) << decoded.messages.front();
    std::string output;
    EXPECT_EQ(RunCommand("tiffinfo -D '" + Tiff() + "'", output), 0) << output;
    EXPECT_EQ(output.find("rror"), std::string::npos) << output;
}

BitString RtcOnlyPage() {
    BitString page;
    page.AppendByte(0x50);
    page.AppendRtc();
    return page;
}

// libtiff refuses a directory with zero rows, and every page after it with it.
TEST_F(TiffWriterTest, PagesWithoutRowsGetNoDirectory) {
    WriteRawFile(Raw(), kDcsNormal, 3, Concatenate({SimplePage(2), RtcOnlyPage(), SimplePage(4)}));
    ASSERT_TRUE(Convert());
    std::vector<uint8_t> file = ReadFileBytes(Tiff());
    const uint32_t second = Le32(file, 10 + 182);
    EXPECT_EQ(ReadEntries(file, second)[2].value, 4u);
    EXPECT_EQ(ReadEntries(file, second)[0].value, 2u);
    DecodedTiff decoded = DecodeWithLibtiff(Tiff());
    EXPECT_EQ(decoded.pages.size(), 2u);
    EXPECT_TRUE(decoded.messages.empty()) << decoded.messages.front();

    WriteRawFile(Raw(), kDcsNormal, 2, Concatenate({SimplePage(2), RtcOnlyPage()}));
    ASSERT_TRUE(Convert());
    file = ReadFileBytes(Tiff());
    EXPECT_EQ(Le32(file, 10 + 182), 0u);
    EXPECT_EQ(file.size(), 212u + Le32(file, 10 + 2 + 10 * 12 + 8));
    decoded = DecodeWithLibtiff(Tiff());
    EXPECT_EQ(decoded.pages.size(), 1u);
    EXPECT_TRUE(decoded.messages.empty()) << decoded.messages.front();

    WriteRawFile(Raw(), kDcsNormal, 2, Concatenate({RtcOnlyPage(), SimplePage(3)}));
    ASSERT_TRUE(Convert());
    file = ReadFileBytes(Tiff());
    EXPECT_EQ(ReadEntries(file, 10)[2].value, 3u);
    EXPECT_EQ(Le32(file, 10 + 182), 0u);
    decoded = DecodeWithLibtiff(Tiff());
    EXPECT_EQ(decoded.pages.size(), 1u);
    EXPECT_TRUE(decoded.messages.empty()) << decoded.messages.front();
}

TEST_F(TiffWriterTest, IncompleteRtcStillSucceedsWithDetail38) {
    BitString page;
    page.AppendByte(0x50);
    page.AppendEol();
    page.AppendBits(0b101101101, 9);
    page.AppendEol();
    WriteRawFile(Raw(), kDcsNormal, 1, page);
    EXPECT_TRUE(Convert());
    EXPECT_EQ(m_writer.DetailCode(), 38u);
    EXPECT_EQ(m_writer.StageCode(), 0u);
    EXPECT_EQ(ReadEntries(ReadFileBytes(Tiff()), 10)[2].value, 1u);
}

TEST_F(TiffWriterTest, SecondConvertOnTheSameObjectStartsAfresh) {
    WriteRawFile(Raw(), kDcsNormal, 2, Concatenate({SimplePage(3), SimplePage(1)}));
    ASSERT_TRUE(Convert());
    const std::vector<uint8_t> first = ReadFileBytes(Tiff());
    ASSERT_TRUE(Convert());
    EXPECT_EQ(ReadFileBytes(Tiff()), first);
}

// Restores the file size limit and SIGXFSZ when the test ends.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

TEST_F(TiffWriterTest, WriteFailuresReportTheirStage) {
    WriteRawFile(Raw(), kDcsNormal, 2, Concatenate({SimplePage(40), SimplePage(40)}));
    ASSERT_TRUE(Convert());
    const std::vector<uint8_t> good = ReadFileBytes(Tiff());
    const uint32_t second = Le32(good, 10 + 182);

    {
        FileSizeLimit limit(4);
        ExpectFailure(11, 34);
    }
    {
        FileSizeLimit limit(100);
        ExpectFailure(13, 41);
    }
    {
        FileSizeLimit limit(212 + 5);
        EXPECT_FALSE(Convert());
        EXPECT_EQ(m_writer.StageCode(), 14u);
    }
    {
        // The second page's strip does not fit: the file is the first page alone.
        FileSizeLimit limit(second + 202 + 5);
        EXPECT_FALSE(Convert());
        EXPECT_EQ(m_writer.StageCode(), 14u);
    }
    const std::vector<uint8_t> partial = ReadFileBytes(Tiff());
    EXPECT_EQ(Le32(partial, 10 + 182), 0u);
    const DecodedTiff decoded = DecodeWithLibtiff(Tiff());
    ASSERT_TRUE(decoded.opened);
    EXPECT_EQ(decoded.pages.size(), 1u);
    EXPECT_TRUE(decoded.messages.empty()) << decoded.messages.front();
}

}  // namespace

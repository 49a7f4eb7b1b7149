// Files of zero, one and two pages, the failure codes and what is left on disk after a failure.
#include "tiff/tiff_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <filesystem>

#include "fax/raw_page_file.h"
#include "tests/tiff/fax_test_data.h"

namespace {

using namespace faxtest;

// `lines` Modified Huffman lines, each after its EOL: white and black in turn.
BitString StripedLines(int lines) {
    BitString coded;
    for (int i = 0; i < lines; ++i) {
        // White makeup 1728 and white 0; or white 0, black makeup 1728 and black 0.
        coded += Bits(i % 2 ? "EOL 00110101 0000001100101 0000110111" : "EOL 010011011 00110101");
    }
    return coded;
}

// The same lines as libtiff reads them.
Page StripedRows(int lines) {
    Page rows;
    for (int i = 0; i < lines; ++i) rows.emplace_back(kRowBytes, i % 2 ? 0xFF : 0x00);
    return rows;
}

// A page of `lines` lines as the session stores it.
BitString SimplePage(int lines) { return SessionPage(StripedLines(lines)); }

class TiffWriterTest : public ::testing::Test {
protected:
    bool Convert() { return m_writer.Convert(m_raw.c_str(), m_tiff.c_str()); }
    void ExpectFailure(uint32_t stage, uint32_t detail) {
        EXPECT_FALSE(Convert());
        EXPECT_EQ(m_writer.StageCode(), stage);
        EXPECT_EQ(m_writer.DetailCode(), detail);
    }
    // Converts and returns the file.
    std::string Converted(uint8_t dcs, uint8_t pageCount, const BitString& data) {
        WriteRawFile(m_raw, dcs, pageCount, data);
        EXPECT_TRUE(Convert()) << m_writer.StageCode() << "/" << m_writer.DetailCode();
        return ReadFile(m_tiff);
    }

    TempFolder m_scratch;
    std::string m_raw = m_scratch / "page.raw", m_tiff = m_scratch / "fax.tif";
    CTiffWriter m_writer;
};

TEST_F(TiffWriterTest, RawFileLoadFailuresLeaveAnExistingTiffAlone) {
    ExpectFailure(9, 26);  // no raw file at all
    EXPECT_FALSE(FileExists(m_tiff)) << "no TIFF created";
    const std::string old(5000, '\xAB');
    WriteFile(m_tiff, old);
    std::string shortData(raw_page_file::kHeaderSize + 10, '\0');
    shortData[raw_page_file::kDataLengthOffset] = 11;
    std::string hugeLength = shortData;
    hugeLength.replace(raw_page_file::kDataLengthOffset, 4,
                       "\xFF\xFF\xFF\xFF");  // must fail at once, not ask for 4 GiB
    const std::vector<std::tuple<const char*, std::string, uint32_t>> cases = {
        {"empty", "", 43},
        {"shorter than its data length", shortData, 32},
        {"damaged data length", hugeLength, 32},
    };
    for (const auto& [name, raw, detail] : cases) {
        WriteFile(m_raw, raw);
        ExpectFailure(9, detail);
        EXPECT_EQ(ReadFile(m_tiff), old) << name;
    }
    EXPECT_EQ(Converted(0, 1, SimplePage(1)).substr(0, 4), std::string("II*\0", 4))
        << "replaced once loaded";
}

TEST_F(TiffWriterTest, ZeroOneAndTwoPagesAndResolution) {
    // No page at all: a header alone opens nowhere, so there is no file.
    WriteRawFile(m_raw, 0, 0, {});
    ExpectFailure(17, 0);
    EXPECT_FALSE(FileExists(m_tiff));

    // Header and directory layout are read back by libtiff.
    const BitString page1 = SimplePage(2), page2 = SimplePage(5);
    const std::string two = Converted(0, 2, page1 + page2);
    ExpectReadableTiff(m_tiff, 2);
    EXPECT_EQ(Converted(0, 2, page1 + page2), two) << "a second Convert starts afresh";
    for (const auto& [dcs, dpi] :
         {std::pair<uint8_t, uint32_t>{0x02, 200}, {0xFD, 100}, {0xFF, 200}}) {
        EXPECT_EQ(Le32(Converted(dcs, 1, page1), 204), dpi) << "the fine bit of DCS " << int{dcs};
    }
}

// A page that fails after the first must not leave the page before it pointing at nothing.
TEST_F(TiffWriterTest, AFailingLaterPageLeavesAValidTiffOfTheGoodPages) {
    struct Case {
        const char* name;
        uint8_t pageCount;
        BitString data;
        uint32_t detail;
    };
    const std::vector<Case> cases = {
        {"third page without EOL", 3, SimplePage(2) + SimplePage(3) + Bits("50h FFh 12h 34h"), 37},
        // Even line counts end on a byte boundary: nothing left for page 3.
        {"page count beyond the data", 3, SimplePage(2) + SimplePage(4), 35},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteRawFile(m_raw, 0x02, c.pageCount, c.data);
        ExpectFailure(12, c.detail);
        ExpectReadableTiff(m_tiff, 2);
    }
}

// A page ends at its RTC whatever fill its EOLs carry; where the RTC was damaged on the line, it
// ends where the session saw the next page begin, and no page is lost with it.
TEST_F(TiffWriterTest, EveryPageEndsAtItsRtcOrWhereTheNextBegan) {
    // Six zeros before the sixth EOL (a sender that flushes its last byte); an EOL hit on the line.
    const BitString fill = Bits("EOL EOL EOL EOL EOL Z6 EOL");
    const BitString damaged = Bits("EOL EOL 000001000001 EOL EOL EOL");
    const auto page = [](int lines, const BitString& rtc) {
        return Bits("50h") + StripedLines(lines) + rtc + Bits("Z300");
    };
    // The pages, whether their starts are noted, the lines of the pages stored, the detail code.
    const std::vector<std::tuple<std::vector<BitString>, bool, std::vector<int>, uint32_t>> cases =
        {{{page(3, fill), page(4, fill), page(5, fill)}, false, {3, 4, 5}, 0},
         {{page(3, damaged), page(4, kRtc), page(5, kRtc)}, true, {3, 4, 5}, 38},
         {{page(3, kRtc), Bits("50h FFh 12h 34h"), page(5, kRtc)}, true, {3, 5}, 0}};
    for (const auto& [pages, noted, rows, detail] : cases) {
        std::vector<uint32_t> starts;
        const BitString data = BytePages(pages, starts);
        WriteRawFile(m_raw, 0, static_cast<uint8_t>(pages.size()), data,
                     noted ? starts : std::vector<uint32_t>{});
        CTiffWriter writer;  // a page's detail code outlives its conversion
        ASSERT_TRUE(writer.Convert(m_raw.c_str(), m_tiff.c_str())) << writer.StageCode();
        EXPECT_EQ(writer.DetailCode(), detail);
        const DecodedTiff decoded = ExpectReadableTiff(m_tiff, rows.size());
        for (size_t k = 0; k < rows.size() && k < decoded.pages.size(); ++k)
            EXPECT_TRUE(decoded.pages[k] == StripedRows(rows[k])) << detail << ", page " << k + 1;
    }
}

// libtiff refuses a directory with zero rows, and every page after it with it; with no page of
// rows at all there is no file.
TEST_F(TiffWriterTest, PagesWithoutRowsGetNoDirectory) {
    const BitString rtcOnly = Bits("50h RTC");
    const std::vector<std::tuple<BitString, uint8_t, std::vector<uint32_t>, std::vector<unsigned>>>
        cases = {
            {SimplePage(2) + rtcOnly + SimplePage(4), 3, {2, 4}, {2}},
            {rtcOnly + SimplePage(3), 2, {3}, {1}},
            {rtcOnly + rtcOnly, 2, {}, {1, 2}},
        };
    for (const auto& [data, count, rows, left] : cases) {
        WriteRawFile(m_raw, 0, count, data);
        EXPECT_EQ(Convert(), !rows.empty());
        EXPECT_EQ(m_writer.PagesWithoutRows(), left);
        if (rows.empty()) {
            EXPECT_EQ(m_writer.StageCode(), 17u);
            EXPECT_FALSE(FileExists(m_tiff));
            continue;
        }
        const DecodedTiff decoded = ExpectReadableTiff(m_tiff, rows.size());
        for (size_t k = 0; k < rows.size() && k < decoded.pages.size(); ++k)
            EXPECT_EQ(decoded.pages[k].size(), rows[k]);
    }
}

// Restores the file size limit and SIGXFSZ when the test ends.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : m_oldHandler(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &m_old);
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
    void (*m_oldHandler)(int);
};

TEST_F(TiffWriterTest, WriteFailuresReportTheirStage) {
    // The offset of the second directory, from the first's next-directory field.
    const uint32_t second = Le32(Converted(0, 2, SimplePage(40) + SimplePage(40)), 192);
    EXPECT_FALSE(m_writer.Convert(m_raw.c_str(), (m_scratch / "no/such/fax.tif").c_str()));
    EXPECT_EQ(m_writer.StageCode(), 10u);
    // Header, first directory, first strip, second strip: the last leaves the first page alone.
    const std::vector<std::array<uint32_t, 3>> cases = {
        // file size limit, stage, detail (0: not checked)
        {4, 11, 34},
        {100, 13, 41},
        {212 + 5, 14, 0},
        {second + 202 + 5, 14, 0}};
    for (const auto& [limit, stage, detail] : cases) {
        FileSizeLimit fileSize(limit);
        EXPECT_FALSE(Convert());
        EXPECT_EQ(m_writer.StageCode(), stage) << limit;
        if (detail != 0) {
            EXPECT_EQ(m_writer.DetailCode(), detail) << limit;
        }
    }
    ExpectReadableTiff(m_tiff, 1);
}

// The output is replaced only by a complete TIFF, never when it is the input or not a regular
// file; the tool says which pages it left out, and leaves no temporary file behind.
TEST(RawToTiffTool, ExitStatusMessagesAndWhatIsLeftOnDisk) {
    TempFolder scratch;
    const BitString rtcOnly = Bits("50h RTC"), onePage = SimplePage(2);
    WriteRawFile(scratch / "good.raw", 0, 1, onePage);
    WriteRawFile(scratch / "short.raw", 0, 1, onePage.substr(0, onePage.size() - 40));
    WriteRawFile(scratch / "gap.raw", 0, 2, rtcOnly + onePage);
    WriteRawFile(scratch / "blank.raw", 0, 1, rtcOnly);
    WriteRawFile(scratch / "bad4.raw", 0, 4, onePage + onePage + onePage + Bits("50h FFh 12h 34h"));
    WriteFile(scratch / "empty.raw", "");
    const std::string goodRaw = ReadFile(scratch / "good.raw"), old = "an older fax";
    ASSERT_EQ(mkfifo((scratch / "fifo.tif").c_str(), 0600), 0);
    ASSERT_EQ(symlink("good.raw", (scratch / "link.tif").c_str()), 0);
    // raw, TIFF, exit status, a text of the output (none: no output), pages written (0: none)
    const std::vector<std::tuple<std::string, std::string, int, std::string, size_t>> cases = {
        {"good", "good.tif", 0, "", 1},
        {"short", "old.tif", 0, "detail 38", 1},
        {"gap", "gap.tif", 0, "left out page(s) 1 of 2", 1},
        {"bad4", "old.tif", 1, "page 4 of 4 cannot be converted", 3},
        {"empty", "old.tif", 1, "resolution byte cannot be read); no file written", 0},
        {"blank", "old.tif", 1, "none of the 1 pages", 0},
        {"good", "good.raw", 2, "raw page file itself", 0},
        {"good", "fifo.tif", 2, "not a regular file", 0},
        {"good", "link.tif", 2, "not a regular file", 0},
    };
    for (const auto& [raw, tiff, status, text, pages] : cases) {
        SCOPED_TRACE(raw + " to " + tiff);
        WriteFile(scratch / "old.tif", old);
        std::string output;
        EXPECT_EQ(RunProgram({VANTORO_RAWTOTIFF, scratch / (raw + ".raw"), scratch / tiff}, output),
                  status);
        EXPECT_NE(output.find(text), std::string::npos) << output;
        EXPECT_EQ(output.empty(), text.empty()) << output;
        if (pages != 0) ExpectReadableTiff(scratch / tiff, pages);
        if (pages == 0 && tiff == "old.tif") {
            EXPECT_EQ(ReadFile(scratch / tiff), old);
        }
    }
    EXPECT_EQ(ReadFile(scratch / "good.raw"), goodRaw);
    EXPECT_EQ(ReadFile(scratch / "link.tif"), goodRaw) << "the link still points at the raw file";
    for (const auto& entry : std::filesystem::directory_iterator(scratch.Path()))
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
    std::string output;
    EXPECT_EQ(RunProgram({VANTORO_RAWTOTIFF, "only-one"}, output), 2);
    EXPECT_NE(output.find("usage"), std::string::npos) << output;
}

}  // namespace

// vantoro-faxrx against spandsp's calling fax machine through the virtual modem, in real time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace {

constexpr int kWidth = 1728;
constexpr int kRowBytes = kWidth / 8;
constexpr int kReceiveTimeoutMs = 150000;
using Page = std::vector<std::vector<uint8_t>>;  // rows of packed pixels, 1 = black

std::string Tool(const std::string& name) { return BuildFolder() + "/" + name; }

// A sparse page: a few bars whose places depend on the page number, so pages differ.
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
    for (size_t number = 0; number < pages.size(); ++number) {
        const Page& page = pages[number];
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(page.size()));
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
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(page.size()));
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(number), static_cast<uint16_t>(pages.size()));
        for (size_t y = 0; y < page.size(); ++y) {
            std::vector<uint8_t> row = page[y];
            if (TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0) < 0) {
                TIFFClose(tif);
                return false;
            }
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    return true;
}

// Every page of a bilevel TIFF as libtiff decodes it, 1 = black.
std::vector<Page> ReadTiff(const std::string& path, std::string* problems) {
    std::vector<Page> pages;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) {
        *problems += "cannot open " + path;
        return pages;
    }
    do {
        uint32_t width = 0, rows = 0;
        uint16_t photometric = PHOTOMETRIC_MINISWHITE;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &rows);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        if (width != kWidth) *problems += "width " + std::to_string(width) + "; ";
        Page page(rows, std::vector<uint8_t>(TIFFScanlineSize(tif), 0));
        for (uint32_t y = 0; y < rows; ++y) {
            if (TIFFReadScanline(tif, page[y].data(), y, 0) < 0) *problems += "row " + std::to_string(y) + " unreadable; ";
            if (photometric == PHOTOMETRIC_MINISBLACK) {
                for (uint8_t& byte : page[y]) byte = static_cast<uint8_t>(~byte);
            }
        }
        pages.push_back(page);
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return pages;
}

std::string ReadBytes(const std::string& path) { return ReadFile(path); }

uint32_t Le32(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[offset + i]);
    return value;
}

// The DCS rate bits (second octet, 0x30) of each rate.
uint8_t RateBits(int bps) {
    switch (bps) {
    case 2400: return 0x00;
    case 4800: return 0x10;
    case 7200: return 0x30;
    default: return 0x20;
    }
}

// One call: a virtual modem of its own, spandsp's fax machine calling, vantoro-faxrx answering.
struct FaxCall {
    TempFolder folder;
    std::vector<Page> pages;
    bool fine = false;
    std::unique_ptr<ChildProcess> modem, caller, receiver;
    int receiverExit = -2;
    int callerExit = -2;

    std::string Link() const { return folder / "modem"; }
    std::string Raw() const { return folder / "page.raw"; }
    std::string LogPath() const { return folder / "faxrx.log"; }

    void Start(std::vector<Page> sentPages, bool fineResolution, std::vector<std::string> callerArgs) {
        pages = std::move(sentPages);
        fine = fineResolution;
        std::string tiff = folder / "sent.tif";
        ASSERT_TRUE(WriteTiff(tiff, pages, fine));
        std::string socket = folder / "line.sock";
        modem = std::make_unique<ChildProcess>(std::vector<std::string>{
            Tool("vantoro-vmodem"), "--link", Link(), "--socket", socket, "--ring-interval", "500"});
        ASSERT_TRUE(modem->Start());
        for (int i = 0; i < 250 && !(FileExists(Link()) && FileExists(socket)); ++i) usleep(20000);
        ASSERT_TRUE(FileExists(Link()));
        std::vector<std::string> args = {Tool("vantoro-call"), "--socket", socket, "--fax", tiff};
        args.insert(args.end(), callerArgs.begin(), callerArgs.end());
        caller = std::make_unique<ChildProcess>(args);
        ASSERT_TRUE(caller->Start());
        usleep(1500000);  // the call rings
        receiver = std::make_unique<ChildProcess>(
            std::vector<std::string>{Tool("vantoro-faxrx"), "--log", LogPath(), Link(), Raw()});
        ASSERT_TRUE(receiver->Start());
    }

    void Wait() {
        if (!receiver) return;
        receiverExit = receiver->WaitForExit(kReceiveTimeoutMs);
        callerExit = caller->WaitForExit(30000);
    }

    std::string Status() const {
        auto lines = receiver->StdoutLines();
        return lines.empty() ? std::string() : lines.back();
    }
};

// Checks a received fax against what was sent: statuses, header, data length and pixels.
void ExpectReceived(FaxCall& call, int bps) {
    SCOPED_TRACE(call.folder.Path() + " at " + std::to_string(bps) + " bit/s");
    ASSERT_EQ(call.receiverExit, 0) << call.receiver->Stdout() << ReadFile(call.LogPath());
    EXPECT_EQ(call.Status(), "接收传真成功");
    std::vector<std::string> expectedStatus = {"准备接收传真", "开始接收传真", "正在初始化MODEM", "正在应答传真",
                                               "发送CSI", "发送DIS"};
    auto lines = call.receiver->StdoutLines();
    ASSERT_GE(lines.size(), expectedStatus.size());
    EXPECT_TRUE(std::equal(expectedStatus.begin(), expectedStatus.end(), lines.begin()));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "本页接收完毕"), static_cast<long>(call.pages.size()));
    std::string log = ReadFile(call.LogPath());
    EXPECT_NE(log.find("  接收传真成功\r\n"), std::string::npos);
    const std::string expectedResult = "RESULT fax ok pages=" + std::to_string(call.pages.size()) + " rate=" + std::to_string(bps);
    EXPECT_NE(call.caller->Stdout().find(expectedResult), std::string::npos) << call.caller->Stdout();

    std::string raw = ReadBytes(call.Raw());
    ASSERT_GE(raw.size(), 132u);
    EXPECT_EQ(raw.substr(0, 2), "G3");
    EXPECT_EQ(static_cast<uint8_t>(raw[4]) & 0x30, RateBits(bps));
    EXPECT_EQ((static_cast<uint8_t>(raw[4]) & 0x02) != 0, call.fine);
    EXPECT_EQ(static_cast<uint8_t>(raw[40]), call.pages.size());
    EXPECT_EQ(Le32(raw, 128), raw.size() - 132);

    std::string tiff = call.folder / "received.tif";
    ChildProcess convert({Tool("vantoro-rawtotiff"), call.Raw(), tiff});
    ASSERT_TRUE(convert.Start());
    ASSERT_EQ(convert.WaitForExit(30000), 0) << convert.Stderr();
    std::string problems;
    std::vector<Page> received = ReadTiff(tiff, &problems);
    EXPECT_EQ(problems, "");
    ASSERT_EQ(received.size(), call.pages.size());
    for (size_t number = 0; number < received.size(); ++number) {
        ASSERT_EQ(received[number].size(), call.pages[number].size()) << "rows of page " << number + 1;
        for (size_t y = 0; y < received[number].size(); ++y) {
            ASSERT_EQ(received[number][y], call.pages[number][y]) << "page " << number + 1 << " row " << y;
        }
    }
}

TEST(FaxInterop, OnePageNormalAndOnePageFine) {
    FaxCall normal, fine;
    normal.Start({SparsePage(300, 1)}, false, {});
    fine.Start({SparsePage(600, 2)}, true, {});
    normal.Wait();
    fine.Wait();
    ExpectReceived(normal, 9600);
    ExpectReceived(fine, 9600);
}

TEST(FaxInterop, ThreePages) {
    FaxCall call;
    call.Start({SparsePage(200, 1), SparsePage(200, 2), SparsePage(200, 3)}, false, {});
    call.Wait();
    ExpectReceived(call, 9600);
    auto lines = call.receiver->StdoutLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "准备接收下一页"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "收到EOP"), 1);
}

// More than one block of page data: the 20 ms minimum line time pads every line at 9600 bit/s.
TEST(FaxInterop, PageOfMoreThanOneDataBlock) {
    FaxCall call;
    call.Start({SparsePage(3600, 4)}, true, {});
    call.Wait();
    ExpectReceived(call, 9600);
    EXPECT_GT(Le32(ReadBytes(call.Raw()), 128), 81920u);
}

TEST(FaxInterop, EachRate) {
    const int rates[] = {2400, 4800, 7200, 9600};
    FaxCall calls[4];
    for (int i = 0; i < 4; ++i) calls[i].Start({SparsePage(150, i)}, false, {"--rate", std::to_string(rates[i])});
    for (auto& call : calls) call.Wait();
    for (int i = 0; i < 4; ++i) ExpectReceived(calls[i], rates[i]);
}

void RatesWithNoise(const std::vector<int>& rates, const std::string& snrDb) {
    std::vector<FaxCall> calls(rates.size());
    for (size_t i = 0; i < rates.size(); ++i) {
        calls[i].Start({SparsePage(150, static_cast<int>(i) + 3)}, false,
                       {"--rate", std::to_string(rates[i]), "--snr", snrDb});
    }
    for (auto& call : calls) call.Wait();
    for (size_t i = 0; i < rates.size(); ++i) ExpectReceived(calls[i], rates[i]);
}

TEST(FaxInterop, ThirtyDbAt2400And7200And9600) { RatesWithNoise({2400, 7200, 9600}, "30"); }

TEST(FaxInterop, ThirtyDbAt4800) { RatesWithNoise({4800}, "30"); }

TEST(FaxInterop, EachRateAtThirtyFiveDb) { RatesWithNoise({2400, 4800, 7200, 9600}, "35"); }

TEST(FaxInterop, LineOfPureNoiseEndsWithAnError) {
    FaxCall call;
    call.Start({SparsePage(150, 1)}, false, {"--snr", "0"});
    call.Wait();
    ASSERT_EQ(call.receiverExit, 1) << "the receiver hung or crashed: " << call.receiver->Stdout();
    auto lines = call.receiver->StdoutLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), "接收传真失败");
    EXPECT_EQ(lines[lines.size() - 2], "传真接收结束");
    EXPECT_NE(ReadFile(call.LogPath()).find("错误号："), std::string::npos);
}

}  // namespace

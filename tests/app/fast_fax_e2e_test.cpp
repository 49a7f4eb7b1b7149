// The [fax] mode setting end to end: the headless program on a virtual modem, spandsp's fax
// machine calling with V.17 (and error correction) offered; the DIS as the caller heard it, the
// stored TIFF by libtiff.
#include <gtest/gtest.h>

#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr int kFaxMs = 120000;
// The DIS as spandsp's trace shows it on the line (bits reversed): 0x00, 0x77, 0x1F, 0x22 offers
// V.17, 0 ms scan line time, error correction, 2-D and T.6 coding; 0x00, 0x72, 0x10 is the
// standard one.
const std::string kFastDis = "Rx:  ff 13 80 00 ee f8 44";
const std::string kStandardDis = "Rx:  ff 13 80 00 4e 08";

TEST(FastFaxMode, TwoPagesAtV17WithoutScanTimeAndStandardAgainAfterward) {
    ModemHarness modem{600};
    ASSERT_TRUE(modem.Start());
    ProgramHarness harness;
    harness.UseModem(modem.LinkPath());
    const std::string ini = harness.Home() + "/vantoro.ini";
    WriteFile(ini, "[vantoro]\nring=1\ntime=1\n[fax]\nmode=fast\n");
    auto program = harness.Start();
    ASSERT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs)) << program->Stderr();

    const std::vector<Page> sent = {SparsePage(1100, 1), SparsePage(1100, 2)};
    ASSERT_TRUE(WriteTiff(harness.Root() / "sent.tif", sent, false));
    size_t from = program->StdoutLines().size();
    auto caller = modem.Call({"--fax", harness.Root() / "sent.tif", "--v17", "--trace"});
    ASSERT_TRUE(program->WaitForStdoutLine("接收传真成功", kFaxMs, from)) << program->Stdout();
    // The settings are read again when the program goes back to waiting, 2 s after the fax.
    WriteFile(ini, "[vantoro]\nring=1\ntime=1\n[fax]\nmode=standard\n");
    EXPECT_EQ(caller->WaitForExit(kProgramStepMs), 0);
    EXPECT_EQ(caller->StdoutLines().back(), "RESULT fax ok pages=2 rate=14400 ecm=0 coding=MH");
    EXPECT_NE(caller->Stderr().find(kFastDis), std::string::npos);
    EXPECT_NE(caller->Stderr().find("Minimum scan line time: 0ms"), std::string::npos);
    const std::vector<std::string> tiffs = harness.WaitForFiles("fax", ".tif", 1, kProgramStepMs);
    ASSERT_EQ(tiffs.size(), 1u) << harness.Log();
    ASSERT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs, from));
    const DecodedTiff decoded = ReadTiff(tiffs[0]);
    EXPECT_EQ(decoded.problems, "");
    EXPECT_TRUE(decoded.pages == sent);

    // The standard DIS goes out again, and V.29 is used; a caller that offers error correction
    // sends without it.
    ASSERT_TRUE(WriteTiff(harness.Root() / "short.tif", {SparsePage(100, 3)}, false));
    caller = modem.Call({"--fax", harness.Root() / "short.tif", "--v17", "--ecm", "--trace"});
    EXPECT_EQ(harness.WaitForFiles("fax", ".tif", 2, kFaxMs).size(), 2u) << program->Stdout();
    EXPECT_EQ(caller->WaitForExit(kProgramStepMs), 0);
    EXPECT_NE(caller->Stderr().find(kStandardDis), std::string::npos);
    EXPECT_EQ(caller->StdoutLines().back(), "RESULT fax ok pages=1 rate=9600 ecm=0 coding=MH");
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
    EXPECT_NE(ReadFile(ini).find("[fax]\nmode=standard\n"), std::string::npos)
        << "the settings writer lost the [fax] section";
}

// Runs of 2 pixels across every row: in MH about 320 octets a row.
Page DensePage(int rows) {
    Page page(rows, std::vector<uint8_t>(kRowBytes, 0));
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < kRowBytes; ++x) page[y][x] = (y / 8) % 2 ? 0xCC : 0x66;
    }
    return page;
}

// With error correction, in each coding the sender may choose, one call a coding so that they
// run side by side: a page of dense rows and a short one, pixel-exact. In MH the dense page is
// longer than 256 frames of 256 octets, so it takes two blocks.
class EcmCoding : public ::testing::TestWithParam<std::string> {};

TEST_P(EcmCoding, ErrorCorrectedPagesArrivePixelExact) {
    const std::string coding = GetParam();
    const bool twoBlocks = coding == "MH";  // 216 dense rows in MH are about 70,000 octets
    ModemHarness modem{600};
    ASSERT_TRUE(modem.Start());
    ProgramHarness harness;
    harness.UseModem(modem.LinkPath());
    WriteFile(harness.Home() + "/vantoro.ini", "[vantoro]\nring=1\ntime=1\n[fax]\nmode=fast\n");
    auto program = harness.Start();
    ASSERT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs)) << program->Stderr();
    const std::vector<Page> sent = {DensePage(twoBlocks ? 216 : 32), SparsePage(100, 4)};
    ASSERT_TRUE(WriteTiff(harness.Root() / "sent.tif", sent, false));
    const size_t from = program->StdoutLines().size();
    auto caller =
        modem.Call({"--fax", harness.Root() / "sent.tif", "--v17", "--ecm", "--coding", coding});
    const std::vector<std::string> tiffs = harness.WaitForFiles("fax", ".tif", 1, kFaxMs);
    ASSERT_EQ(tiffs.size(), 1u) << harness.Log();
    EXPECT_EQ(caller->WaitForExit(kProgramStepMs), 0);
    EXPECT_EQ(caller->StdoutLines().back(),
              "RESULT fax ok pages=2 rate=14400 ecm=1 coding=" + coding);
    const DecodedTiff decoded = ReadTiff(tiffs.back());
    EXPECT_EQ(decoded.problems, "");
    EXPECT_TRUE(decoded.pages == sent);
    ASSERT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs, from));
    const std::string log = harness.Log();
    EXPECT_NE(log.find("对方选择ECM，帧长256字节"), std::string::npos) << log;
    if (twoBlocks) {
        EXPECT_NE(log.find("收到PPS-NULL，第1页第1块，256帧"), std::string::npos) << log;
    }
    EXPECT_NE(log.find("收到PPS-EOP，第2页第1块"), std::string::npos) << log;
    EXPECT_EQ(log.find("PPR"), std::string::npos) << log;
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
}

INSTANTIATE_TEST_SUITE_P(FastFaxMode, EcmCoding, ::testing::Values("MH", "MR", "MMR"),
                         [](const auto& info) { return info.param; });

}  // namespace

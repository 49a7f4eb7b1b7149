// The [fax] mode setting end to end: the headless program on a virtual modem, spandsp's fax
// machine calling with V.17 offered; the DIS as the caller heard it, the stored TIFF by libtiff.
#include <gtest/gtest.h>

#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr int kFaxMs = 120000;
// The DIS as spandsp's trace shows it on the line (bits reversed): 0x00, 0x76, 0x1E offers V.17
// and 0 ms scan line time; 0x00, 0x72, 0x10 is the standard one.
const std::string kFastDis = "Rx:  ff 13 80 00 6e 78";
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
    EXPECT_EQ(caller->StdoutLines().back(), "RESULT fax ok pages=2 rate=14400");
    EXPECT_NE(caller->Stderr().find(kFastDis), std::string::npos);
    EXPECT_NE(caller->Stderr().find("Minimum scan line time: 0ms"), std::string::npos);
    const std::vector<std::string> tiffs = harness.WaitForFiles("fax", ".tif", 1, kProgramStepMs);
    ASSERT_EQ(tiffs.size(), 1u) << harness.Log();
    ASSERT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs, from));
    const DecodedTiff decoded = ReadTiff(tiffs[0]);
    EXPECT_EQ(decoded.problems, "");
    EXPECT_TRUE(decoded.pages == sent);

    // The standard DIS goes out again, and V.29 is used.
    ASSERT_TRUE(WriteTiff(harness.Root() / "short.tif", {SparsePage(100, 3)}, false));
    caller = modem.Call({"--fax", harness.Root() / "short.tif", "--v17", "--trace"});
    EXPECT_EQ(harness.WaitForFiles("fax", ".tif", 2, kFaxMs).size(), 2u) << program->Stdout();
    EXPECT_EQ(caller->WaitForExit(kProgramStepMs), 0);
    EXPECT_NE(caller->Stderr().find(kStandardDis), std::string::npos);
    EXPECT_EQ(caller->StdoutLines().back(), "RESULT fax ok pages=1 rate=9600");
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
    EXPECT_NE(ReadFile(ini).find("[fax]\nmode=standard\n"), std::string::npos)
        << "the settings writer lost the [fax] section";
}

}  // namespace

#include <gtest/gtest.h>

#include "tests/tiff/fax_test_data.h"

namespace {

using namespace faxtest;

std::string Tool() { return VANTORO_RAWTOTIFF; }

TEST(RawToTiffTool, ConvertsAndExitsZero) {
    ScratchFolder scratch;
    BitString page;
    page.AppendByte(0x50);
    page.AppendEol();
    page.AppendBits(0b10011, 5);
    page.AppendRtc();
    WriteRawFile(scratch.Path("a.raw"), 0, 1, page);
    std::string output;
    EXPECT_EQ(
        RunCommand(Tool() + " " + scratch.Path("a.raw") + " " + scratch.Path("a.tif"), output), 0)
        << output;
    EXPECT_TRUE(output.empty()) << output;
    const DecodedTiff decoded = DecodeWithLibtiff(scratch.Path("a.tif"));
    EXPECT_EQ(decoded.pages.size(), 1u);
}

TEST(RawToTiffTool, FailurePrintsStageAndDetailAndExitsOne) {
    ScratchFolder scratch;
    WriteFileBytes(scratch.Path("empty.raw"), {});
    std::string output;
    EXPECT_EQ(
        RunCommand(Tool() + " " + scratch.Path("empty.raw") + " " + scratch.Path("b.tif"), output),
        1);
    EXPECT_NE(output.find("stage 9"), std::string::npos) << output;
    EXPECT_NE(output.find("detail 43"), std::string::npos) << output;
    EXPECT_NE(output.find("resolution byte"), std::string::npos) << output;
    EXPECT_FALSE(FileExists(scratch.Path("b.tif")));
}

TEST(RawToTiffTool, IncompletePageWarnsButSucceeds) {
    ScratchFolder scratch;
    WriteRawFile(scratch.Path("c.raw"), 0, 1, std::vector<uint8_t>{0x00, 0x10});
    std::string output;
    EXPECT_EQ(
        RunCommand(Tool() + " " + scratch.Path("c.raw") + " " + scratch.Path("c.tif"), output), 0);
    EXPECT_NE(output.find("detail 38"), std::string::npos) << output;
}

TEST(RawToTiffTool, WrongArgumentsShowUsage) {
    std::string output;
    EXPECT_EQ(RunCommand(Tool() + " only-one", output), 2);
    EXPECT_NE(output.find("usage"), std::string::npos) << output;
}

}  // namespace

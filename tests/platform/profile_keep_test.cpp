#include <gtest/gtest.h>

#include "platform/profile.h"
#include "tests/support/child_process.h"

namespace {

// The program's writes of ring, time and skin change their own lines only: comments, unknown
// sections and keys, line ends and a last line without one stay byte for byte.
TEST(ProfileKeepTest, WritesKeepEveryOtherByte) {
    TempFolder folder;
    const std::string path = folder / "vantoro.ini";
    WriteFile(path,
              "; mine\r\n[vantoro]\r\nring=4 ;rings\r\n\r\n[fax]\r\nmode=fast\r\n"
              "[notify]\r\n# mail it\r\ncommand=mail-fax --to me\r\n[x]\r\nlast=1");
    ASSERT_TRUE(platform::WriteProfileString("vantoro", "ring", "3 ;设置振铃次数", path));
    ASSERT_TRUE(platform::WriteProfileString("vantoro", "time", "5", path));
    ASSERT_TRUE(platform::WriteProfileString("vantoro", "skin", "2", path));
    ASSERT_TRUE(platform::WriteProfileString("other", "skin", "1", path));
    EXPECT_EQ(ReadFile(path),
              "; mine\r\n[vantoro]\r\nring=3 ;设置振铃次数\r\ntime=5\r\nskin=2\r\n\r\n[fax]\r\n"
              "mode=fast\r\n[notify]\r\n# mail it\r\ncommand=mail-fax --to me\r\n[x]\r\nlast=1\r\n"
              "[other]\r\nskin=1\r\n");
}

}  // namespace

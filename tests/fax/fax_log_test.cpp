#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "fax/fax_receiver.h"
#include "tests/support/child_process.h"

namespace {

TEST(FaxLog, LivesInTheStateFolder) {
    TempFolder root;
    setenv("XDG_STATE_HOME", root.Path().c_str(), 1);
    EXPECT_EQ(CFaxReceiver::LogFilePath(), root.Path() + "/vantoro/Fax.Log");

    setenv("HOME", root.Path().c_str(), 1);
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(CFaxReceiver::LogFilePath(), root.Path() + "/.local/state/vantoro/Fax.Log");
    setenv("XDG_STATE_HOME", "relative/ignored", 1);
    EXPECT_EQ(CFaxReceiver::LogFilePath(), root.Path() + "/.local/state/vantoro/Fax.Log");
    EXPECT_TRUE(FileExists(root.Path() + "/.local/state/vantoro"));

    unsetenv("HOME");
    setenv("XDG_STATE_HOME", "/proc/no-such-state", 1);  // cannot be created
    EXPECT_EQ(CFaxReceiver::LogFilePath(), "/tmp/Fax.Log");
}

TEST(FaxLog, RecreatedAtOpenAndEveryLineOnDiskAtOnce) {
    TempFolder root;
    setenv("XDG_STATE_HOME", root.Path().c_str(), 1);
    const std::string path = root.Path() + "/vantoro/Fax.Log";
    {
        CFaxReceiver receiver;
        ASSERT_TRUE(receiver.OpenLog());
        receiver.Log("from an earlier run");
    }
    CFaxReceiver receiver;
    ASSERT_TRUE(receiver.OpenLog());
    EXPECT_EQ(ReadFile(path), "");

    receiver.Log("开始接收传真");
    std::string first = ReadFile(path);  // no close, no flush: already in the file
    std::regex line(R"((\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.(\d{3})  开始接收传真\r\n)");
    EXPECT_TRUE(std::regex_match(first, line)) << first;
    EXPECT_EQ(std::string(receiver.m_szTime).size(), 23u);

    receiver.Log("");
    EXPECT_EQ(ReadFile(path).size(), first.size() + 23 + 2 + 2);
    receiver.CloseLog();
    EXPECT_FALSE(receiver.IsLogOpen());
    receiver.Log("after close");
    EXPECT_EQ(ReadFile(path).size(), first.size() + 27);
}

}  // namespace

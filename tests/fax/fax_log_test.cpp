#include <gtest/gtest.h>

#include <cstdlib>

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

}  // namespace

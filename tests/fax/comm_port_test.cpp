// The serial channel's failure codes; its reads run in every session transcript.
#include "fax/comm_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

namespace faxtest {
namespace {

TEST(CommPort, FailuresOfCloseAndWriteHaveTheirCodes) {
    CCommPort port;
    int fd = dup(STDIN_FILENO);
    ASSERT_GE(fd, 0);
    close(fd);  // a number that is no longer open
    port.Attach(fd);
    EXPECT_FALSE(port.Close());
    EXPECT_EQ(port.m_nError, CCommPort::kErrClose);
    EXPECT_FALSE(port.HasHandle());  // dropped all the same

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    signal(SIGPIPE, SIG_IGN);
    port.Attach(pipeFds[1]);
    EXPECT_FALSE(port.Write("abc", 3));
    EXPECT_EQ(port.m_nError, CCommPort::kErrWrite);
    port.Close();
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// The channel owns what it is given: a descriptor handed over twice stays open, a replaced or
// left one is closed, and Close leaves nothing for the end to close again.
TEST(CommPort, ClosesEachDescriptorItWasGivenOnce) {
    int first[2], second[2];
    ASSERT_EQ(pipe(first), 0);
    ASSERT_EQ(pipe(second), 0);
    close(first[0]);
    close(second[0]);
    {
        CCommPort port;
        port.Attach(first[1]);
        port.Attach(first[1]);
        EXPECT_TRUE(IsOpen(first[1]));
        port.Attach(second[1]);
        EXPECT_FALSE(IsOpen(first[1]));
        EXPECT_EQ(port.Handle(), second[1]);
    }
    EXPECT_FALSE(IsOpen(second[1]));

    CCommPort port;
    ASSERT_EQ(pipe(first), 0);
    close(first[0]);
    port.Attach(first[1]);
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.Close());
    EXPECT_EQ(port.m_nError, CCommPort::kErrNoHandle);
}

}  // namespace
}  // namespace faxtest

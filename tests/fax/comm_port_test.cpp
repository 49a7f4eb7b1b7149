// The serial channel's failure codes; its reads run in every session transcript.
#include "fax/comm_port.h"

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
    port.m_hComm = fd;
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

}  // namespace
}  // namespace faxtest

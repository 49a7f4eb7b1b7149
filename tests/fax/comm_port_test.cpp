// The serial channel on a pty, and its failure codes.
#include "fax/comm_port.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "platform/serial_port.h"
#include "tests/support/transcript_modem.h"

namespace faxtest {
namespace {

// Waits until the slave has `count` bytes queued (the pty hands them over asynchronously).
void AwaitQueued(int fd, long count) {
    for (int i = 0; i < 200 && platform::SerialQueuedBytes(fd) < count; ++i) usleep(5000);
    ASSERT_GE(platform::SerialQueuedBytes(fd), count);
}

TEST(CommPort, ReadsQueuedBytesIntoTheAccumulatorUpToItsSize) {
    TranscriptModem modem;
    CCommPort port;
    const int fd = modem.OpenSlave();
    ASSERT_GE(fd, 0);
    port.Attach(fd);
    port.m_byLast = 0x55;
    EXPECT_FALSE(port.ReadByte());
    EXPECT_EQ(port.m_nError, CCommPort::kErrNothingQueued);
    EXPECT_EQ(port.m_byLast, 0);
    EXPECT_FALSE(port.Read(1));
    EXPECT_EQ(port.m_nRxLen, 0u);

    modem.Send(std::string(40, 'x'));
    AwaitQueued(fd, 40);
    ASSERT_TRUE(port.Read(1));
    EXPECT_EQ(port.m_nRxLen, 1u);
    EXPECT_EQ(port.m_pRxBuf[0], 'x');
    EXPECT_EQ(platform::SerialQueuedBytes(fd), 39);
    ASSERT_TRUE(port.ReadByte());  // the single byte, not the accumulator
    EXPECT_EQ(port.m_byLast, 'x');
    EXPECT_EQ(port.m_nRxLen, 1u);

    port.m_nRxLen = CCommPort::kRxBufSize;
    EXPECT_TRUE(port.Read(1));
    EXPECT_EQ(port.m_nRxLen, CCommPort::kRxBufSize);
    port.ClearRxBuffer();
    EXPECT_EQ(port.m_nRxLen, 0u);
    EXPECT_TRUE(port.Purge());
    EXPECT_EQ(platform::SerialQueuedBytes(fd), 0);

    modem.Vanish();
    EXPECT_FALSE(port.ReadByte());
    EXPECT_EQ(port.m_nError, CCommPort::kErrDeviceGone);
    EXPECT_TRUE(port.DeviceGone());
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.HasHandle());
}

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

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "fax/comm_port.h"
#include "platform/serial_port.h"
#include "tests/fax/scripted_modem.h"

namespace faxtest {
namespace {

// Waits until the slave has `count` bytes queued (the pty hands them over asynchronously).
void AwaitQueued(int fd, long count) {
    for (int i = 0; i < 200 && platform::SerialQueuedBytes(fd) < count; ++i) usleep(5000);
    ASSERT_GE(platform::SerialQueuedBytes(fd), count);
}

class CommPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        fd = modem.OpenSlave();
        ASSERT_GE(fd, 0);
        port.Attach(fd);
    }
    void TearDown() override {
        modem.Finish();
        if (port.HasHandle()) port.Close();
    }
    ScriptedModem modem;
    CCommPort port;
    int fd = -1;
};

TEST_F(CommPortTest, NothingQueuedFailsWithoutTouchingTheAccumulator) {
    port.m_byLast = 0x55;
    EXPECT_FALSE(port.ReadByte());
    EXPECT_EQ(port.m_nError, CCommPort::kErrNothingQueued);
    EXPECT_EQ(port.m_byLast, 0);
    port.m_nError = 0;
    EXPECT_FALSE(port.Read(1));
    EXPECT_EQ(port.m_nError, CCommPort::kErrNothingQueued);
    EXPECT_EQ(port.m_nRxLen, 0u);
}

TEST_F(CommPortTest, ReadTakesOneByteOfFortyQueued) {
    modem.Send(Repeat('x', 40));
    AwaitQueued(fd, 40);
    ASSERT_TRUE(port.Read(1));
    EXPECT_EQ(port.m_nRxLen, 1u);
    EXPECT_EQ(port.m_pRxBuf[0], 'x');
    EXPECT_EQ(platform::SerialQueuedBytes(fd), 39);
    ASSERT_TRUE(port.ReadByte());
    EXPECT_EQ(port.m_byLast, 'x');
    EXPECT_EQ(port.m_nRxLen, 1u);
}

TEST_F(CommPortTest, AccumulatorStopsAtItsSizeAndClears) {
    port.m_nRxLen = CCommPort::kRxBufSize;
    modem.Send("y");
    AwaitQueued(fd, 1);
    EXPECT_TRUE(port.Read(1));
    EXPECT_EQ(port.m_nRxLen, CCommPort::kRxBufSize);
    port.ClearRxBuffer();
    EXPECT_EQ(port.m_nRxLen, 0u);
}

TEST_F(CommPortTest, SendCommandEndsWithOneCarriageReturn) {
    modem.Start({{Bytes({0x41, 0x54, 0x0D}), ""}});
    ASSERT_TRUE(port.SendCommand("AT"));
    modem.Finish();
    EXPECT_EQ(modem.Received(), "AT\r");
    EXPECT_TRUE(modem.Completed()) << modem.Failure();
}

TEST_F(CommPortTest, PurgeDiscardsQueuedInput) {
    modem.Send("abc");
    AwaitQueued(fd, 3);
    EXPECT_TRUE(port.Purge());
    EXPECT_EQ(platform::SerialQueuedBytes(fd), 0);
}

TEST_F(CommPortTest, VanishedDeviceIsReportedAsGone) {
    modem.CloseMaster();
    EXPECT_FALSE(port.ReadByte());
    EXPECT_EQ(port.m_nError, CCommPort::kErrDeviceGone);
    EXPECT_TRUE(port.DeviceGone());
}

TEST_F(CommPortTest, CloseInvalidatesTheHandle) {
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.HasHandle());
    EXPECT_EQ(port.m_nError, 0);
}

TEST(CommPortNoHandle, EveryOperationFailsWithMinusOne) {
    CCommPort port;
    EXPECT_FALSE(port.Write("a", 1));
    EXPECT_EQ(port.m_nError, CCommPort::kErrNoHandle);
    port.m_nError = 0;
    EXPECT_FALSE(port.SendCommand("AT"));
    EXPECT_EQ(port.m_nError, CCommPort::kErrNoHandle);
    port.m_nError = 0;
    EXPECT_FALSE(port.Read(1));
    EXPECT_EQ(port.m_nError, CCommPort::kErrNoHandle);
    port.m_nError = 0;
    EXPECT_FALSE(port.ReadByte());
    EXPECT_EQ(port.m_nError, CCommPort::kErrNoHandle);
    port.m_nError = 0;
    EXPECT_FALSE(port.Close());
    EXPECT_EQ(port.m_nError, CCommPort::kErrNoHandle);
    EXPECT_FALSE(port.Purge());
}

TEST(CommPortNoHandle, FailedCloseStillDropsTheHandle) {
    CCommPort port;
    int fd = dup(STDIN_FILENO);
    ASSERT_GE(fd, 0);
    close(fd);  // a number that is no longer open
    port.m_hComm = fd;
    EXPECT_FALSE(port.Close());
    EXPECT_EQ(port.m_nError, CCommPort::kErrClose);
    EXPECT_FALSE(port.HasHandle());
}

TEST(CommPortWrite, WriteToAClosedPeerFails) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    signal(SIGPIPE, SIG_IGN);
    CCommPort port;
    port.Attach(pipeFds[1]);
    EXPECT_FALSE(port.Write("abc", 3));
    EXPECT_EQ(port.m_nError, CCommPort::kErrWrite);
    port.Close();
}

}  // namespace
}  // namespace faxtest

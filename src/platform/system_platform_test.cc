// The system platform's TCP connect against real sockets on 127.0.0.1.
#include "platform/system_platform.h"

#include <gtest/gtest.h>

#include "tests/tcp_helpers.h"

namespace revozi {
namespace {

using namespace revozi::testing;  // NOLINT: the TCP helpers
using std::chrono::milliseconds;

TEST(WaitMillisTest, WholeSecondsClampedNeverWrapped) {
  EXPECT_EQ(waitMillis(0), 0);
  EXPECT_EQ(waitMillis(1), 1000);
  EXPECT_EQ(waitMillis(2147483), 2147483000);
  // Beyond INT_MAX milliseconds the wait is clamped, never wrapped: 4294968 s
  // would wrap to a 704 ms wait in 32 bits.
  EXPECT_EQ(waitMillis(2147484), INT_MAX);
  EXPECT_EQ(waitMillis(4294968), INT_MAX);
  EXPECT_EQ(waitMillis(LONG_MAX), INT_MAX);
  EXPECT_EQ(waitMillis(-1), -1);
  EXPECT_EQ(waitMillis(LONG_MIN), -1);

}

// ---- connectWithTimeout ----------------------------------------------------

TEST(ConnectWithTimeoutTest, ConnectsAndLeavesTheSocketBlocking) {
  Listener listener;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  const int flagsBefore = fcntl(fd, F_GETFL);
  EXPECT_EQ(connectWithTimeout(fd, loopback(listener.port()), sizeof(sockaddr_in), 5), kConnected);
  EXPECT_EQ(fcntl(fd, F_GETFL), flagsBefore);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  close(fd);
  EXPECT_EQ(listener.acceptFor(), 1);
}

TEST(ConnectWithTimeoutTest, RefusedPortFailsWithoutWaiting) {
  const Clock::time_point start = Clock::now();
  refusalErrno();  // checks the outcome
  EXPECT_LT(secondsSince(start), 1.0);
}

TEST(ConnectWithTimeoutTest, NegativeTimeOutFailsAtOnceWithoutConnecting) {
  Listener listener;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int flagsBefore = fcntl(fd, F_GETFL);
  errno = 0;
  EXPECT_EQ(connectWithTimeout(fd, loopback(listener.port()), sizeof(sockaddr_in), -1), kWaitFailed);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(connectWithTimeout(fd, loopback(listener.port()), sizeof(sockaddr_in), LONG_MIN),
            kWaitFailed);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(fcntl(fd, F_GETFL), flagsBefore);
  close(fd);
  EXPECT_EQ(listener.acceptFor(milliseconds(200)), 0);
}

TEST(ConnectWithTimeoutTest, PendingConnectTimesOutAfterItsTimeOut) {
  FullListener listener;
  if (!listener.fill()) GTEST_SKIP() << kNoPendingConnect;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(connectWithTimeout(fd, loopback(listener.port()), sizeof(sockaddr_in), 1), kTimedOut);
  EXPECT_EQ(errno, EINPROGRESS);  // as connect left it
  const double took = secondsSince(start);
  close(fd);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.5);
}

TEST(ConnectWithTimeoutTest, ZeroTimeOutPollsOnce) {
  FullListener full;
  if (!full.fill()) GTEST_SKIP() << kNoPendingConnect;
  Clock::time_point start = Clock::now();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(connectWithTimeout(fd, loopback(full.port()), sizeof(sockaddr_in), 0), kTimedOut);
  EXPECT_EQ(errno, EINPROGRESS);
  close(fd);
  EXPECT_LT(secondsSince(start), 0.5);

  // An accepting listener on loopback: established by the time of the single
  // poll, or counted as not (yet) reachable; either way without waiting.
  Listener listener;
  start = Clock::now();
  fd = socket(AF_INET, SOCK_STREAM, 0);
  const int code = connectWithTimeout(fd, loopback(listener.port()), sizeof(sockaddr_in), 0);
  const int error = errno;
  close(fd);
  EXPECT_LT(secondsSince(start), 0.5);
  if (code != kConnected) {
    EXPECT_EQ(code, kTimedOut);
    EXPECT_EQ(error, EINPROGRESS);
  }
}

TEST(ConnectWithTimeoutTest, HugeTimeOutIsNotWrappedIntoAFailure) {
  Listener listener;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(connectWithTimeout(fd, loopback(listener.port()), sizeof(sockaddr_in), LONG_MAX),
            kConnected);
  close(fd);
  EXPECT_EQ(listener.acceptFor(), 1);
}

TEST(ConnectWithTimeoutTest, BadDescriptorFailsReadingItsFlags) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  close(fd);
  EXPECT_EQ(connectWithTimeout(fd, loopback(closedPort()), sizeof(sockaddr_in), 1), kGetFlagsFailed);
  EXPECT_EQ(errno, EBADF);
}

TEST(ConnectWithTimeoutTest, DescriptorAbove1023Works) {
  constexpr int kHigh = 1500;
  if (!allowDescriptors(kHigh + 1)) GTEST_SKIP() << "descriptor limit cannot be raised to " << kHigh + 1;
  Listener listener;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(dup2(fd, kHigh), kHigh);
  close(fd);
  EXPECT_EQ(connectWithTimeout(kHigh, loopback(listener.port()), sizeof(sockaddr_in), 5), kConnected);
  close(kHigh);
  EXPECT_EQ(listener.acceptFor(), 1);

  FullListener full;
  if (!full.fill()) GTEST_SKIP() << kNoPendingConnect;
  const int fd2 = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(dup2(fd2, kHigh), kHigh);
  close(fd2);
  EXPECT_EQ(connectWithTimeout(kHigh, loopback(full.port()), sizeof(sockaddr_in), 0), kTimedOut);
  close(kHigh);
}

}  // namespace
}  // namespace revozi

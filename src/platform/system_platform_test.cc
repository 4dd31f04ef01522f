// The system platform's connections against real sockets on loopback, and
// the numeric forms and error numbers of its resolution.
#include "platform/system_platform.h"

#include <ares.h>
#include <netdb.h>

#include <gtest/gtest.h>

#include "platform/resolver.h"
#include "tests/tcp_helpers.h"

namespace revozi {
namespace {

using namespace revozi::testing;  // NOLINT: the TCP helpers
using std::chrono::milliseconds;

// ---- numeric hosts and error numbers ----------------------------------------

TEST(ResolverTest, NumericHostsNeedNoResolver) {
  struct Row {
    const char* host;
    int family;  // 0: not numeric
    const char* text;
  };
  const Row rows[] = {
      {"127.0.0.1", AF_INET, "127.0.0.1"},   {"127.1", AF_INET, "127.0.0.1"},
      {"2130706433", AF_INET, "127.0.0.1"},  {"127.0.0.01", AF_INET, "127.0.0.1"},
      {"::1", AF_INET6, "::1"},              {"[::1]", AF_INET6, "::1"},
      {"[2001:db8::7]", AF_INET6, "2001:db8::7"},
      {"[::ffff:127.0.0.1]", AF_INET6, "::ffff:127.0.0.1"},
      {"127.0.0.256", 0, ""},                {"1.2.3.4.5", 0, ""},
      {"127.0.0.1.", 0, ""},                 {"[::1]:443", 0, ""},
      {"[127.0.0.1]", 0, ""},                {"::1%lo", 0, ""},
      {"localhost", 0, ""},                  {"", 0, ""},
      {"[]", 0, ""},
  };
  for (const Row& row : rows) {
    IpAddress address;
    EXPECT_EQ(numericAddress(row.host, address), row.family != 0) << row.host;
    if (row.family == 0) continue;
    EXPECT_EQ(address.family, row.family) << row.host;
    EXPECT_EQ(addressText(address), row.text) << row.host;
  }
  IpAddress address;
  EXPECT_FALSE(numericAddress(std::string_view("127.0.0.1\0x", 11), address));
}

TEST(ResolverTest, ErrorNumbersOfTheResolverStatuses) {
  const std::pair<int, long> rows[] = {
      {ARES_SUCCESS, 0},           {ARES_ENOTFOUND, HOST_NOT_FOUND}, {ARES_EBADNAME, HOST_NOT_FOUND},
      {ARES_ETIMEOUT, TRY_AGAIN},  {ARES_ECONNREFUSED, TRY_AGAIN},   {ARES_ESERVFAIL, TRY_AGAIN},
      {ARES_EDESTRUCTION, TRY_AGAIN}, {ARES_ECANCELLED, TRY_AGAIN},  {ARES_EREFUSED, NO_RECOVERY},
      {ARES_EFORMERR, NO_RECOVERY}, {ARES_ENOMEM, NO_RECOVERY},      {ARES_EFILE, NO_RECOVERY},
      {ARES_ENODATA, NO_DATA},
  };
  for (const auto& [status, error] : rows) EXPECT_EQ(resolveErrorOf(status), error) << status;
}

// Names that no resolver is asked about: NUL bytes, dotted numbers that are
// no address; a numeric address is the one address, at once.
TEST(ResolverTest, HostsThatNeverReachTheResolver) {
  std::vector<IpAddress> addresses;
  const Micros deadline = monotonicMicros() + 5'000'000;
  EXPECT_EQ(resolveHost(std::string("127.0.0.1\0.invalid", 18), deadline, addresses), HOST_NOT_FOUND);
  EXPECT_TRUE(addresses.empty());
  EXPECT_EQ(resolveHost("127.0.0.256", deadline, addresses), HOST_NOT_FOUND);
  EXPECT_EQ(resolveHost("[::1]", monotonicMicros(), addresses), 0);
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addressText(addresses[0]), "::1");
}

// ---- connectTcp --------------------------------------------------------------

ConnectOutcome connectTo(const std::string& host, std::uint16_t port, long timeoutSeconds,
                         ConnectReport* report = nullptr) {
  SystemPlatform platform;
  return platform.connectTcp(host, port, timeoutSeconds, report);
}

TEST(ConnectTcpTest, ConnectsAndReportsTheAttempt) {
  Listener listener;
  ConnectReport report;
  const ConnectOutcome outcome = connectTo("127.0.0.1", listener.port(), 5, &report);
  EXPECT_EQ(outcome.kind, ConnectOutcome::kConnected);
  EXPECT_EQ(report.addresses, std::vector<std::string>{"127.0.0.1"});
  ASSERT_EQ(report.attempts.size(), 1u);
  EXPECT_EQ(report.attempts[0].address, "127.0.0.1");
  EXPECT_EQ(report.attempts[0].end, ConnectReport::kAttemptConnected);
  EXPECT_LE(report.attempts[0].startMicros, report.attempts[0].endMicros);
  EXPECT_EQ(listener.acceptFor(), 1);
}

TEST(ConnectTcpTest, RefusedPortFailsWithoutWaiting) {
  const int refused = refusalErrno();
  const Clock::time_point start = Clock::now();
  const ConnectOutcome outcome = connectTo("127.0.0.1", closedPort(), 5);
  EXPECT_EQ(outcome.kind, ConnectOutcome::kNotConnected);
  EXPECT_EQ(outcome.error, refused);
  EXPECT_LT(secondsSince(start), 1.0);
}

TEST(ConnectTcpTest, NegativeTimeOutFailsAtOnceWithoutConnecting) {
  Listener listener;
  for (long timeout : {-1L, LONG_MIN}) {
    const ConnectOutcome outcome = connectTo("127.0.0.1", listener.port(), timeout);
    EXPECT_EQ(outcome.kind, ConnectOutcome::kNotConnected);
    EXPECT_EQ(outcome.error, EINVAL);
  }
  EXPECT_EQ(listener.acceptFor(milliseconds(200)), 0);
}

TEST(ConnectTcpTest, PendingConnectTimesOutAfterItsTimeOut) {
  FullListener listener;
  if (!listener.fill()) GTEST_SKIP() << kNoPendingConnect;
  const Clock::time_point start = Clock::now();
  ConnectReport report;
  const ConnectOutcome outcome = connectTo("127.0.0.1", listener.port(), 1, &report);
  const double took = secondsSince(start);
  EXPECT_EQ(outcome.kind, ConnectOutcome::kNotConnected);
  EXPECT_EQ(outcome.error, EINPROGRESS);
  ASSERT_EQ(report.attempts.size(), 1u);
  EXPECT_EQ(report.attempts[0].end, ConnectReport::kAttemptTimedOut);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.5);
}

TEST(ConnectTcpTest, ZeroTimeOutLooksOnce) {
  FullListener full;
  if (!full.fill()) GTEST_SKIP() << kNoPendingConnect;
  Clock::time_point start = Clock::now();
  ConnectOutcome outcome = connectTo("127.0.0.1", full.port(), 0);
  EXPECT_EQ(outcome.kind, ConnectOutcome::kNotConnected);
  EXPECT_EQ(outcome.error, EINPROGRESS);
  EXPECT_LT(secondsSince(start), 0.5);

  // An accepting listener: established by the time of the one look, or
  // counted as not (yet) reachable; either way without waiting.
  Listener listener;
  start = Clock::now();
  outcome = connectTo("127.0.0.1", listener.port(), 0);
  EXPECT_LT(secondsSince(start), 0.5);
  if (outcome.kind != ConnectOutcome::kConnected) {
    EXPECT_EQ(outcome.kind, ConnectOutcome::kNotConnected);
    EXPECT_EQ(outcome.error, EINPROGRESS);
  }
}

TEST(ConnectTcpTest, HugeTimeOutIsNotWrappedIntoAFailure) {
  Listener listener;
  EXPECT_EQ(connectTo("127.0.0.1", listener.port(), LONG_MAX).kind, ConnectOutcome::kConnected);
  EXPECT_EQ(listener.acceptFor(), 1);
}

TEST(ConnectTcpTest, SocketAbove1023Works) {
  constexpr int kHigh = 1500;
  if (!allowDescriptors(kHigh + 1)) GTEST_SKIP() << "descriptor limit cannot be raised to " << kHigh + 1;
  Listener listener;
  const std::vector<int> fillers = occupyDescriptors(1100, 1024);
  const bool high = !fillers.empty() && fillers.back() >= 1024;
  const ConnectOutcome outcome = connectTo("127.0.0.1", listener.port(), 5);
  for (int fd : fillers) close(fd);
  ASSERT_TRUE(high) << "could not occupy descriptors up to 1024";
  EXPECT_EQ(outcome.kind, ConnectOutcome::kConnected);
  EXPECT_EQ(listener.acceptFor(), 1);
}

}  // namespace
}  // namespace revozi

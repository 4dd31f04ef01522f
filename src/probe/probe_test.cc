// Server selection against real sockets on 127.0.0.1: listeners that accept,
// closed ports, a listener whose backlog is full, and names under ".invalid"
// that never resolve. Every server slot is set in every run, so no built-in
// server is ever contacted, and every loop and wait is bounded.

#include "probe/probe.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "platform/resolver.h"
#include "tests/fake_platform.h"
#include "tests/tcp_helpers.h"

namespace revozi {
namespace {

using testing::allowDescriptors;
using testing::closedPort;
using testing::countOpenFds;
using testing::FullListener;
using testing::kNoPendingConnect;
using testing::Listener;
using testing::loopback;
using testing::occupyDescriptors;
using testing::refusalErrno;
using testing::secondsSince;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string resolveLine(long error, std::string_view host) {
  return "<CENTER><B>gethostbyname() erreur " + std::to_string(error) + " pour le serveur " +
         std::string(host) + "</B></P></CENTER>\n";
}
// The trace line for a name that does not resolve, with the resolver's own
// error number: under ".invalid" that is 1 (no such name) where a name server
// answers, 2 (try again) where none can be reached (an isolated network).
std::string unresolvedLine(const std::string& host, std::string_view shown = {}) {
  std::vector<IpAddress> addresses;
  const long error = resolveHost(host, monotonicMicros() + 5'000'000, addresses);
  EXPECT_TRUE(error == HOST_NOT_FOUND || error == TRY_AGAIN) << host << ": " << error;
  return resolveLine(error, shown.empty() ? std::string_view(host) : shown);
}
std::string connectLine(long error, std::string_view host) {
  return "<CENTER><B>connect() erreur " + std::to_string(error) + " pour le serveur " +
         std::string(host) + "</B></P></CENTER>\n";
}
std::string socketLine(std::string_view host) {
  return "<CENTER><B>socket() en erreur pour le serveur " + std::string(host) +
         "</B></P></CENTER>\n";
}
const std::string kTraceHead =
    "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
    "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n<BODY>\n";
const std::string kTraceTail = "</BODY>\n</HTML>\n";

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every slot is set: names that never resolve, replaced per test.
    run.params.set(kKorven, "https://primary.invalid/paiement");
    run.params.set(kBackup1, "https://backup1.invalid/paiement");
    run.params.set(kBackup2, "https://backup2.invalid/paiement");
    run.params.set(kBackup3, "https://backup3.invalid/paiement");
    for (ParamIndex t : {kTimeout, kTimeout1, kTimeout2, kTimeout3, kTimeout4}) {
      run.params.set(t, "5");
    }
    run.params.set(kPort, std::to_string(closedPort()));
  }
  void trace() { run.params.set(kTrace, "1"); }
  std::string output() {
    run.out.flush();
    return platform.output;
  }

  // What the probe is given: a platform (real sockets behind a fake), the
  // parameters, and the output its trace goes to.
  struct ProbeRun {
    revozi::testing::FakePlatform platform;
    ParamTable params;
    PageOutput out{platform};
  } run;
  revozi::testing::FakePlatform& platform = run.platform;
};

// The probe as the driver calls it: the trace only when KWT_TRACE is set.
PageOutput* traceOf(auto& run) { return run.params.empty(kTrace) ? nullptr : &run.out; }
int probeServer(auto& run, std::string_view url, long timeoutSeconds) {
  return revozi::probeServer(run.platform, url, probePort(run.params.text(kPort)), timeoutSeconds,
                             traceOf(run)) ? 1 : 0;
}
int selectServer(auto& run, std::string& found) {
  found = revozi::selectServer(run.params, run.platform, traceOf(run)).value_or("");
  return found.empty() ? 0 : 1;
}

// ---- URL host, port and time-out texts ----------------------------------------

TEST(ProbeTextTest, HostFollowsTheFirstMarkerOfTheListThatOccurs) {
  EXPECT_EQ(hostOfUrl("https://pay.example/a/b"), "pay.example");
  EXPECT_EQ(hostOfUrl("http://pay.example/a"), "pay.example");
  EXPECT_EQ(hostOfUrl("https:pay.example/a"), "pay.example");
  EXPECT_EQ(hostOfUrl("http:pay.example"), "pay.example");
  EXPECT_EQ(hostOfUrl("ftp://pay.example/x"), "pay.example");
  // "https://" is tried first, even though "http://" stands earlier.
  EXPECT_EQ(hostOfUrl("http://a.example/p?r=https://b.example/q"), "b.example");
  // "http:" before "//": the host starts right after "http:".
  EXPECT_EQ(hostOfUrl("x//y http:z.example/w"), "z.example");
  // First occurrence of the chosen marker.
  EXPECT_EQ(hostOfUrl("https://one/https://two/"), "one");
  // Markers are case-sensitive: none found, the URL starts the host.
  EXPECT_EQ(hostOfUrl("HTTPS:\\\\up.example"), "HTTPS:\\\\up.example");
  EXPECT_EQ(hostOfUrl("HTTPS://up.example/x"), "up.example");  // via "//"
}

TEST(ProbeTextTest, HostIsCutAtTheFirstSlashOnly) {
  EXPECT_EQ(hostOfUrl("localhost/path/more"), "localhost");
  EXPECT_EQ(hostOfUrl("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(hostOfUrl("https://user:pw@host:8443?q=1/x"), "user:pw@host:8443?q=1");
  EXPECT_EQ(hostOfUrl("http:/host/x"), "");
  EXPECT_EQ(hostOfUrl("https://"), "");
  EXPECT_EQ(hostOfUrl(""), "");
  const std::string longHost(5000, 'h');
  EXPECT_EQ(hostOfUrl("https://" + longHost + "/p"), longHost);
}

TEST(ProbeTextTest, PortIsTheLow16BitsOfTheNumber) {
  EXPECT_EQ(probePort("443"), 443);
  EXPECT_EQ(probePort("70000"), 4464);
  EXPECT_EQ(probePort("65536"), 0);
  EXPECT_EQ(probePort("65535"), 65535);
  EXPECT_EQ(probePort("  8080x"), 8080);
  EXPECT_EQ(probePort("+81"), 81);
  EXPECT_EQ(probePort("-1"), 65535);
  EXPECT_EQ(probePort("https"), 0);
  EXPECT_EQ(probePort(""), 0);
  // Far out of range: saturates (as the C library's conversion does) instead
  // of overflowing.
  EXPECT_EQ(probePort("99999999999999999999999"), 65535);
}

TEST(ProbeTextTest, TimeOutTextsAndTheirWait) {
  EXPECT_EQ(probeTimeout("8"), 8);
  EXPECT_EQ(probeTimeout(" 20s"), 20);
  EXPECT_EQ(probeTimeout("-3"), -3);
  EXPECT_EQ(probeTimeout("soon"), 0);
  EXPECT_EQ(probeTimeout(""), 0);
  EXPECT_EQ(probeTimeout("999999999999999999999999"), LONG_MAX);
  EXPECT_EQ(probeTimeout("-999999999999999999999999"), LONG_MIN);

}

// ---- probeServer -----------------------------------------------------------

// One probe of a listener on 127.0.0.1 per row: the URL's host is found as
// the resolver takes it (names, every numeric form inet_aton knows, a later
// "https://" before an earlier "http://"), the port is KWT_PORT's low 16 bits
// and never the URL's, and a host the resolver refuses or that holds a NUL
// byte reaches nothing: its trace line names it. A successful probe writes
// nothing, even in trace mode.
TEST_F(ProbeTest, HostAndPortOfEachProbe) {
  Listener listener;
  const std::string port = listener.portText();
  const std::string wrapped = std::to_string(listener.port() + 65536);
  const std::string nul("https://127.0.0.1\0.invalid/x", 28);
  struct Row {
    std::string url, portText;
    int reached;
    std::string trace;
  };
  const Row rows[] = {
      {"https://localhost/paiement", port, 1, ""},
      {"http://127.0.0.1/cgi-bin/x?y=1", port, 1, ""},
      {"localhost/path", port, 1, ""},
      {"127.0.0.1/x", port, 1, ""},
      {"//localhost", port, 1, ""},
      {"http://127.1/pay", port, 1, ""},
      {"http://127.0.0.01/pay", port, 1, ""},
      {"http://2130706433/pay", port, 1, ""},
      {"http://primary.invalid/pay?back=https://127.0.0.1/ok", port, 1, ""},
      {"https://127.0.0.1/", wrapped, 1, ""},
      {"https://127.0.0.1/", std::to_string(listener.port() + 2 * 65536) + "abc", 1, ""},
      {"http://127.0.0.256/pay", port, 0, resolveLine(HOST_NOT_FOUND, "127.0.0.256")},
      {"http://1.2.3.4.5/pay", port, 0, resolveLine(HOST_NOT_FOUND, "1.2.3.4.5")},
      {nul, port, 0, resolveLine(HOST_NOT_FOUND, std::string("127.0.0.1\0.invalid", 18))},
      {"https://127.0.0.1:" + port + "/paiement", port, 0, unresolvedLine("127.0.0.1:" + port)},
      {"http://127.0.0.1/pay?back=https://primary.invalid/ok", port, 0, unresolvedLine("primary.invalid")},
  };
  trace();
  for (const Row& row : rows) {
    run.params.set(kPort, row.portText);
    EXPECT_EQ(probeServer(run, row.url, 5), row.reached) << row.url;
    EXPECT_EQ(listener.acceptFor(milliseconds(row.reached ? 300 : 100)), row.reached) << row.url;
    EXPECT_EQ(output(), row.trace) << row.url;
    platform.output.clear();
  }
}

TEST_F(ProbeTest, TraceLineForEachKindOfFailure) {
  const int refused = refusalErrno();
  trace();
  // Refused: KWT_PORT names a closed port.
  EXPECT_EQ(probeServer(run, "https://127.0.0.1/paiement", 5), 0);
  EXPECT_EQ(output(), connectLine(refused, "127.0.0.1"));
  platform.output.clear();
  // Negative time-out.
  Listener listener;
  run.params.set(kPort, listener.portText());
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(probeServer(run, "localhost/x", -1), 0);
  EXPECT_LT(secondsSince(start), 0.5);
  EXPECT_EQ(output(), connectLine(EINVAL, "localhost"));
  EXPECT_EQ(listener.acceptFor(milliseconds(200)), 0);
  platform.output.clear();
  // Name that does not resolve; markup in the host name is escaped.
  EXPECT_EQ(probeServer(run, "https://a<b>&'\"z.invalid/x", 5), 0);
  EXPECT_EQ(output(), unresolvedLine("a<b>&'\"z.invalid", "a&lt;b&gt;&amp;&#39;&quot;z.invalid"));
  platform.output.clear();
  // Without KWT_TRACE a failure writes nothing.
  run.params.set(kTrace, "");
  EXPECT_EQ(probeServer(run, "https://primary.invalid/", 5), 0);
  EXPECT_EQ(probeServer(run, "localhost", -1), 0);
  EXPECT_EQ(output(), "");
}

TEST_F(ProbeTest, TimeOutTraceShowsEinprogress) {
  FullListener listener;
  if (!listener.fill()) GTEST_SKIP() << kNoPendingConnect;
  run.params.set(kPort, listener.portText());
  trace();
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(probeServer(run, "https://localhost/paiement", 1), 0);
  const double took = secondsSince(start);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.5);
  EXPECT_EQ(output(), connectLine(EINPROGRESS, "localhost"));
}

TEST_F(ProbeTest, OverlongNamesFailResolutionWhole) {
  trace();
  const std::string host = std::string(300, 'n') + ".invalid";
  EXPECT_EQ(probeServer(run, "https://" + host + "/paiement", 5), 0);
  const std::string out = output();
  const std::string prefix = "<CENTER><B>gethostbyname() erreur ";
  ASSERT_EQ(out.compare(0, prefix.size(), prefix), 0) << out;
  EXPECT_NE(out.find(" pour le serveur " + host + "</B></P></CENTER>\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("erreur 0 "), std::string::npos);
}

TEST_F(ProbeTest, NulByteInTheHostIsNotResolvedAsItsPrefix) {
  Listener listener;
  run.params.set(kPort, listener.portText());
  trace();
  const std::string url("https://127.0.0.1\0.invalid/x", 28);
  EXPECT_EQ(probeServer(run, url, 5), 0);
  EXPECT_EQ(output(), resolveLine(HOST_NOT_FOUND, std::string("127.0.0.1\0.invalid", 18)));
  EXPECT_EQ(listener.acceptFor(milliseconds(200)), 0);
}

TEST_F(ProbeTest, SocketFailureIsTraced) {
  trace();
  // One probe first, so that nothing on the probe's path (the resolver, a
  // sanitizer's first check of a call) needs a descriptor of its own later.
  EXPECT_EQ(probeServer(run, "https://127.0.0.1/paiement", 5), 0);
  output();
  platform.output.clear();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int before = countOpenFds();
  ASSERT_GT(before, 0);
  // Use up every descriptor below a small limit, so that socket() fails.
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(before) + 4;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const std::vector<int> fillers = occupyDescriptors(64);
  const int result = probeServer(run, "https://127.0.0.1/paiement", 5);
  for (int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(output(), socketLine("127.0.0.1"));
  EXPECT_EQ(countOpenFds(), before);
}

TEST_F(ProbeTest, NoDescriptorLeaksOnAnyPath) {
  Listener listener;
  FullListener full;
  if (!full.fill()) GTEST_SKIP() << kNoPendingConnect;
  const std::uint16_t closed = closedPort();
  const int before = countOpenFds();
  ASSERT_GT(before, 0);
  for (int round = 0; round < 3; ++round) {
    run.params.set(kPort, listener.portText());
    EXPECT_EQ(probeServer(run, "https://127.0.0.1/", 5), 1);    // reachable
    EXPECT_EQ(probeServer(run, "https://127.0.0.1/", -5), 0);   // negative time-out
    EXPECT_EQ(probeServer(run, "https://nowhere.invalid/", 5), 0);  // no name
    run.params.set(kPort, std::to_string(closed));
    EXPECT_EQ(probeServer(run, "https://127.0.0.1/", 5), 0);    // refused
    run.params.set(kPort, full.portText());
    EXPECT_EQ(probeServer(run, "https://127.0.0.1/", 0), 0);    // time-out
  }
  EXPECT_EQ(countOpenFds(), before);
  EXPECT_EQ(listener.acceptFor(), 3);
}

TEST_F(ProbeTest, ProbeSocketAbove1023Works) {
  if (!allowDescriptors(1200)) GTEST_SKIP() << "descriptor limit cannot be raised to 1200";
  Listener listener;
  run.params.set(kPort, listener.portText());
  // Occupy every descriptor up to 1024, so that the probe's socket lands above.
  const std::vector<int> fillers = occupyDescriptors(1100, 1024);
  const bool high = !fillers.empty() && fillers.back() >= 1024;
  const int result = probeServer(run, "https://localhost/paiement", 5);
  for (int fd : fillers) close(fd);
  ASSERT_TRUE(high) << "could not occupy descriptors up to 1024";
  EXPECT_EQ(result, 1);
  EXPECT_EQ(listener.acceptFor(), 1);
}

// ---- selectServer ----------------------------------------------------------

TEST_F(ProbeTest, PrimaryWinsAndNoBackupIsContacted) {
  Listener listener;
  run.params.set(kPort, listener.portText());
  const std::string primary = "https://localhost/cgi-bin/paiement.cgi?site=1234567&x=%41";
  run.params.set(kKorven, primary);
  run.params.set(kBackup1, "https://127.0.0.1/b1");
  run.params.set(kBackup2, "https://127.0.0.1/b2");
  run.params.set(kBackup3, "https://127.0.0.1/b3");
  run.params.set(kBackup4, "https://127.0.0.1/b4");
  std::string found = "left over";
  EXPECT_EQ(selectServer(run, found), 1);
  EXPECT_EQ(found, primary);
  EXPECT_EQ(listener.acceptFor(), 1);
  EXPECT_EQ(output(), "");
}

TEST_F(ProbeTest, FailsOverToTheFirstReachableBackup) {
  Listener listener;
  run.params.set(kPort, listener.portText());
  run.params.set(kBackup1, "http://127.0.0.1/backup-one");
  run.params.set(kBackup2, "https://localhost/backup-two");
  run.params.set(kBackup3, "localhost/backup-three");
  run.params.set(kBackup4, "localhost/backup-four");
  std::string found;
  EXPECT_EQ(selectServer(run, found), 1);
  EXPECT_EQ(found, "http://127.0.0.1/backup-one");
  EXPECT_EQ(listener.acceptFor(), 1);
}

TEST_F(ProbeTest, EachSlotUsesItsOwnTimeOut) {
  Listener listener;
  run.params.set(kPort, listener.portText());
  trace();
  run.params.set(kBackup1, "https://127.0.0.1/one");
  run.params.set(kBackup2, "https://localhost/two");
  run.params.set(kBackup3, "https://127.0.0.1/three");
  run.params.set(kTimeout1, "-1");
  run.params.set(kTimeout2, "-20");
  run.params.set(kTimeout3, "5");
  std::string found;
  EXPECT_EQ(selectServer(run, found), 1);
  EXPECT_EQ(found, "https://127.0.0.1/three");
  EXPECT_EQ(listener.acceptFor(), 1);
  EXPECT_EQ(output(), kTraceHead + unresolvedLine("primary.invalid") +
                          connectLine(EINVAL, "127.0.0.1") + connectLine(EINVAL, "localhost") +
                          kTraceTail);
}

TEST_F(ProbeTest, TracePageWhenTheFirstBackupAnswers) {
  Listener listener;
  run.params.set(kPort, listener.portText());
  trace();
  run.params.set(kBackup1, "https://127.0.0.1/paiement");
  std::string found;
  EXPECT_EQ(selectServer(run, found), 1);
  EXPECT_EQ(found, "https://127.0.0.1/paiement");
  const std::string line = unresolvedLine("primary.invalid");
  EXPECT_EQ(output(),
            "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
            "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n<BODY>\n" +
                line + "</BODY>\n</HTML>\n");
}

TEST_F(ProbeTest, TracePageWhenNoServerAnswers) {
  const int refused = refusalErrno();
  trace();
  run.params.set(kKorven, "https://primary.invalid/paiement");
  run.params.set(kBackup1, "http://127.0.0.1:8443/x");
  run.params.set(kBackup2, "HTTP://localhost/pay");
  run.params.set(kTimeout2, "-1");
  run.params.set(kBackup3, "//127.0.0.1/");
  run.params.set(kBackup4, "https://<four>.invalid/");
  std::string found = "stale";
  EXPECT_EQ(selectServer(run, found), 0);
  EXPECT_EQ(found, "");
  EXPECT_EQ(output(), kTraceHead + unresolvedLine("primary.invalid") +
                          unresolvedLine("127.0.0.1:8443") +
                          connectLine(EINVAL, "localhost") + connectLine(refused, "127.0.0.1") +
                          unresolvedLine("<four>.invalid", "&lt;four&gt;.invalid") + kTraceTail);
}

TEST_F(ProbeTest, NoTraceNoOutput) {
  std::string found;
  EXPECT_EQ(selectServer(run, found), 0);
  EXPECT_EQ(output(), "");
}

TEST_F(ProbeTest, FourthBackupOnlyWhenGivenAndEmptySlotsAreSkipped) {
  Listener listener;
  run.params.set(kPort, listener.portText());
  trace();
  run.params.set(kBackup2, "");  // present but empty: skipped
  std::string found;
  EXPECT_EQ(selectServer(run, found), 0);
  EXPECT_EQ(output(), kTraceHead + unresolvedLine("primary.invalid") +
                          unresolvedLine("backup1.invalid") +
                          unresolvedLine("backup3.invalid") + kTraceTail);
  platform.output.clear();

  // Switched off, in any case: no resolution, no socket, no trace line.
  platform.connections.clear();
  run.params.set(kKorven, "NONE");
  run.params.set(kBackup1, "none");
  run.params.set(kBackup3, "None");
  EXPECT_EQ(selectServer(run, found), 0);
  EXPECT_EQ(output(), kTraceHead + kTraceTail);
  EXPECT_TRUE(platform.connections.empty());
  platform.output.clear();

  run.params.set(kBackup4, "https://localhost/quatre");
  EXPECT_EQ(selectServer(run, found), 1);
  EXPECT_EQ(found, "https://localhost/quatre");
  EXPECT_EQ(listener.acceptFor(), 1);
}

TEST_F(ProbeTest, FullBacklogPrimaryTimesOutThenNextSlot) {
  FullListener listener;
  if (!listener.fill()) GTEST_SKIP() << kNoPendingConnect;
  run.params.set(kPort, listener.portText());
  trace();
  run.params.set(kKorven, "https://127.0.0.1/paiement");
  run.params.set(kTimeout, "1");
  std::string found;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(selectServer(run, found), 0);
  const double took = secondsSince(start);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.5);
  EXPECT_EQ(output(), kTraceHead + connectLine(EINPROGRESS, "127.0.0.1") +
                          unresolvedLine("backup1.invalid") +
                          unresolvedLine("backup2.invalid") +
                          unresolvedLine("backup3.invalid") + kTraceTail);
}

TEST_F(ProbeTest, LongReachableUrlIsCopiedWhole) {
  Listener listener;
  run.params.set(kPort, listener.portText());
  const std::string url = "https://127.0.0.1/" + std::string(4000, 'p') + "?q=" + std::string(300, 'v');
  run.params.set(kBackup1, url);
  std::string found;
  EXPECT_EQ(selectServer(run, found), 1);
  EXPECT_EQ(found, url);
  EXPECT_EQ(listener.acceptFor(), 1);
}

}  // namespace
}  // namespace revozi

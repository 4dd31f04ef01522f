// The server memory: its records, selection with it (played servers, the
// state in a real directory, the test's clock), and every state it must not
// trust, which leaves the probe as it always was.
#include "probe/health.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>

#include "probe/probe.h"
#include "tests/fake_platform.h"

namespace revozi {
namespace {

constexpr long long kNow = 1'800'000'000;
constexpr std::uint16_t kServerPort = 4443;

TEST(HealthRecordTest, LinesReadBackAndNothingElse) {
  const HealthRecord r{"pay.example", 443, kNow, 3, kNow - 60, kNow - 90};
  const std::string line = formatHealthRecord(r);
  EXPECT_EQ(line, "revozi-health 1 pay.example 443 1800000000 3 1799999940 1799999910\n");
  const std::optional<HealthRecord> back = parseHealthRecord(line);
  ASSERT_TRUE(back);
  EXPECT_EQ(formatHealthRecord(*back), line);
  for (const char* bad : {"", "revozi-health 1 pay.example 443 1 1 1 1", "revozi-health 1 pay.example 443 1 1 1 1\n\n",
                          "revozi-health 2 pay.example 443 1 1 1 1\n", "revozi-health 1 pay.example 443 1 1 1\n",
                          "revozi-health 1 pay.example 443 1 1 1 1 1\n", "revozi-health 1 pay.example 70000 1 1 1 1\n",
                          "revozi-health 1 pay.example 443 -1 1 1 1\n", "revozi-health 1 pay example 443 1 1 1\n",
                          "revozi-health 1 pay/x 443 1 1 1 1\n", "revozi-health 1 pay.example 443 1 1 1 1999999999999999999\n",
                          "revozi-health 1  443 1 1 1 1\n", "revozi-health 1 pay.example 443 1 1 1 1 \n"}) {
    EXPECT_FALSE(parseHealthRecord(bad)) << bad;
  }
  EXPECT_EQ(healthFileName("[::1]", 443), "[::1]:443");
  EXPECT_EQ(healthFileName("..", 1), "%2E.:1");
  EXPECT_EQ(healthFileName("a b/%\xff", 2), "a%20b%2F%25%FF:2");
  EXPECT_EQ(healthFileName(std::string(kHealthNameMax, 'a'), 2), "");
  EXPECT_EQ(retrySecondsOf("5"), 5);
  for (const char* bad : {"", "0", "-1", "5s", " 5", "86401"}) EXPECT_FALSE(retrySecondsOf(bad)) << bad;
  EXPECT_EQ(utcText(kNow), "2027-01-15T08:00:00Z");
}

// A state directory of the test's, removed with it.
struct StateDir {
  std::string path;
  StateDir() {
    char name[] = "/tmp/revozi-health-XXXXXX";
    path = mkdtemp(name);
  }
  ~StateDir() { std::system(("chmod -R u+rwx '" + path + "'; rm -rf '" + path + "'").c_str()); }
  std::string file(std::string_view host) const { return path + "/" + healthFileName(host, kServerPort); }
  void remember(std::string_view host, long long failedAgo, long long failures = 1) const {
    std::ofstream(file(host)) << formatHealthRecord(
        {std::string(host), kServerPort, kNow - failedAgo, failures, kNow - failedAgo, 0});
    chmod(file(host).c_str(), 0600);
  }
};

// Played servers: "down*" time out, the others answer.
struct Selection {
  testing::FakePlatform platform;
  ParamTable params;
  PageOutput out{platform};
  explicit Selection(const std::vector<std::string>& hosts) {
    platform.wall = kNow;
    platform.offline = false;
    params.set(kPort, std::to_string(kServerPort));
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      params.set(kServerSlots[i].url, "https://" + hosts[i] + "/p\xc3\xa9");
      params.set(kServerSlots[i].timeout, "1");
      const bool down = hosts[i].starts_with("down");
      platform.hosts[hosts[i]] = {down ? ConnectOutcome{ConnectOutcome::kNotConnected, EINPROGRESS}
                                       : ConnectOutcome{ConnectOutcome::kConnected}, {}};
    }
  }
  // The page's server and the hosts probed, in order.
  std::pair<std::string, std::string> run(ServerHealth* health, bool ping = false) {
    const std::optional<std::string> found = selectServer(params, platform, nullptr, {health, !ping, true});
    std::string probed;
    for (const std::string& c : platform.connections) probed += (probed.empty() ? "" : " ") + c.substr(0, c.find(':'));
    return {found ? std::string(hostOfUrl(*found)) : "none", probed};
  }
};

TEST(HealthSelectionTest, PassesOverWhatFailedAndProbesAgainOnePerPeriod) {
  struct Row {
    const char* name;
    std::vector<std::string> hosts;
    std::vector<std::pair<const char*, long long>> remembered;  // host, seconds since its failure
    bool claimedElsewhere, ping;
    const char* found;
    const char* probed;
  };
  const Row rows[] = {
      {"a marked primary is passed over", {"down.test", "up.test"}, {{"down.test", 5}}, false, false, "up.test",
       "up.test"},
      {"a primary due for a retry is probed again", {"down.test", "up.test"}, {{"down.test", 30}}, false, false,
       "up.test", "down.test up.test"},
      {"...unless another process probes it", {"down.test", "up.test"}, {{"down.test", 30}}, true, false, "up.test",
       "up.test"},
      {"every slot marked: probed as always", {"down.test", "down2.test"}, {{"down.test", 5}, {"down2.test", 5}},
       false, false, "none", "down.test down2.test"},
      {"marked, and the later slot fails: probed after all", {"back.test", "down2.test"}, {{"back.test", 5}}, false,
       false, "back.test", "down2.test back.test"},
      {"a later marked slot is passed over too", {"down.test", "down2.test", "up.test"},
       {{"down.test", 5}, {"down2.test", 5}}, false, false, "up.test", "up.test"},
      {"ping mode probes a marked slot", {"down.test", "up.test"}, {{"down.test", 5}}, false, true, "up.test",
       "down.test up.test"},
  };
  for (const Row& row : rows) {
    StateDir dir;
    for (const auto& [host, ago] : row.remembered) dir.remember(host, ago);
    const int other = open((dir.file(row.hosts[0]) + std::string(kLockSuffix)).c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(!row.claimedElsewhere || flock(other, LOCK_EX | LOCK_NB) == 0) << row.name;
    Selection s(row.hosts);
    std::optional<ServerHealth> health = ServerHealth::open(s.platform, dir.path.c_str(), "30");
    ASSERT_TRUE(health) << row.name;
    EXPECT_EQ(s.run(&*health, row.ping), std::make_pair(std::string(row.found), std::string(row.probed))) << row.name;
    close(other);
    // What a later process reads: the failures and successes written.
    ServerHealth later = *ServerHealth::open(s.platform, dir.path.c_str(), "30");
    for (const std::string& host : row.hosts) {
      const bool probed = (" " + std::string(row.probed) + " ").find(" " + host + " ") != std::string::npos;
      const bool remembered = std::any_of(row.remembered.begin(), row.remembered.end(),
                                          [&](const auto& r) { return host == r.first; });
      const HealthRecord& r = later.record(host, kServerPort);
      const bool down = host.starts_with("down");
      EXPECT_EQ(r.failures, (remembered ? 1 : 0) + (probed && down ? 1 : 0) - (probed && !down && remembered ? 1 : 0))
          << row.name << " " << host;
      EXPECT_EQ(r.lastSuccess, probed && !down ? kNow : 0) << row.name << " " << host;
    }
  }
}

TEST(HealthSelectionTest, LogLinesNameTheSlotsAndEscapeTheirUrls) {
  StateDir dir;
  dir.remember("back.test", 5, 4);
  Selection s({"back.test", "down2.test"});
  std::optional<ServerHealth> health = ServerHealth::open(s.platform, dir.path.c_str(), "30");
  s.platform.steady = 0;
  s.run(&*health);
  EXPECT_EQ(s.platform.error,
            "revozi: slot primary https://back.test/p\\xc3\\xa9 passed over (down since 2027-01-15T07:59:55Z, "
            "failures in a row: 4, next retry in 25 s), using backup1\n"
            "revozi: slot backup1 https://down2.test/p\\xc3\\xa9 unreachable (connect 115 after 0 ms), using primary\n"
            "revozi: slot primary https://back.test/p\\xc3\\xa9 reachable again (failures in a row: 4)\n");
}

// Each state the memory must not trust, starting from a record that would
// pass the primary over: the primary is probed as always, and the shopper
// still gets the backup.
TEST(HealthSelectionTest, EveryStateNotToTrustProbesAsAlways) {
  using Spoil = std::function<void(const StateDir&, const std::string& file)>;
  const std::string good = formatHealthRecord({"down.test", kServerPort, kNow - 5, 1, kNow - 5, 0});
  const bool root = geteuid() == 0;
  struct Row {
    const char* name;
    Spoil spoil;
    bool probedAsAlways = true;
  };
  const Row rows[] = {
      {"the record intact (the control)", [](const StateDir&, const std::string&) {}, false},
      {"no record", [](const StateDir&, const std::string& f) { unlink(f.c_str()); }},
      {"a directory in its place", [](const StateDir&, const std::string& f) { unlink(f.c_str()); mkdir(f.c_str(), 0700); }},
      {"corrupt", [](const StateDir&, const std::string& f) { std::ofstream(f) << "revozi-health 1 \x01\x02\n"; }},
      {"torn", [&](const StateDir&, const std::string& f) { std::ofstream(f) << good.substr(0, 30); }},
      {"oversized", [&](const StateDir&, const std::string& f) { std::ofstream(f, std::ios::app) << std::string(kHealthFileMax, ' '); }},
      {"another server's record", [](const StateDir&, const std::string& f) {
         std::ofstream(f) << formatHealthRecord({"other.test", kServerPort, kNow - 5, 1, kNow - 5, 0}); }},
      {"a failure in the future (clock set back)", [](const StateDir&, const std::string& f) {
         std::ofstream(f) << formatHealthRecord({"down.test", kServerPort, kNow + 60, 1, kNow + 60, 0}); }},
      {"writable by others", [](const StateDir&, const std::string& f) { chmod(f.c_str(), 0606); }},
      {"writable by its group", [](const StateDir&, const std::string& f) { chmod(f.c_str(), 0620); }},
      {"another user's", [=](const StateDir&, const std::string& f) { if (root) EXPECT_EQ(chown(f.c_str(), 4242, 4242), 0); else unlink(f.c_str()); }},
      {"a link to a good record", [](const StateDir& d, const std::string& f) {
         rename(f.c_str(), (d.path + "/elsewhere").c_str()); EXPECT_EQ(symlink((d.path + "/elsewhere").c_str(), f.c_str()), 0); }},
      {"a directory others may write", [](const StateDir& d, const std::string&) { chmod(d.path.c_str(), 0707); }},
      {"a directory it cannot write", [](const StateDir& d, const std::string&) { chmod(d.path.c_str(), 0500); }},
      {"another user's directory", [=](const StateDir& d, const std::string&) { if (root) EXPECT_EQ(chown(d.path.c_str(), 4242, 4242), 0); else chmod(d.path.c_str(), 0500); }},
  };
  for (const Row& row : rows) {
    StateDir dir;
    dir.remember("down.test", 5);
    row.spoil(dir, dir.file("down.test"));
    Selection s({"down.test", "up.test"});
    std::optional<ServerHealth> health = ServerHealth::open(s.platform, dir.path.c_str(), nullptr);
    const auto [found, probed] = s.run(health ? &*health : nullptr);
    EXPECT_EQ(found, "up.test") << row.name;
    EXPECT_EQ(probed, row.probedAsAlways ? "down.test up.test" : "up.test") << row.name;
  }
  // A directory that is not there, or a file.
  for (const char* path : {"/nonexistent/revozi", "/dev/null", ""}) {
    testing::FakePlatform p;
    EXPECT_FALSE(ServerHealth::open(p, path, nullptr)) << path;
  }
}

}  // namespace
}  // namespace revozi

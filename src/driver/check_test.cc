// revozi.cgi --check in-process: a configuration read as a request reads it,
// the payment servers' resolution and connection attempts played by the fake
// platform, which is offline. Options files are given to it, and written to a
// temporary directory too, where their mode bits are looked at.
#include "driver/check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <fstream>
#include <string>
#include <vector>

#include "params/param_table.h"
#include "tests/fake_platform.h"

extern "C" char revozi_key_slot[];

namespace revozi {
namespace {

using testing::FakePlatform;
using A = ConnectReport;

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/revozi-check.XXXXXX";
    path_ = mkdtemp(name) != nullptr ? name : "";
    EXPECT_FALSE(path_.empty());
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  // `name` may name one folder, made as needed.
  std::string write(const std::string& name, const std::string& text, mode_t mode) {
    const std::string file = path_ + "/" + name;
    mkdir(file.substr(0, file.rfind('/')).c_str(), 0755);
    std::ofstream(file) << text;
    chmod(file.c_str(), mode);
    return file;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A host whose name gave `addresses` in 1.5 ms and whose attempts ended as
// given.
FakePlatform::PlayedHost played(ConnectOutcome outcome, std::vector<std::string> addresses,
                                std::vector<A::Attempt> attempts) {
  A report;
  report.resolveMicros = 1500;
  report.addresses = std::move(addresses);
  report.attempts = std::move(attempts);
  return {outcome, report};
}

const ConnectOutcome kConnected{ConnectOutcome::kConnected, 0};
const FakePlatform::PlayedHost kPayTest =
    played(kConnected, {"192.0.2.1"}, {{"192.0.2.1", 1500, 1800, A::kAttemptConnected, 0}});

// A production configuration: every slot named or off, short time-outs,
// the lock, the mode string 31, the options file 0640.
const std::string kGoodOptions =
    "KWT_KORVEN=https://pay.test/cgi/pay.cgi\nKWT_BACKUP1=https://b1.test/p\nKWT_BACKUP2=none\n"
    "KWT_BACKUP3=NONE\nKWT_TIMEOUT=5\nKWT_TIMEOUT1=3\nKWT_PING=0\nKWT_ERREUR=https://shop.test/erreur.html\n";

struct Checked {
  int status;
  std::string out;
};

// --check of the options file `options` in `dir` (its `name` and `mode`),
// with the environment of the recipes changed by `env` (an empty value
// unsets a variable) and the arguments after --check.
Checked check(TempDir& dir, const std::string& options, std::map<std::string, std::string> env = {},
              std::vector<std::string> args = {}, mode_t mode = 0640, const std::string& name = "kwtinfos.txt") {
  FakePlatform p;
  p.offline = true;
  const std::string path = dir.write(name, options, mode);
  p.files[path] = options;
  p.env = {{"REVOZI_LOCK", "1"}, {"KWT_MODE", "31"}, {"KWT_OPT", path}};
  for (const auto& [k, v] : env) v.empty() ? (void)p.env.erase(k) : (void)(p.env[k] = v);
  for (const char* host : {"pay.test", "b1.test", "localhost", "127.0.0.1", "[::ffff:127.0.0.9]"}) {
    p.hosts[host] = kPayTest;
  }
  p.hosts["lo.test"] = played(kConnected, {"::1", "127.0.0.1"}, {{"::1", 1500, 1800, A::kAttemptConnected, 0}});
  p.hosts["nowhere.test"] = played({ConnectOutcome::kUnresolved, 2}, {}, {});
  p.hosts["down.test"] = played({ConnectOutcome::kNotConnected, EINPROGRESS}, {"192.0.2.3", "192.0.2.4"},
                                {{"192.0.2.3", 1500, 1600, A::kAttemptFailed, ECONNREFUSED},
                                 {"192.0.2.4", 1600, 3001600, A::kAttemptTimedOut, EINPROGRESS}});
  args.insert(args.begin(), {"revozi.cgi", "--check"});
  const int status = runCheck(p, args);
  // The sandbox lines depend on this host: its own test below.
  std::string out;
  for (std::size_t at = 0; at < p.output.size();) {
    const std::size_t end = p.output.find('\n', at) + 1;
    const std::string line = p.output.substr(at, end - at);
    if (line.find("  sandbox: /") == std::string::npos && line.find("  sandbox: not installed") == std::string::npos) {
      out += line;
    }
    at = end;
  }
  return {status, out};
}

TEST(Check, GoodConfiguration) {
  TempDir dir;
  const Checked c = check(dir, kGoodOptions);
  const std::string file = dir.path() + "/kwtinfos.txt";
  EXPECT_EQ(c.out,
            "ok    lock: mode string \"31\", from the environment\n"
            "ok    options file: source 3, " + file + ": read, 8 parameters set\n"
            "ok    options file: " + file + ": outside cgi-bin and the served directories of deploy/\n"
            "ok    options file: no other user may read or write it (mode 0640)\n"
            "ok    lock: source 1, the form: the order's fields (none outside a web server)\n"
            "ok    lock: REVOZI_LOCK is set, the form supplies no setting\n"
            "ok    options file: KWT_PING \"0\": no ping mode\n"
            "ok    options file: KWT_TRACE not set\n"
            "ok    key: none written into the module, no KWT_CLE\n"
            "ok    servers: KWT_KORVEN https://pay.test/cgi/pay.cgi: accepted, host pay.test, port 443, time-out 5 s\n"
            "ok    servers: KWT_KORVEN address 192.0.2.1 (resolved in 1.5 ms)\n"
            "ok    servers: KWT_KORVEN connect 192.0.2.1 port 443: connected in 0.3 ms\n"
            "ok    servers: KWT_KORVEN reachable in 1.8 ms\n"
            "ok    servers: KWT_BACKUP1 https://b1.test/p: accepted, host b1.test, port 443, time-out 3 s\n"
            "ok    servers: KWT_BACKUP1 address 192.0.2.1 (resolved in 1.5 ms)\n"
            "ok    servers: KWT_BACKUP1 connect 192.0.2.1 port 443: connected in 0.3 ms\n"
            "ok    servers: KWT_BACKUP1 reachable in 1.8 ms\n"
            "ok    servers: KWT_BACKUP2 off (none): never probed\n"
            "ok    servers: KWT_BACKUP3 off (NONE): never probed\n"
            "ok    error URL: KWT_ERREUR https://shop.test/erreur.html\n");
  EXPECT_EQ(c.status, 0);
}

// Every FAIL line a broken configuration gets, one broken item per row: the
// line that must be there, and the exit status 1.
TEST(Check, EachBrokenItemFails) {
  TempDir dir;
  struct Row {
    std::string options;  // before the good ones: the first line wins
    std::map<std::string, std::string> env;
    std::vector<std::string> args;
    std::string line;
    mode_t mode = 0640;
    std::string name = "kwtinfos.txt";
  };
  const std::string kTail = "\n";
  const Row rows[] = {
      {"", {{"KWT_OPT", dir.path() + "/gone.txt"}}, {},
       "FAIL  options file: source 3, " + dir.path() + "/gone.txt: cannot be opened (missing, not readable or a "
       "directory): requests fail with -5\nFAIL  options file: the sources after it in the mode string are not read\n"},
      {"no equals sign\n", {}, {}, ": a line without '=' or too long: requests fail with -6\n"},
      {"KWT_CLE=Secret-1\n", {}, {}, "FAIL  options file: it holds KWT_CLE and every user may read it (mode 0644): "
       "chmod o-r " + dir.path() + "/kwtinfos.txt\n", 0644},
      {"", {}, {}, "FAIL  options file: other users may write it (mode 0620), and so name their own payment server: "
       "chmod go-w " + dir.path() + "/kwtinfos.txt\n", 0620},
      {"", {}, {}, "FAIL  options file: " + dir.path() + "/cgi-bin/kwtinfos.txt is inside a cgi-bin directory: keep "
       "it in /etc/revozi/kwtinfos.txt, named by the web server's KWT_OPT\n", 0640, "cgi-bin/kwtinfos.txt"},
      {"KWT_CLE=Secret-1\n", {}, {}, "FAIL  key: none written into the module, yet KWT_CLE is given: requests fail "
       "with -17\n"},
      {"", {{"REVOZI_LOCK", "0"}}, {}, "FAIL  lock: off (REVOZI_LOCK not set, empty or 0)"},
      {"", {{"KWT_MODE", "13"}}, {}, "FAIL  lock: mode string \"13\", from the environment: the form is read before "
       "the options file, and may set what the file would: KWT_MODE=31 where the web server starts the module\n"},
      {"", {{"KWT_MODE", ""}}, {}, "FAIL  lock: mode string \"1\", the default: the form alone: the form is read"},
      {"", {}, {"KWT_MODE=4"}, "FAIL  check: argument \"KWT_MODE=4\" not read"},
      {"KWT_PING=1\n", {}, {}, "FAIL  options file: KWT_PING \"1\" selects ping mode"},
      {"KWT_TRACE=0\n", {}, {}, "FAIL  options file: KWT_TRACE \"0\": any value shows the probe trace to shoppers"},
      {"KWT_KORVEN=http://pay.test/\n", {}, {}, "FAIL  servers: KWT_KORVEN is not https://"},
      {"KWT_KORVEN=https://localhost/\n", {}, {}, "FAIL  servers: KWT_KORVEN names this host (localhost)"},
      {"KWT_BACKUP1=https://[::ffff:127.0.0.9]/\n", {}, {}, "FAIL  servers: KWT_BACKUP1 names this host"},
      {"KWT_BACKUP1=https://lo.test/\n", {}, {}, "FAIL  servers: KWT_BACKUP1 lo.test resolves to this host only"},
      {"!", {}, {}, "FAIL  servers: KWT_BACKUP2 not set: requests probe the built-in placeholder "
       "https://secure2.korven.example/cgi/ZOzeziv_pagepaiement.cgi, no payment server: add KWT_BACKUP2=none, or "
       "KWT_BACKUP2= with a URL of your contract, to the options file\n"},
      {"", {{"KWT_MODE", "2"}}, {}, "FAIL  servers: KWT_KORVEN not set: requests probe the built-in placeholder "
       "https://secure.korven.example/cgi/ZOzeziv_pagepaiement.cgi, no payment server: add KWT_KORVEN= with your "
       "contract's URL to the options file\n"},
      {"KWT_KORVEN=none\nKWT_BACKUP1=None\n", {}, {}, "FAIL  servers: every slot is off"},
      {"KWT_KORVEN=javascript:alert(1)//x\n", {}, {}, "FAIL  servers: KWT_KORVEN \"javascript:alert(1)//x\": refused"},
      {"KWT_KORVEN=https://pay.test/" + std::string(140, 'p') + "\n", {}, {},
       "FAIL  servers: KWT_KORVEN: longer than 150 bytes: requests fail with -4\n"},
      {"KWT_BACKUP1=https://nowhere.test/\n", {}, {},
       "FAIL  servers: KWT_BACKUP1 nowhere.test: not resolved (2, no answer in time, try again) after 1.5 ms\n"},
      {"KWT_BACKUP1=https://down.test/\nKWT_PORT=8443\n", {}, {},
       "FAIL  servers: KWT_BACKUP1 connect 192.0.2.3 port 8443: error 111 (Connection refused) after 0.1 ms\n"
       "FAIL  servers: KWT_BACKUP1 connect 192.0.2.4 port 8443: no answer within the time-out (3000.0 ms)\n"
       "FAIL  servers: KWT_BACKUP1 not reachable within 3 s\n"},
      {"KWT_TIMEOUT1=-1\n", {}, {}, "FAIL  servers: KWT_BACKUP1: a negative time-out (-1): never connected\n"},
      {"KWT_ERREUR=javascript:alert(1)\n", {}, {},
       "FAIL  error URL: KWT_ERREUR javascript:alert(1): not a web address (https://...)\n"},
      {"", {{"KWT_MODE", "21"}, {"KWT_ANNULE", "https://shop.test/\x01"}}, {},
       "FAIL  https: KWT_ANNULE https://shop.test/\\x01: longer than 150 bytes or with a control byte"},
  };
  for (const Row& row : rows) {
    // "!": the good options without their KWT_BACKUP2 line.
    std::string options = row.options + kGoodOptions;
    if (row.options == "!") options = std::string(kGoodOptions).erase(kGoodOptions.find("KWT_BACKUP2"), 17);
    const Checked c = check(dir, options, row.env, row.args, row.mode, row.name);
    EXPECT_EQ(c.status, 1) << row.line << c.out;
    EXPECT_NE(c.out.find(row.line), std::string::npos) << row.line << "\n---\n" << c.out;
  }
}

// Warnings name what to change and do not fail; --test-host turns the
// sandbox's settings into warnings.
TEST(Check, WarningsDoNotFail) {
  TempDir dir;
  struct Row {
    std::string options;
    std::vector<std::string> args;
    std::string line;
    mode_t mode = 0640;
  };
  const Row rows[] = {
      {"", {}, "warn  options file: every user may read it (mode 0644): chmod o-r " + dir.path() + "/kwtinfos.txt\n",
       0644},
      {"KWT_TIMEOUT=8\n", {}, "warn  options file: KWT_TIMEOUT 8 s: above 5 s, a shopper waits that long for a "
       "server that does not answer: KWT_TIMEOUT=5\n"},
      {"KWT_ERREUR=https://shop.test/e.php?lang=fr\n", {}, "warn  error URL: KWT_ERREUR "
       "https://shop.test/e.php?lang=fr: holds a '?', and the module appends ?NUMERR=code"},
      {"KWT_ERREUR=http://shop.test/e\n", {}, "warn  error URL: KWT_ERREUR http://shop.test/e: not https\n"},
      {"KWT_KORVEN=http://127.0.0.1/cgi-bin/korven-sandbox.cgi\n", {"--test-host"},
       "warn  servers: KWT_KORVEN is not https://: the shopper's card details would travel in clear (a test host)\n"
       "warn  servers: KWT_KORVEN names this host (127.0.0.1): no payment server (a test host)\n"
       "warn  sandbox: KWT_KORVEN names the payment sandbox: test hosts only\n"},
  };
  for (const Row& row : rows) {
    const Checked c = check(dir, row.options + kGoodOptions, {}, row.args, row.mode);
    EXPECT_EQ(c.status, 0) << row.line << c.out;
    EXPECT_NE(c.out.find(row.line), std::string::npos) << row.line << "\n---\n" << c.out;
  }
  // No error URL at all.
  const Checked c = check(dir, kGoodOptions.substr(0, kGoodOptions.find("KWT_ERREUR")));
  EXPECT_EQ(c.status, 0) << c.out;
  EXPECT_NE(c.out.find("warn  error URL: KWT_ERREUR not set: errors show the module's error page"),
            std::string::npos) << c.out;
}

// The sandbox beside the module: the working directory, as under a web server.
TEST(Check, SandboxBesideTheModule) {
  TempDir dir;
  dir.write("korven-sandbox.cgi", "", 0755);
  dir.write("kwtinfos.txt", kGoodOptions, 0640);
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  FakePlatform p;
  p.offline = true;
  p.env = {{"REVOZI_LOCK", "1"}, {"KWT_MODE", "31"}, {"KWT_OPT", "kwtinfos.txt"}};
  p.hosts["pay.test"] = p.hosts["b1.test"] = kPayTest;
  p.files["kwtinfos.txt"] = kGoodOptions;
  const int status = runCheck(p, {"revozi.cgi", "--check"});
  ASSERT_EQ(chdir(here), 0);
  EXPECT_EQ(status, 1);
  for (const std::string& line :
       {"warn  sandbox: " + dir.path() + "/korven-sandbox.cgi is installed: never on a production host\n",
        "FAIL  options file: " + dir.path() + "/kwtinfos.txt is beside the module"}) {
    EXPECT_NE(p.output.find(line), std::string::npos) << line << "\n---\n" << p.output;
  }
}

TEST(Check, MerchantKey) {
  struct Row {
    const char* key;      // written into the KeySlot; empty: none
    const char* given;    // KWT_CLE; empty: none
    int status;
    std::string line;
  };
  const Row rows[] = {
      {"", "", 0, "ok    key: none written into the module, no KWT_CLE\n"},
      {"", "guess", 1, "FAIL  key: none written into the module, yet KWT_CLE is given: requests fail with -17\n"},
      {"Secret-1", "Secret-1", 0, "ok    key: written into the module, KWT_CLE matches\n"},
      {"Secret-1", "Secret-2", 1, "FAIL  key: written into the module, KWT_CLE does not match: requests "
                                  "fail with -17\n"},
      {"Secret-1", "", 1, "FAIL  key: written into the module, KWT_CLE not given: requests fail with -7\n"},
  };
  for (const Row& row : rows) {
    std::strncpy(revozi_key_slot + kKeyOffset, row.key, kKeySlotSize - kKeyOffset);
    FakePlatform p;
    p.offline = true;
    p.env = {{"KWT_MODE", "2"}, {"REVOZI_LOCK", "1"}, {"KWT_KORVEN", "https://pay.test/"}, {"KWT_BACKUP1", "none"},
             {"KWT_BACKUP2", "none"}, {"KWT_BACKUP3", "none"}};
    if (*row.given != '\0') p.env["KWT_CLE"] = row.given;
    p.hosts["pay.test"] = kPayTest;
    const Checked c{runCheck(p, {"revozi.cgi", "--check"}), p.output};
    std::memset(revozi_key_slot + kKeyOffset, 0, kKeySlotSize - kKeyOffset);
    EXPECT_EQ(c.status, row.status) << row.line << c.out;
    EXPECT_NE(c.out.find(row.line), std::string::npos) << row.line << "\n---\n" << c.out;
    // The key itself is never shown.
    if (*row.key != '\0') {
      EXPECT_EQ(c.out.find(row.key), std::string::npos) << c.out;
    }
  }
}

}  // namespace
}  // namespace revozi

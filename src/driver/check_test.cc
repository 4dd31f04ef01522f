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
  ~TempDir() {
    for (const std::string& f : files_) unlink(f.c_str());
    rmdir(path_.c_str());
  }
  std::string write(const std::string& name, const std::string& text, mode_t mode) {
    const std::string file = path_ + "/" + name;
    std::ofstream(file) << text;
    chmod(file.c_str(), mode);
    files_.push_back(file);
    texts_[file] = text;
    return file;
  }
  // The files as the fake platform reads them.
  void give(FakePlatform& p) const { p.files.insert(texts_.begin(), texts_.end()); }

 private:
  std::string path_;
  std::vector<std::string> files_;
  std::map<std::string, std::string> texts_;
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

struct Checked {
  int status;
  std::string out;
};

Checked check(FakePlatform& p, std::vector<std::string> args = {}) {
  args.insert(args.begin(), {"revozi.cgi", "--check"});
  const int status = runCheck(p, args);
  return {status, p.output};
}

const ConnectOutcome kConnected{ConnectOutcome::kConnected, 0};

TEST(Check, GoodConfiguration) {
  TempDir dir;
  const std::string options = dir.write(
      "kwtinfos.txt",
      "KWT_KORVEN=https://pay.test/cgi/pay.cgi\nKWT_BACKUP1=https://b1.test/p\nKWT_BACKUP2=https://b2.test/p\n"
      "KWT_BACKUP3=https://[::1]/p\nKWT_TIMEOUT=5\nKWT_ERREUR=https://shop.test/erreur.html\n"
      "KWT_EFFECTUE=https://shop.test/merci.html\n",
      0640);
  FakePlatform p;
  p.offline = true;
  dir.give(p);
  p.env = {{"REVOZI_LOCK", "1"}, {"KWT_MODE", "31"}, {"KWT_OPT", options}};
  p.hosts["pay.test"] = played(kConnected, {"2001:db8::1", "127.0.0.2", "127.0.0.1"},
                               {{"2001:db8::1", 1500, 1600, A::kAttemptFailed, 101},
                                {"127.0.0.2", 1600, 251600, A::kAttemptAbandoned, 0},
                                {"127.0.0.1", 251600, 251900, A::kAttemptConnected, 0}});
  p.hosts["b1.test"] = played(kConnected, {"127.0.0.1"}, {{"127.0.0.1", 1500, 1800, A::kAttemptConnected, 0}});
  p.hosts["b2.test"] = played(kConnected, {"127.0.0.1"}, {{"127.0.0.1", 1500, 1800, A::kAttemptConnected, 0}});
  p.hosts["[::1]"] = played(kConnected, {"::1"}, {{"::1", 0, 200, A::kAttemptConnected, 0}});
  const Checked c = check(p);
  EXPECT_EQ(c.out,
            "ok    mode string \"31\", from the environment\n"
            "ok    source 3, the options file " + options + ": read, 7 parameters set\n"
            "ok    source 1, the form: the order's fields (none outside a web server)\n"
            "ok    lock: REVOZI_LOCK is set, the form supplies no setting\n"
            "ok    merchant key: none written into the module, no KWT_CLE\n"
            "ok    KWT_KORVEN https://pay.test/cgi/pay.cgi: accepted, host pay.test, port 443, time-out 5 s\n"
            "ok    KWT_KORVEN address 2001:db8::1 (resolved in 1.5 ms)\n"
            "ok    KWT_KORVEN address 127.0.0.2 (resolved in 1.5 ms)\n"
            "ok    KWT_KORVEN address 127.0.0.1 (resolved in 1.5 ms)\n"
            "warn  KWT_KORVEN connect 2001:db8::1 port 443: error 101 (Network is unreachable) after 0.1 ms\n"
            "warn  KWT_KORVEN connect 127.0.0.2 port 443: no answer in 250.0 ms, given up when another "
            "address connected\n"
            "ok    KWT_KORVEN connect 127.0.0.1 port 443: connected in 0.3 ms\n"
            "ok    KWT_KORVEN reachable in 251.9 ms\n"
            "ok    KWT_BACKUP1 https://b1.test/p: accepted, host b1.test, port 443, time-out 10 s\n"
            "ok    KWT_BACKUP1 address 127.0.0.1 (resolved in 1.5 ms)\n"
            "ok    KWT_BACKUP1 connect 127.0.0.1 port 443: connected in 0.3 ms\n"
            "ok    KWT_BACKUP1 reachable in 1.8 ms\n"
            "ok    KWT_BACKUP2 https://b2.test/p: accepted, host b2.test, port 443, time-out 20 s\n"
            "ok    KWT_BACKUP2 address 127.0.0.1 (resolved in 1.5 ms)\n"
            "ok    KWT_BACKUP2 connect 127.0.0.1 port 443: connected in 0.3 ms\n"
            "ok    KWT_BACKUP2 reachable in 1.8 ms\n"
            "ok    KWT_BACKUP3 https://[::1]/p: accepted, host [::1], port 443, time-out 20 s\n"
            "ok    KWT_BACKUP3 address ::1 (resolved in 1.5 ms)\n"
            "ok    KWT_BACKUP3 connect ::1 port 443: connected in 0.2 ms\n"
            "ok    KWT_BACKUP3 reachable in 0.2 ms\n"
            "ok    KWT_EFFECTUE https://shop.test/merci.html\n"
            "ok    KWT_ERREUR https://shop.test/erreur.html\n");
  EXPECT_EQ(c.status, 0);
  // Each server once, on the port and with the time-out a request uses.
  EXPECT_EQ(p.connections, (std::vector<std::string>{"pay.test:443/5", "b1.test:443/10", "b2.test:443/20",
                                                      "[::1]:443/20"}));
}

// Every FAIL line a broken configuration gets, one broken item per row: the
// line that must be there, and the exit status 1.
TEST(Check, EachBrokenItemFails) {
  TempDir dir;
  const std::string good = "KWT_KORVEN=https://pay.test/\nKWT_BACKUP1=https://pay.test/\n"
                           "KWT_BACKUP2=https://pay.test/\nKWT_BACKUP3=https://pay.test/\n";
  const std::string open = dir.write("open.txt", good + "KWT_CLE=Secret-1\n", 0644);
  const std::string badLine = dir.write("bad.txt", good + "no equals sign\n", 0640);
  const std::string fine = dir.write("fine.txt", good, 0640);
  struct Row {
    std::string options;  // KWT_OPT; the mode string is 3
    std::vector<std::string> args;
    std::string line;
  };
  const Row rows[] = {
      {dir.write("missing.txt", "", 0640) + ".gone", {},
       "FAIL  source 3, the options file " + fine.substr(0, fine.rfind('/')) +
           "/missing.txt.gone: cannot be opened (missing, not readable or a directory): requests fail with -5\n"
           "FAIL  the sources after it in the mode string are not read\n"},
      {badLine, {}, ": a line without '=' or too long: requests fail with -6\n"},
      {open, {}, "FAIL  the options file holds KWT_CLE and every user may read it (mode 0644): chmod o-r " + open + "\n"},
      {open, {}, "FAIL  merchant key: none written into the module, yet KWT_CLE is given: requests fail with -17\n"},
      {fine, {"KWT_KORVEN=javascript:alert(1)//x"},
       "FAIL  KWT_KORVEN \"javascript:alert(1)//x\": refused (not http://, https:// or //, or a control byte): "
       "never probed\n"},
      {fine, {"KWT_KORVEN=https://pay.test/" + std::string(140, 'p')},
       "FAIL  KWT_KORVEN: longer than 150 bytes: requests fail with -4\n"},
      {fine, {"KWT_BACKUP1=https://nowhere.test/"},
       "ok    KWT_BACKUP1 https://nowhere.test/: accepted, host nowhere.test, port 443, time-out 10 s\n"
       "FAIL  KWT_BACKUP1 nowhere.test: not resolved (2, no answer in time, try again) after 1.5 ms\n"},
      {fine, {"KWT_BACKUP2=https://down.test/", "KWT_PORT=8443"},
       "FAIL  KWT_BACKUP2 connect 127.0.0.3 port 8443: error 111 (Connection refused) after 0.1 ms\n"
       "FAIL  KWT_BACKUP2 connect 127.0.0.4 port 8443: no answer within the time-out (20000.0 ms)\n"
       "FAIL  KWT_BACKUP2 not reachable within 20 s\n"},
      {fine, {"KWT_BACKUP3=https://pay.test/", "KWT_TIMEOUT3=-1"},
       "FAIL  KWT_BACKUP3: a negative time-out (-1): never probed\n"},
      {fine, {"KWT_ERREUR=javascript:alert(1)"},
       "FAIL  KWT_ERREUR javascript:alert(1): not a web address (https://...)\n"},
      {fine, {"KWT_ANNULE=https://shop.test/\x01"},
       "FAIL  KWT_ANNULE https://shop.test/\\x01: longer than 150 bytes or with a control byte: requests fail "
       "with -4\n"},
  };
  for (const Row& row : rows) {
    FakePlatform p;
    p.offline = true;
    dir.give(p);
    p.env = {{"KWT_MODE", "43"}, {"KWT_OPT", row.options}};
    p.hosts["pay.test"] = played(kConnected, {"127.0.0.1"}, {{"127.0.0.1", 0, 100, A::kAttemptConnected, 0}});
    p.hosts["nowhere.test"] = played({ConnectOutcome::kUnresolved, 2}, {}, {});
    p.hosts["down.test"] = played({ConnectOutcome::kNotConnected, EINPROGRESS}, {"127.0.0.3", "127.0.0.4"},
                                  {{"127.0.0.3", 1500, 1600, A::kAttemptFailed, ECONNREFUSED},
                                   {"127.0.0.4", 1600, 20001600, A::kAttemptTimedOut, EINPROGRESS}});
    const Checked c = check(p, row.args);
    EXPECT_EQ(c.status, 1) << row.line << c.out;
    EXPECT_NE(c.out.find(row.line), std::string::npos) << row.line << "\n---\n" << c.out;
  }
  // The working configuration of the rows passes.
  FakePlatform p;
  p.offline = true;
  dir.give(p);
  p.env = {{"KWT_MODE", "3"}, {"KWT_OPT", fine}, {"REVOZI_LOCK", "1"}};
  p.hosts["pay.test"] = played(kConnected, {"127.0.0.1"}, {{"127.0.0.1", 0, 100, A::kAttemptConnected, 0}});
  const Checked c = check(p);
  EXPECT_EQ(c.status, 0) << c.out;
  EXPECT_EQ(c.out.find("FAIL"), std::string::npos) << c.out;
}

TEST(Check, WarningsDoNotFail) {
  struct Row {
    std::map<std::string, std::string, std::less<>> env;
    std::vector<std::string> args;
    std::string line;
    int status = 0;
  };
  const std::vector<std::string> servers = {"KWT_KORVEN=https://pay.test/", "KWT_BACKUP1=https://pay.test/",
                                            "KWT_BACKUP2=https://pay.test/", "KWT_BACKUP3=https://pay.test/"};
  const Row rows[] = {
      // The form alone: the built-in placeholders.
      {{}, {}, "ok    mode string \"1\", the default: the form alone\n", 1},
      {{}, {}, "FAIL  KWT_KORVEN not set: the built-in placeholder https://secure.korven.example/cgi/"
               "ZOzeziv_pagepaiement.cgi is no payment server (never probed here): name the servers of your "
               "contract\n", 1},
      {{{"KWT_MODE", "2"}, {"KWT_BACKUP3", ""}}, {}, "warn  KWT_BACKUP3 not set: the built-in placeholder "
               "https://secure3.korven.example/cgi/ZOzeziv_pagepaiement.cgi is no payment server (never probed "
               "here)\n"},
      {{{"KWT_MODE", "4"}}, {}, "ok    mode string \"4\", from the environment\n"
                                "ok    source 4, the command line: 4 parameters set\n"},
      {{}, {"KWT_MODE=4"}, "ok    mode string \"4\", from the command line\n"},
      {{{"KWT_MODE", "42x"}}, {}, "ok    source 2, the environment: 0 parameters set\n"
                                  "warn  mode string character \"x\" names no source\n"},
      {{{"KWT_MODE", "4"}}, {}, "warn  lock: off (REVOZI_LOCK not set, empty or 0): set REVOZI_LOCK=1 where "
                                "the web server starts the module\n"},
      {{{"KWT_MODE", "4"}, {"REVOZI_LOCK", "0"}}, {}, "warn  lock: off"},
      {{{"KWT_MODE", "4"}}, {"KWT_EFFECTUE=http://shop.test/ok"}, "warn  KWT_EFFECTUE http://shop.test/ok: not https\n"},
      {{{"KWT_MODE", "4"}}, {}, "ok    KWT_ERREUR not set: errors show the module's error page\n"},
  };
  for (const Row& row : rows) {
    FakePlatform p;
    p.offline = true;
    p.env = row.env;
    for (const char* slot : {"KWT_KORVEN", "KWT_BACKUP1", "KWT_BACKUP2", "KWT_BACKUP3"}) {
      p.env.emplace(slot, "https://pay.test/");  // a row's own value stays
    }
    p.hosts["pay.test"] = played(kConnected, {"127.0.0.1"}, {{"127.0.0.1", 0, 100, A::kAttemptConnected, 0}});
    std::vector<std::string> args = row.args;
    if (!row.env.contains("KWT_BACKUP3")) args.insert(args.end(), servers.begin(), servers.end());
    const Checked c = check(p, args);
    EXPECT_EQ(c.status, row.status) << row.line << c.out;
    EXPECT_NE(c.out.find(row.line), std::string::npos) << row.line << "\n---\n" << c.out;
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
      {"", "", 0, "ok    merchant key: none written into the module, no KWT_CLE\n"},
      {"", "guess", 1, "FAIL  merchant key: none written into the module, yet KWT_CLE is given: requests fail with -17\n"},
      {"Secret-1", "Secret-1", 0, "ok    merchant key: written into the module, KWT_CLE matches\n"},
      {"Secret-1", "Secret-2", 1, "FAIL  merchant key: written into the module, KWT_CLE does not match: requests "
                                  "fail with -17\n"},
      {"Secret-1", "", 1, "FAIL  merchant key: written into the module, KWT_CLE not given: requests fail with -7\n"},
  };
  for (const Row& row : rows) {
    std::strncpy(revozi_key_slot + kKeyOffset, row.key, kKeySlotSize - kKeyOffset);
    FakePlatform p;
    p.offline = true;
    p.env = {{"KWT_MODE", "2"}, {"REVOZI_LOCK", "1"}};
    for (const char* slot : {"KWT_KORVEN", "KWT_BACKUP1", "KWT_BACKUP2", "KWT_BACKUP3"}) p.env[slot] = "https://pay.test/";
    if (*row.given != '\0') p.env["KWT_CLE"] = row.given;
    p.hosts["pay.test"] = played(kConnected, {"127.0.0.1"}, {{"127.0.0.1", 0, 100, A::kAttemptConnected, 0}});
    const Checked c = check(p);
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

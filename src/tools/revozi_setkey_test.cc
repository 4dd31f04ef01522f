// revozi-setkey on the real module: the keyed copy requires its key, and every
// refusal leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/run_module.h"

namespace revozi::testing {
namespace {

const std::string kModule = REVOZI_CGI_PATH;
const std::string kSetKey = SETKEY_PATH;

class SetKey : public ::testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/revozi-setkey-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

  ModuleResult setkey(std::vector<std::string> args, std::string input = {}) {
    ModuleRequest r;
    r.args = std::move(args);
    r.input = std::move(input);
    return runProgram(kSetKey, r);
  }
  // The names in the test directory, sorted.
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  static bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
  }
  static std::string read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  // The order, with every server under .invalid; `extra` appended.
  ModuleResult order(const std::string& module, const std::string& extra) {
    ModuleRequest r;
    r.env = {{"REQUEST_METHOD", "GET"},
             {"QUERY_STRING",
              "KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=A&KWT_PORTEUR=a@b.fr"
              "&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7&KWT_KORVEN=p.invalid&KWT_BACKUP1=b1.invalid"
              "&KWT_BACKUP2=b2.invalid&KWT_BACKUP3=b3.invalid" + extra}};
    return runProgram(module, r);
  }
};

TEST_F(SetKey, KeyedModuleRequiresItsKey) {
  std::string keyed = dir + "/revozi.cgi";
  ModuleResult s = setkey({kModule, keyed, "S3cret-Key_13"});
  ASSERT_EQ(s.status, 0) << s.err;
  struct stat st {};
  ASSERT_EQ(::stat(keyed.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR) << "the copy stays executable";
  EXPECT_NE(order(keyed, "").out.find("(code -7)"), std::string::npos);
  EXPECT_NE(order(keyed, "&KWT_CLE=S3cret-Key_1").out.find("(code -17)"), std::string::npos);
  EXPECT_NE(order(keyed, "&KWT_CLE=S3cret-Key_13x").out.find("(code -17)"), std::string::npos);
  ModuleResult ok = order(keyed, "&KWT_CLE=S3cret-Key_13");
  EXPECT_EQ(ok.status, 0);
  EXPECT_NE(ok.out.find("AUCUN SERVEUR DISPONIBLE"), std::string::npos);
  // The module itself is unchanged: it still needs no key.
  EXPECT_EQ(order(kModule, "").status, 0);
  // A keyed module can be keyed again; the key may come from standard input.
  std::string rekeyed = dir + "/rekeyed.cgi";
  ASSERT_EQ(setkey({keyed, rekeyed, "-"}, "ab\n").status, 0);
  EXPECT_EQ(order(rekeyed, "&KWT_CLE=ab").status, 0);
  EXPECT_NE(order(rekeyed, "&KWT_CLE=S3cret-Key_13").out.find("(code -17)"), std::string::npos);
}

// The copy holds the key in clear: 0750 whatever the module's mode or the
// mode of the file it replaces.
TEST_F(SetKey, KeyedCopyIsNeverReadableByOthers) {
  const std::string module = dir + "/module.cgi";
  ASSERT_EQ(setkey({kModule, module, "k"}).status, 0);
  const struct {
    mode_t moduleMode;
    int existingMode;  // of a file already at the output; -1 for none
  } cases[] = {{0755, -1}, {0777, -1}, {0700, -1}, {04755, -1}, {0755, 0644}, {0755, 0777}};
  for (const auto& c : cases) {
    ASSERT_EQ(::chmod(module.c_str(), c.moduleMode), 0);
    const std::string out = dir + "/keyed.cgi";
    ::unlink(out.c_str());
    if (c.existingMode >= 0) {
      std::ofstream(out) << "old";
      ASSERT_EQ(::chmod(out.c_str(), static_cast<mode_t>(c.existingMode)), 0);
    }
    ModuleResult s = setkey({module, out, "S3cret"});
    ASSERT_EQ(s.status, 0) << s.err;
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u) << std::oct << c.moduleMode << " " << c.existingMode;
  }
}

TEST_F(SetKey, RefusesBadKeysAndLeavesNothing) {
  std::string out = dir + "/out.cgi";
  struct Case {
    std::string key;   // the argument
    std::string input; // standard input, for the key "-"
  };
  const std::vector<Case> cases = {
      {"", ""},
      {std::string(14, 'k'), ""},
      {"tab\tkey", ""},
      {"del\x7Fkey", ""},
      {"caf\xC3\xA9", ""},
      {" lead", ""},
      {"trail ", ""},
      {"rvzkey", ""},
      {"ab-rvzkey-c", ""},
      {"-", ""},
      {"-", "\n"},
      {"-", std::string("ab\0cd\n", 6)},
      {"-", std::string("abcd\0", 5)},
      {"-", "ab\ncd\n"},
      {"-", "rvzkey\n"},
      {"-", std::string(300, 'k')},
  };
  for (const Case& c : cases) {
    const std::string label = c.key == "-" ? "stdin:" + c.input : c.key;
    ModuleResult s = setkey({kModule, out, c.key}, c.input);
    EXPECT_EQ(s.status, 1) << label;
    EXPECT_NE(s.err.find("revozi-setkey: "), std::string::npos) << label;
    EXPECT_TRUE(listing().empty()) << label << ": something was written";
  }
  EXPECT_EQ(setkey({kModule, out, std::string(13, 'k')}).status, 0);
  EXPECT_EQ(setkey({kModule, out + "2", "-"}, "with space\r\n").status, 0);
  EXPECT_EQ(listing(), (std::vector<std::string>{"out.cgi", "out.cgi2"}));
}

TEST_F(SetKey, NeverWritesThroughALink) {
  // A victim file, and links to it at the old fixed temporary name and at
  // other names a writer might pick, and at the output itself.
  const std::string victim = dir + "/victim";
  std::ofstream(victim) << "precious";
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  const std::string out = dir + "/revozi.cgi";
  const std::vector<std::string> planted = {
      "revozi.cgi.tmp-setkey", "revozi.cgi.tmp", "revozi.cgi.new", "revozi.cgi~",
      ".revozi.cgi.tmp", ".revozi.cgi.setkey-XXXXXX", "revozi.cgi.setkey"};
  for (const std::string& name : planted) ASSERT_EQ(::symlink(victim.c_str(), (dir + "/" + name).c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), out.c_str()), 0);
  const std::vector<std::string> before = listing();

  ModuleResult s = setkey({kModule, out, "Key-1"});
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_EQ(read(victim), "precious");
  struct stat st {};
  ASSERT_EQ(::stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "the victim's mode changed";
  ASSERT_EQ(::lstat(out.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link at the output is replaced by the keyed copy";
  for (const std::string& name : planted) {
    ASSERT_EQ(::lstat((dir + "/" + name).c_str(), &st), 0) << name;
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << name;
  }
  EXPECT_EQ(listing(), before) << "no file is left beside the output";
  EXPECT_EQ(order(out, "&KWT_CLE=Key-1").status, 0);

  // An output that cannot be replaced (a directory) fails and leaves no
  // temporary file behind.
  const std::string sub = dir + "/sub.cgi";
  ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
  const std::vector<std::string> withSub = listing();
  s = setkey({kModule, sub, "Key-2"});
  EXPECT_EQ(s.status, 1);
  EXPECT_NE(s.err.find("cannot write"), std::string::npos) << s.err;
  EXPECT_EQ(listing(), withSub);
}

TEST_F(SetKey, ConcurrentRunsEachLeaveAValidModule) {
  const std::string out = dir + "/revozi.cgi";
  const std::vector<std::string> keys = {"key-one", "key-two", "key-three", "key-four"};
  std::vector<ModuleResult> results(keys.size());
  {
    std::vector<std::thread> runs;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      runs.emplace_back([&, i] { results[i] = setkey({kModule, out, keys[i]}); });
    }
    for (std::thread& t : runs) t.join();
  }
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(results[i].status, 0) << keys[i] << results[i].err;
  EXPECT_EQ(listing(), std::vector<std::string>{"revozi.cgi"});
  // The output is whole and holds exactly one of the keys.
  EXPECT_EQ(read(out).size(), read(kModule).size());
  int accepted = 0;
  for (const std::string& key : keys) accepted += order(out, "&KWT_CLE=" + key).status == 0 ? 1 : 0;
  EXPECT_EQ(accepted, 1);
}

TEST_F(SetKey, RefusesFilesWithoutExactlyOneKeyArea) {
  std::string out = dir + "/out.cgi";
  std::string none = dir + "/none.bin";
  std::ofstream(none, std::ios::binary) << "not a module at all";
  ModuleResult s = setkey({none, out, "key"});
  EXPECT_EQ(s.status, 1);
  EXPECT_NE(s.err.find("no key area"), std::string::npos) << s.err;
  EXPECT_FALSE(exists(out));

  std::string module = read(kModule);
  std::string twice = dir + "/twice.bin";
  std::ofstream(twice, std::ios::binary) << module << module;
  s = setkey({twice, out, "key"});
  EXPECT_EQ(s.status, 1);
  EXPECT_NE(s.err.find("more than one key area"), std::string::npos) << s.err;
  EXPECT_FALSE(exists(out));

  s = setkey({dir + "/missing.cgi", out, "key"});
  EXPECT_EQ(s.status, 1);
  EXPECT_FALSE(exists(out));
  EXPECT_EQ(setkey({kModule, out}).status, 2) << "usage";
}

}  // namespace
}  // namespace revozi::testing

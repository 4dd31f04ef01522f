// revozi-setkey on the real module: the keyed copy requires its key, and every
// refusal leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

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

TEST_F(SetKey, RefusesBadKeysAndLeavesNothing) {
  std::string out = dir + "/out.cgi";
  for (std::string bad : {std::string(""), std::string(14, 'k'), std::string("tab\tkey"),
                          std::string("caf\xC3\xA9"), std::string(" lead"), std::string("trail ")}) {
    ModuleResult s = setkey({kModule, out, bad});
    EXPECT_EQ(s.status, 1) << bad;
    EXPECT_NE(s.err.find("revozi-setkey: "), std::string::npos) << bad;
    EXPECT_FALSE(exists(out)) << bad;
    EXPECT_FALSE(exists(out + ".tmp-setkey")) << bad;
  }
  EXPECT_EQ(setkey({kModule, out, std::string(13, 'k')}).status, 0);
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

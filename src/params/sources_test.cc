#include "params/sources.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "params/validate.h"
#include "tests/fake_platform.h"

namespace revozi {
namespace {

using testing::FakePlatform;

class SourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/revozi-sources-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string writeFile(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  // Runs decode and the sources as the driver does; returns fillParameters'.
  int fill(const std::string& query, std::vector<std::string> args = {}) {
    params_ = ParamTable();
    args_ = {"revozi.cgi"};
    for (auto& a : args) args_.push_back(a);
    splitRequestText(query, form_);
    return fillParameters(params_, Sources{form_, platform_, args_, false});
  }
  std::string text(int index) { return std::string(params_.text(index)); }
  bool present(int index) { return params_.present(index); }

  std::string dir_;
  FakePlatform platform_;
  ParamTable params_;
  FormFieldList form_;
  std::vector<std::string> args_;
};

TEST_F(SourcesTest, NoModeReadsTheFormOnly) {
  platform_.env["KWT_RANG"] = "02";
  EXPECT_EQ(fill("KWT_SITE=1234567"), 0);
  EXPECT_EQ(text(kMode), "1");
  EXPECT_EQ(text(kSite), "1234567");
  EXPECT_FALSE(present(kRang)) << "the environment is not a source without a mode";
}

TEST_F(SourcesTest, ModeOrderDecidesWhoWins) {
  platform_.env["KWT_SITE"] = "envsite";
  EXPECT_EQ(fill("KWT_MODE=21&KWT_SITE=formsite&KWT_RANG=01"), 0);
  EXPECT_EQ(text(kSite), "envsite");
  EXPECT_EQ(text(kRang), "01");
  EXPECT_EQ(fill("KWT_MODE=12&KWT_SITE=formsite"), 0);
  EXPECT_EQ(text(kSite), "formsite");
  EXPECT_EQ(fill("KWT_MODE=x1y&KWT_SITE=formsite"), 0);
  EXPECT_EQ(text(kMode), "x1y");
  EXPECT_EQ(text(kSite), "formsite");
}

TEST_F(SourcesTest, ModeStringFromEachSource) {
  // Environment, set to the empty text: an empty mode string, nothing applied.
  platform_.env["KWT_MODE"] = "";
  platform_.env["VEL_MODE"] = "2";
  EXPECT_EQ(fill("KWT_SITE=1"), 0);
  EXPECT_TRUE(present(kMode));
  EXPECT_EQ(text(kMode), "");
  EXPECT_FALSE(present(kSite));
  platform_.env.erase("KWT_MODE");
  EXPECT_EQ(fill(""), 0);
  EXPECT_EQ(text(kMode), "2") << "VEL_MODE when KWT_MODE is not set";
  platform_.env.clear();
  // A form value that decodes to nothing is an empty mode string too.
  EXPECT_EQ(fill("KWT_MODE=%00&KWT_SITE=1"), 0);
  EXPECT_EQ(text(kMode), "");
  // A raw empty form value is absent: the command line is consulted.
  EXPECT_EQ(fill("KWT_MODE=", {"KWT_MODE= 4\t", "KWT_SITE=9"}), 0);
  EXPECT_EQ(text(kMode), "4");
  EXPECT_EQ(text(kSite), "9");
  // The first KWT_MODE argument ends the search, even when empty.
  EXPECT_EQ(fill("", {"KWT_MODEX=4", "KWT_MODE=", "KWT_MODE=4", "KWT_SITE=9"}), 0);
  EXPECT_EQ(text(kMode), "1");
  EXPECT_FALSE(present(kSite));
  EXPECT_EQ(fill("", {"VEL_MODE=4", "VEL_SITE=9"}), 0);
  EXPECT_EQ(text(kSite), "9");
}

TEST_F(SourcesTest, EnvironmentSetButEmpty) {
  platform_.env["KWT_MODE"] = "24";
  platform_.env["KWT_SITE"] = "";
  platform_.env["VEL_SITE"] = "hidden";
  EXPECT_EQ(fill("", {"KWT_SITE=1234567"}), 0);
  EXPECT_EQ(text(kSite), "1234567") << "the empty variable hides VEL_SITE; a later source fills it";
  platform_.env["KWT_SOURCE"] = "";
  fill("");
  applyDefaults(params_);
  EXPECT_EQ(text(kSource), "HTML");
}

TEST_F(SourcesTest, CommandLineRules) {
  platform_.env["KWT_MODE"] = "4";
  EXPECT_EQ(fill("", {"KWT_TIMEOUT1=5", "KWT_TOTAL_MAJORE=1", " KWT_RANG=01", "KWT_DEVISE =978",
                      "KWT_SITE=", "KWT_SITE=12\t", "KWT_SITE=99", "noequals", "FOO=bar",
                      "KWT_CMD=a=b"}),
            0);
  EXPECT_EQ(text(kTimeout1), "5");
  EXPECT_FALSE(present(kTimeout));
  EXPECT_EQ(text(kTotalMajore), "1");
  EXPECT_FALSE(present(kTotal));
  EXPECT_FALSE(present(kRang));
  EXPECT_FALSE(present(kDevise));
  EXPECT_EQ(text(kSite), "12");
  EXPECT_EQ(text(kCmd), "a=b");
}

TEST_F(SourcesTest, OptionsFileLines) {
  std::string path = writeFile("opts.txt",
                               "   # a comment\n"
                               "\n"
                               "KWT_SITE = 12  \r\n"
                               "KWT_RANG=\n"
                               "VEL_RANG=01\n"
                               "KWT_CMD=a=b\n"
                               "kwt_devise=978\n"
                               "FOO=bar\n"
                               "=12\n"
                               "KWT_CMD=second\n"
                               "\tKWT_TXT=\tquoted 'as is' %41\t\n");
  platform_.env["KWT_OPT"] = path;
  EXPECT_EQ(fill("KWT_MODE=3"), 0);
  EXPECT_EQ(text(kSite), "12");
  EXPECT_EQ(text(kRang), "01");
  EXPECT_EQ(text(kCmd), "a=b");
  EXPECT_FALSE(present(kDevise));
  EXPECT_EQ(text(kTxt), "quoted 'as is' %41");
}

TEST_F(SourcesTest, OptionsFileStopsAtLineWithoutEquals) {
  std::string path = writeFile("opts.txt", "KWT_SITE=1234567\njustaword\nKWT_RANG=01\n");
  platform_.env["KWT_OPT"] = path;
  EXPECT_EQ(fill("KWT_MODE=3"), kErrOptionsLine);
  EXPECT_EQ(text(kSite), "1234567");
  EXPECT_FALSE(present(kRang));
  // The last line needs no line end.
  writeFile("opts.txt", "KWT_SITE=1234567\nKWT_RANG=01");
  EXPECT_EQ(fill("KWT_MODE=3"), 0);
  EXPECT_EQ(text(kRang), "01");
  writeFile("opts.txt", "KWT_SITE=1234567\nword");
  EXPECT_EQ(fill("KWT_MODE=3"), kErrOptionsLine);
}

TEST_F(SourcesTest, OptionsFileLongLines) {
  // Comments and blank lines are skipped whatever their length.
  std::string longComment = "#" + std::string(10000, 'c') + "\n";
  std::string longBlank = std::string(5000, ' ') + "\n";
  std::string exact = "KWT_CMD=" + std::string(3071 - 8, 'x') + "\r\n";  // 3071 bytes before CR LF
  writeFile("opts.txt", longComment + longBlank + exact + "KWT_SITE=1234567\n");
  platform_.env["KWT_OPT"] = dir_ + "/opts.txt";
  EXPECT_EQ(fill("KWT_MODE=3"), 0);
  EXPECT_EQ(text(kCmd).size(), 3071u - 8);
  EXPECT_EQ(text(kSite), "1234567");
  // One byte more: the line fails whole, nothing is cut short.
  std::string tooLong = "KWT_CMD=" + std::string(3072 - 8, 'x') + "\n";
  writeFile("opts.txt", "KWT_SITE=1234567\n" + tooLong + "KWT_RANG=01\n");
  EXPECT_EQ(fill("KWT_MODE=3"), kErrOptionsLine);
  EXPECT_EQ(text(kSite), "1234567");
  EXPECT_FALSE(present(kCmd));
  EXPECT_FALSE(present(kRang));
}

TEST_F(SourcesTest, OptionsFilePathChoice) {
  writeFile("kwtinfos.txt", "KWT_SITE=fromdefault\n");
  std::string named = writeFile("named.txt", "KWT_SITE=fromnamed\nKWT_OPT=" + dir_ + "/third.txt\n");
  writeFile("third.txt", "KWT_RANG=33\n");
  // The default path is relative to the working directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_EQ(fill("KWT_MODE=3", {"KWT_OPT=" + named}), 0);
  EXPECT_EQ(text(kSite), "fromdefault") << "the command line gives the path only through '4'";
  EXPECT_EQ(fill("KWT_MODE=43", {"KWT_OPT=" + named}), 0);
  EXPECT_EQ(text(kSite), "fromnamed");
  EXPECT_EQ(fill("KWT_MODE=3&KWT_OPT=" + named), 0);
  EXPECT_EQ(text(kSite), "fromnamed") << "the form's KWT_OPT";
  // The first pass sets KWT_OPT, the second reads the file it names.
  EXPECT_EQ(fill("KWT_MODE=33&KWT_OPT=" + named), 0);
  EXPECT_EQ(text(kRang), "33") << "the first pass stored KWT_OPT from the named file";
  EXPECT_EQ(fill("", {"KWT_MODE=33"}), 0);
  EXPECT_EQ(text(kSite), "fromdefault");
  writeFile("kwtinfos.txt", "KWT_OPT=" + dir_ + "/third.txt\n");
  EXPECT_EQ(fill("", {"KWT_MODE=33"}), 0);
  EXPECT_EQ(text(kRang), "33");
  ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(SourcesTest, OptionsFileFailures) {
  platform_.env["KWT_OPT"] = dir_ + "/missing.txt";
  EXPECT_EQ(fill("KWT_MODE=31&KWT_SITE=1234567"), kErrOptionsOpen);
  EXPECT_FALSE(present(kSite)) << "the form after a failed source is never applied";
  platform_.env["KWT_OPT"] = "";
  EXPECT_EQ(fill("KWT_MODE=23"), kErrOptionsOpen) << "an empty path names no file";
  // A file that never ends (a device named by a hostile KWT_OPT) is refused
  // once it passes 64 MiB instead of being read for ever.
  platform_.env["KWT_OPT"] = "/dev/zero";
  EXPECT_EQ(fill("KWT_MODE=3"), kErrOptionsLine);
}

TEST(Trim, BlanksTabsAndLineEnds) {
  EXPECT_EQ(trimText(" \t a b \t\r\n"), "a b");
  EXPECT_EQ(trimText("\r\na"), "\r\na") << "leading CR and LF stay";
  EXPECT_EQ(trimText(" \t "), "");
  EXPECT_EQ(trimText(""), "");
}

TEST(Defaults, FillEmptyEntriesAndVersionTag) {
  ParamTable t;
  t.set(kTimeout, "3");
  t.set(kVersion, "forged");
  t.set(kPort, "");
  applyDefaults(t);
  EXPECT_EQ(t.text(kSource), "HTML");
  EXPECT_EQ(t.text(kKorven), kDefaultKorven);
  EXPECT_EQ(t.text(kBackup3), kDefaultBackup3);
  EXPECT_FALSE(t.present(kBackup4));
  EXPECT_EQ(t.text(kTimeout), "3");
  EXPECT_EQ(t.text(kTimeout1), "10");
  EXPECT_EQ(t.text(kTimeout4), "20");
  EXPECT_EQ(t.text(kPort), "443");
  EXPECT_EQ(t.text(kVersion), "221-OS INCONNU");
}

}  // namespace
}  // namespace revozi

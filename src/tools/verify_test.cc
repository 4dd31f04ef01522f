// kwtdata verify, run as a shop runs it: every way a return can fail and the
// one line that says why, then what a valid one prints.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/run_module.h"
#include "tools/signing.h"

namespace revozi::signing {
namespace {

using revozi::testing::ModuleRequest;
using revozi::testing::ModuleResult;
using revozi::testing::runProgram;

struct Keys {
  Seed seed = newSeed();
  std::string publicFile;
};

class Verify : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(start());
    ASSERT_NE(mkdtemp(dir_), nullptr);
    for (Keys* k : {&a_, &b_}) {
      k->publicFile = std::string(dir_) + (k == &a_ ? "/a.pub" : "/b.pub");
      const PublicKey p = publicKeyOf(k->seed);
      std::ofstream(k->publicFile) << keyFileText(p.data(), p.size());
    }
  }
  void TearDown() override {
    for (Keys* k : {&a_, &b_}) unlink(k->publicFile.c_str());
    rmdir(dir_);
  }
  // `prefix` signed by `keys` in its last variable `name`.
  static std::string signedQuery(const std::string& prefix, const Keys& keys, const std::string& name = "Sig") {
    return prefix + (prefix.empty() ? "" : "&") + name + "=" + Signer(keys.seed).sign(prefix);
  }
  char dir_[32] = "/tmp/verify-test.XXXXXX";
  Keys a_, b_;
};

ModuleResult kwtdata(std::vector<std::string> args, std::string input = "") {
  ModuleRequest r;
  r.args = std::move(args);
  r.args.insert(r.args.begin(), "verify");
  r.input = std::move(input);
  r.timeoutSeconds = 20;
  return runProgram(KWTDATA_PATH, r);
}

TEST_F(Verify, RefusalsSayWhy) {
  const std::string good = "step=paid&M=1500&R=A%20B&E=00000";
  const std::string sig = signedQuery(good, a_);
  std::string altered = sig;
  altered[sig.find("1500")] = '2';
  std::string badLetter = sig;
  badLetter.back() = '+';
  const std::string value = sig.substr(sig.find("&Sig=") + 5);
  const std::string noMatch = "the signature does not match: the query was altered, or signed by another key";
  const std::string notLast = "the signature Sig is not the last variable";
  const std::string notBase64 = "the signature is not base64url of 64 bytes";
  struct Case {
    std::string what;
    std::string query;
    std::string reason;
  };
  const Case cases[] = {
      {"unsigned", good, "no signature: the query has no variable Sig"},
      {"empty", "", "no signature: the query has no variable Sig"},
      {"another name", signedQuery(good, a_, "sig"), "no signature: the query has no variable Sig"},
      {"moved to the front", "Sig=" + value + "&" + good, notLast},
      {"a variable after it", sig + "&x=1", notLast},
      {"an empty variable after it", sig + "&", notLast},
      {"given twice", signedQuery(sig, a_), notLast},
      {"cut short", sig.substr(0, sig.size() - 1), notBase64},
      {"padded", sig + "==", notBase64},
      {"another alphabet", badLetter, notBase64},
      {"%-encoded", sig.substr(0, sig.size() - 1) + "%41", notBase64},
      {"no '='", good + "&Sig", notBase64},
      {"one byte changed", altered, noMatch},
      {"'+' for %20", "step=paid&M=1500&R=A+B&E=00000&Sig=" + value, noMatch},
      {"re-ordered", "M=1500&step=paid&R=A%20B&E=00000&Sig=" + value, noMatch},
      {"decoded", "step=paid&M=1500&R=A B&E=00000&Sig=" + value, noMatch},
      {"another order's signature", "step=paid&M=1500&R=A%20C&E=00000&Sig=" + value, noMatch},
      {"a leading '?'", "?" + sig, noMatch},
      {"another key", signedQuery(good, b_), noMatch},
  };
  for (const Case& c : cases) {
    const ModuleResult r = kwtdata({"--key", a_.publicFile, c.query});
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_EQ(r.err, "kwtdata: " + c.reason + "\n") << c.what;
  }
}

TEST_F(Verify, ValidPrintsTheVariablesAsAShopReadsThem) {
  struct Case {
    std::string what;
    std::vector<std::string> args;
    std::string input;
    std::string out;
  };
  const std::string query = "step=paid&M=1500&R=R%C3%A9f+%3C1%3E%26%25%0A%7F&x&&E=00000";
  const std::string out = "step=paid\nM=1500\nR=R\xC3\xA9" "f <1>&%25%0A%7F\nx=\nE=00000\n";
  const Case cases[] = {
      {"argument", {"--key", a_.publicFile, signedQuery(query, a_)}, "", out},
      {"standard input, LF", {"--key", a_.publicFile}, signedQuery(query, a_) + "\n", out},
      {"standard input, CR LF", {"--key", a_.publicFile}, signedQuery(query, a_) + "\r\n", out},
      {"the second key", {"--key", a_.publicFile, "--key", b_.publicFile, signedQuery(query, b_)}, "", out},
      {"another name", {"--name", "Signature", "--key", b_.publicFile, signedQuery(query, b_, "Signature")}, "", out},
      {"nothing before the signature", {"--key", a_.publicFile, signedQuery("", a_)}, "", ""},
  };
  for (const Case& c : cases) {
    const ModuleResult r = kwtdata(c.args, c.input);
    EXPECT_EQ(r.status, 0) << c.what << r.err;
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, "") << c.what;
  }
  // Usage errors: exit status 2.
  const std::vector<std::vector<std::string>> usage = {
      {"x"},
      {"--key"},
      {"--key", std::string(dir_) + "/none", "x"},
      {"--key", a_.publicFile, "--key", a_.publicFile, "--key", a_.publicFile, "x"},
      {"--key", a_.publicFile, "--name", "", "x"},
      {"--key", a_.publicFile, "x", "y"},
      {"--key", a_.publicFile, "--frob", "x"},
  };
  for (const auto& args : usage) {
    const ModuleResult r = kwtdata(args);
    EXPECT_EQ(r.status, 2) << args.size();
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace revozi::signing

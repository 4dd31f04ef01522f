// kwtdata verify, run as a shop runs it: the verdict of every signature test
// vector, then what a valid return prints and how it is read.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/run_module.h"
#include "signing/signing.h"
#include "signing/signing_vectors.h"

namespace revozi::signing {
namespace {

using revozi::testing::ModuleRequest;
using revozi::testing::ModuleResult;
using revozi::testing::runProgram;

std::string shippedVectors() {
  std::ifstream in(VECTORS_PATH);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class Verify : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(start());
    ASSERT_NE(mkdtemp(dir_), nullptr);
    const auto vectors = readVectors(shippedVectors());
    ASSERT_TRUE(vectors.has_value());
    vectors_ = *vectors;
    keyFile_ = std::string(dir_) + "/vectors.pub";
    std::ofstream(keyFile_) << keyFileText(vectors_.key.data(), vectors_.key.size());
  }
  void TearDown() override {
    unlink(keyFile_.c_str());
    rmdir(dir_);
  }
  ModuleResult kwtdata(std::vector<std::string> args, std::string input = "",
                       std::map<std::string, std::string> env = {}) const {
    ModuleRequest r;
    r.args = std::move(args);
    r.args.insert(r.args.begin(), "verify");
    r.input = std::move(input);
    r.env = std::move(env);
    r.timeoutSeconds = 20;
    return runProgram(KWTDATA_PATH, r);
  }
  char dir_[32] = "/tmp/verify-test.XXXXXX";
  Vectors vectors_;
  std::string keyFile_;
};

TEST_F(Verify, EveryVectorGetsItsVerdict) {
  // The shipped file is what the signer writes today.
  EXPECT_EQ(shippedVectors(), vectorsText());
  EXPECT_GE(vectors_.cases.size(), 20u);
  for (const VectorCase& c : vectors_.cases) {
    const Verified v = verifyReturn(c.query, parseReturnList(vectors_.retour), {vectors_.key});
    EXPECT_EQ(v.ok, c.valid) << c.name;
    EXPECT_EQ(failureToken(v.failure), c.reason) << c.name;
    const ModuleResult r = kwtdata({"--key", keyFile_, "--retour", vectors_.retour, c.query});
    EXPECT_EQ(r.status, c.valid ? 0 : 1) << c.name;
    EXPECT_EQ(r.err.empty(), c.valid) << c.name << r.err;
    EXPECT_EQ(r.out.empty(), !c.valid) << c.name;
    if (!c.valid) {
      EXPECT_EQ(r.err, "kwtdata: " + v.reason + "\n") << c.name;
    }
  }
}

TEST_F(Verify, ValidPrintsTheVariablesAsAShopReadsThem) {
  const auto byName = [&](const std::string& name) {
    for (const VectorCase& c : vectors_.cases) {
      if (c.name == name) return c.query;
    }
    return std::string();
  };
  const std::string accept = byName("accept");
  const std::string rewritten = byName("return URL rewritten by a web server");
  const std::string retour = vectors_.retour;
  const std::string signedOut = "Mt=1500\nRef=VEC0001\nAuto=123456\nErreur=00000\nTrans=48150240\n";
  const std::string out = "url:order=VEC0001\nurl:step=paid\n" + signedOut;
  // What a web server that rewrites the query passes beside the raw target.
  const std::string normalised = "order=VEC0001&step=paid&x=%C3%A9&y=~&z=~" + rewritten.substr(rewritten.find("&Mt="));
  struct Case {
    std::string what;
    std::vector<std::string> args;
    std::string input;
    std::map<std::string, std::string> env;
    std::string out;
  };
  const Case cases[] = {
      {"argument", {accept}, "", {}, out},
      {"standard input, CR LF", {}, accept + "\r\n", {}, out},
      {"the second key", {"--key", keyFile_, accept}, "", {}, out},
      {"no URL query", {byName("no query of the return URL")}, "", {}, signedOut},
      {"'=' and '&' escaped", {byName("awkward reference")}, "", {},
       "url:order=VEC0001\nurl:step=paid\nMt=1500\nRef=R\xC3\xA9" "f <1>%262\nAuto=123456\nErreur=00000\nTrans=48150240\n"},
      {"escaped in URL names too", {"a%3Db=c&" + accept}, "", {}, "url:a%3Db=c\n" + out},
      {"--cgi: the raw target, not the rewritten query",
       {"--cgi"}, "", {{"REQUEST_URI", "/cgi-bin/shop.cgi?" + rewritten + "#top"}, {"QUERY_STRING", normalised}},
       "source: REQUEST_URI\nurl:order=VEC0001\nurl:step=paid\nurl:x=\xC3\xA9\nurl:y=~\nurl:z=~\n" + signedOut},
      {"--cgi: QUERY_STRING without REQUEST_URI", {"--cgi"}, "", {{"QUERY_STRING", accept}},
       "source: QUERY_STRING\n" + out},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--key", keyFile_, "--retour", retour};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ModuleResult r = kwtdata(args, c.input, c.env);
    EXPECT_EQ(r.status, 0) << c.what << r.err;
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, "") << c.what;
  }
  const ModuleResult none = kwtdata({"--key", keyFile_, "--retour", retour, "--cgi"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "kwtdata: --cgi: neither REQUEST_URI nor QUERY_STRING is set\n");
  // Usage errors: exit status 2.
  const std::vector<std::vector<std::string>> usage = {
      {"--retour", retour, "x"},
      {"--key", keyFile_, "x"},
      {"--key", keyFile_, "--retour", "Mt:M;Ref:R", "x"},
      {"--key", keyFile_, "--retour", "Mt:M;Ref:Q;Sig:S", "x"},
      {"--key", keyFile_, "--retour", "Sig:S;Mt:M", "x"},
      {"--key", keyFile_, "--retour", retour, "--name", "Sig", "x"},
      {"--key", keyFile_, "--retour", retour, "--cgi", "x"},
      {"--key", std::string(dir_) + "/none", "--retour", retour, "x"},
      {"--key", keyFile_, "--key", keyFile_, "--key", keyFile_, "--retour", retour, "x"},
      {"--key", keyFile_, "--retour", retour, "x", "y"},
      {"--key", keyFile_, "--retour"},
  };
  for (const auto& args : usage) {
    const ModuleResult r = kwtdata(args);
    EXPECT_EQ(r.status, 2) << args.size() << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace revozi::signing

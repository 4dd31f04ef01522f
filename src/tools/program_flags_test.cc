// --help and --version of the four programs: answered only from a shell (no
// REQUEST_METHOD) and only as the first argument; under a web server the
// module treats them as any other argument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/run_module.h"

namespace revozi::testing {
namespace {

struct Program {
  std::string path;
  std::string name;
};

const std::vector<Program> kPrograms = {
    {REVOZI_CGI_PATH, "revozi.cgi"}, {KWTDATA_PATH, "kwtdata"}, {SETKEY_PATH, "revozi-setkey"},
    {KORVEN_SANDBOX_PATH, "korven-sandbox.cgi"}};

ModuleResult runWith(const std::string& program, std::vector<std::string> args,
                     std::map<std::string, std::string> env = {}) {
  ModuleRequest r;
  r.args = std::move(args);
  r.env = std::move(env);
  r.timeoutSeconds = 20;
  return runProgram(program, r);
}

TEST(ProgramFlags, HelpAndVersionFromAShell) {
  for (const Program& p : kPrograms) {
    ModuleResult help = runWith(p.path, {"--help"});
    EXPECT_EQ(help.status, 0) << p.name;
    EXPECT_NE(help.out.find("sage: " + p.name + " "), std::string::npos) << p.name << help.out;
    EXPECT_EQ(help.err, "") << p.name;

    ModuleResult version = runWith(p.path, {"--version"});
    EXPECT_EQ(version.status, 0) << p.name;
    EXPECT_EQ(version.out, p.name + " " + REVOZI_PACKAGE_VERSION +
                               "\nREVOZI.CGI v401: KWT_VERSION \"221-OS INCONNU\", error pages "
                               "\"Version 221 - Sources 4.10\"\n")
        << p.name;
    EXPECT_EQ(version.err, "") << p.name;
  }
}

TEST(ProgramFlags, UnderAWebServerTheFlagsAreOrdinaryArguments) {
  // An order without its required fields: the module answers -7 whatever the
  // arguments, exactly as it does without them.
  const std::map<std::string, std::string> cgi = {{"REQUEST_METHOD", "GET"},
                                                  {"QUERY_STRING", "KWT_SITE=1234567"}};
  const ModuleResult plain = runWith(REVOZI_CGI_PATH, {}, cgi);
  ASSERT_EQ(plain.status, 1);
  ASSERT_NE(plain.out.find("(code -7)"), std::string::npos) << plain.out;
  for (const char* flag : {"--help", "--version", "-h"}) {
    const ModuleResult r = runWith(REVOZI_CGI_PATH, {flag}, cgi);
    EXPECT_EQ(r.status, plain.status) << flag;
    EXPECT_EQ(r.out, plain.out) << flag;
  }
  // From a shell, -h is not a flag of the module, nor is --help after
  // another argument.
  const ModuleResult shell = runWith(REVOZI_CGI_PATH, {});
  for (std::vector<std::string> args : {std::vector<std::string>{"-h"}, {"KWT_SITE=1", "--help"}}) {
    const ModuleResult r = runWith(REVOZI_CGI_PATH, args);
    EXPECT_EQ(r.status, shell.status) << args[0];
    EXPECT_EQ(r.out, shell.out) << args[0];
  }

  // The tools, started by a web server, print neither.
  const std::map<std::string, std::string> get = {{"REQUEST_METHOD", "GET"}};
  for (const char* flag : {"--help", "--version"}) {
    const ModuleResult k = runWith(KWTDATA_PATH, {flag}, get);
    EXPECT_EQ(k.status, 2) << flag;
    EXPECT_EQ(k.out, "") << flag;
    EXPECT_NE(k.err.find("unknown command"), std::string::npos) << k.err;
    const ModuleResult s = runWith(SETKEY_PATH, {flag}, get);
    EXPECT_EQ(s.status, 2) << flag;
    EXPECT_EQ(s.out, "") << flag;
    // The sandbox answers the request (here: it has no key).
    const ModuleResult sandbox =
        runWith(KORVEN_SANDBOX_PATH, {flag}, {{"REQUEST_METHOD", "GET"}, {"KORVEN_SANDBOX_KEY", "/nonexistent/key"}});
    EXPECT_EQ(sandbox.status, 1) << flag;
    EXPECT_EQ(sandbox.out.rfind("Status: 500 Internal Server Error\n", 0), 0u) << flag << sandbox.out;
  }
  // Only the first argument counts.
  const ModuleResult late = runWith(KWTDATA_PATH, {"decode", "--version"});
  EXPECT_EQ(late.status, 1);
  EXPECT_EQ(late.out, "");
}

}  // namespace
}  // namespace revozi::testing

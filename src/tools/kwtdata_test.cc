// Runs the kwtdata program as a user would: arguments, standard input,
// standard output and error, exit status.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "datablock/encode.h"
#include "params/param_table.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs kwtdata with `args`, feeding `input` on standard input; gives up (and
// kills the child) after ten seconds.
Outcome run(const std::vector<std::string>& args, const std::string& input = "") {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    std::vector<char*> argv;
    std::string program = KWTDATA_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  Outcome outcome;
  std::size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool outOpen = true, errOpen = true;
  signal(SIGPIPE, SIG_IGN);
  while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (!outOpen) fds[0].fd = -1;
    if (!errOpen) fds[1].fd = -1;
    if (poll(fds, 3, 100) < 0 && errno != EINTR) break;
    char buffer[4096];
    for (int k = 0; k < 2; ++k) {
      if (fds[k].revents == 0) continue;
      const ssize_t got = read(fds[k].fd, buffer, sizeof buffer);
      if (got <= 0) {
        (k == 0 ? outOpen : errOpen) = false;
      } else {
        (k == 0 ? outcome.out : outcome.err).append(buffer, static_cast<std::size_t>(got));
      }
    }
    if (inFd >= 0 && fds[2].revents != 0) {
      const ssize_t put = write(inFd, input.data() + written, input.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      if (put <= 0 || written == input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  close(out[0]);
  close(err[0]);
  if (outOpen || errOpen) kill(pid, SIGKILL);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return outcome;
}

const std::vector<std::string> kExampleArgs = {
    "encode",         "KWT_SITE=1234567", "KWT_RANG=01",      "KWT_TOTAL=1500",
    "KWT_DEVISE=978", "KWT_CMD=ORDER42",  "VEL_PORTEUR=abc@def.fr", "KWT_RETOUR=M:M",
    "KWT_IDENTIFIANT=7"};
const std::string kExampleBlock =
    "v401RFEQR7BH6PBIFORCGORDHORE9ONFHORGDOSJYPBJ7OPIXOIAPP8DOQKFOPIGOPJDOQ8FOOCDOOD2OBKEOOEFOO8GP"
    "O5HOO8IPOW8WOBLBMOOCCOOIXOBNXO3CBGOOBHAO9CER9DBH";
const std::string kExampleFields =
    "KWT_TOTAL=1500\nKWT_DEVISE=978\nKWT_SITE=1234567\nKWT_RANG=01\nKWT_PORTEUR=abc@def.fr\n"
    "KWT_CMD=ORDER42\nKWT_REPONDRE_A=\nKWT_RETOUR=M:M\nKWT_PAIEMENT=\nKWT_CODEFAMILLE=\n"
    "KWT_IDENTIFIANT=7\nKWT_2MONT1=\nKWT_DATE1=\nKWT_2MONT2=\nKWT_DATE2=\nKWT_2MONT3=\n"
    "KWT_DATE3=\nKWT_DIFF=\n";

TEST(Kwtdata, EncodePrintsTheBlockOnOneLine) {
  const Outcome o = run(kExampleArgs);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, kExampleBlock + "\n");
  EXPECT_EQ(o.err, "");
}

TEST(Kwtdata, EncodeMatchesTheLibraryAndIgnoresOtherParameters) {
  std::vector<std::string> args = kExampleArgs;
  args.push_back("KWT_LANGUE=FRA");
  args.push_back("KWT_DIFF=a=b");  // the value runs to the end, '=' included
  revozi::ParamTable t;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const auto eq = args[i].find('=');
    t.set(revozi::ParamTable::findByName(args[i].substr(0, eq)), args[i].substr(eq + 1));
  }
  const Outcome o = run(args);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, revozi::encodeDataBlock(t) + "\n");
  EXPECT_NE(o.out, kExampleBlock + "\n");
}

TEST(Kwtdata, DecodeFromArgumentAndStandardInput) {
  Outcome o = run({"decode", kExampleBlock});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, kExampleFields);
  for (const char* end : {"", "\n", "\r\n"}) {
    o = run({"decode"}, kExampleBlock + end);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, kExampleFields);
  }
}

// Values come out one line each, with '%', control bytes and 0x7F as %XX;
// a block whose fields the module's validation refuses is named on standard
// error and exits with 2, though its check values hold.
TEST(Kwtdata, DecodeEscapesValuesAndNamesBlocksTheModuleCannotWrite) {
  const std::string kNotFromModule = "kwtdata: this block could not have been written by the module: ";
  struct Case {
    const char* field;      // changed in the example order
    std::string value;
    std::string line;       // the field's line as decode prints it
    std::string refusal;    // "" when the module could have written the block
  };
  const Case cases[] = {
      {"KWT_CMD", "a\nKWT_TOTAL=99999", "KWT_CMD=a%0AKWT_TOTAL=99999", ""},
      {"KWT_CMD", "100% \r\x01\x1F\x7F\x80\xE9~", "KWT_CMD=100%25 %0D%01%1F%7F\x80\xE9~", ""},
      {"KWT_TOTAL", "1", "KWT_TOTAL=1", "KWT_TOTAL fails with -11"},
      {"KWT_TOTAL", "12345678901", "KWT_TOTAL=2345678901", ""},
      {"KWT_PORTEUR", "abc.def.fr", "KWT_PORTEUR=abc.def.fr", "KWT_PORTEUR fails with -16"},
      {"KWT_PORTEUR", "a=b@c.fr", "KWT_PORTEUR=a=b@c.fr", "KWT_PORTEUR fails with -16"},
      {"KWT_IDENTIFIANT", "x", "KWT_IDENTIFIANT=x", "KWT_IDENTIFIANT fails with -8"},
      {"KWT_IDENTIFIANT", "", "KWT_IDENTIFIANT=", "KWT_IDENTIFIANT fails with -7"},
      {"KWT_SITE", "12345x7", "KWT_SITE=12345x7", "KWT_SITE fails with -8"},
      {"KWT_CMD", std::string(2049, 'c'), "KWT_CMD=" + std::string(2049, 'c'), "KWT_CMD fails with -13"},
      {"KWT_REPONDRE_A", "http://shop.example/\t", "KWT_REPONDRE_A=http://shop.example/%09",
       "KWT_REPONDRE_A fails with -4"},
      {"KWT_PAIEMENT", std::string(10000, 'p'), "KWT_PAIEMENT=" + std::string(10000, 'p'),
       "KWT_PAIEMENT fails with -14"},
  };
  for (const Case& c : cases) {
    revozi::ParamTable t;
    for (std::size_t i = 1; i < kExampleArgs.size(); ++i) {
      const auto eq = kExampleArgs[i].find('=');
      t.set(revozi::ParamTable::findByName(kExampleArgs[i].substr(0, eq)), kExampleArgs[i].substr(eq + 1));
    }
    t.set(revozi::ParamTable::findByName(c.field), c.value);
    const Outcome o = run({"decode", revozi::encodeDataBlock(t)});
    EXPECT_EQ(o.status, c.refusal.empty() ? 0 : 2) << c.line;
    EXPECT_EQ(o.err, c.refusal.empty() ? "" : kNotFromModule + c.refusal + "\n") << c.line;
    const std::string name = std::string(c.field) + "=";
    std::string expected;
    for (std::size_t at = 0; at < kExampleFields.size();) {
      const std::size_t end = kExampleFields.find('\n', at) + 1;
      const std::string line = kExampleFields.substr(at, end - at);
      expected += line.rfind(name, 0) == 0 ? c.line + "\n" : line;
      at = end;
    }
    EXPECT_EQ(o.out, expected) << c.line;
  }
}

TEST(Kwtdata, EncodeThenDecode) {
  const Outcome encoded = run({"encode", "KWT_SITE=7654321", "KWT_RANG=99", "KWT_TOTAL=0042",
                               "KWT_DEVISE=E=R", "KWT_PORTEUR=jean@exemple.fr",
                               "KWT_CMD=cmd \xE9t\xE9", "KWT_RETOUR=ref:R", "KWT_IDENTIFIANT=12",
                               "KWT_DATE2=01/02/2030"});
  ASSERT_EQ(encoded.status, 0) << encoded.err;
  const Outcome decoded = run({"decode"}, encoded.out);
  EXPECT_EQ(decoded.status, 0) << decoded.err;
  EXPECT_NE(decoded.out.find("KWT_TOTAL=0042\n"), std::string::npos) << decoded.out;
  EXPECT_NE(decoded.out.find("KWT_DEVISE=E=R\n"), std::string::npos);
  EXPECT_NE(decoded.out.find("KWT_CMD=cmd \xE9t\xE9\n"), std::string::npos);
  EXPECT_NE(decoded.out.find("KWT_DATE2=01/02/2030\n"), std::string::npos);
}

TEST(Kwtdata, EncodeRefusesAFieldTooLongForItsLengthPrefix) {
  for (const char* name : {"KWT_PAIEMENT=", "KWT_CMD=", "KWT_DIFF="}) {
    for (std::size_t length : {9999u, 10000u}) {
      std::vector<std::string> args = kExampleArgs;
      args.push_back(name + std::string(length, 'x'));
      const Outcome o = run(args);
      EXPECT_EQ(o.status, length > 9999 ? 1 : 0) << name << length;
      EXPECT_EQ(o.out.empty(), length > 9999) << name << length;
    }
  }
}

TEST(Kwtdata, InvalidBlockExitsOneWithReason) {
  std::string changed = kExampleBlock;
  changed[30] = changed[30] == 'A' ? 'B' : 'A';
  for (const std::string& block : {std::string("hello"), changed, std::string("v401x")}) {
    const Outcome o = run({"decode", block});
    EXPECT_EQ(o.status, 1) << block;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind("kwtdata: ", 0), 0u) << o.err;
  }
  const Outcome empty = run({"decode"}, "");
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err.rfind("kwtdata: ", 0), 0u) << empty.err;
}

TEST(Kwtdata, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {}, {"frobnicate"}, {"encode", "KWT_SITE"}, {"encode", "KWT_NOSUCH=1"},
      {"encode", "kwt_site=1"}, {"decode", "a", "b"}};
  for (const auto& args : bad) {
    const Outcome o = run(args);
    EXPECT_EQ(o.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind("kwtdata: ", 0), 0u) << o.err;
  }
}

TEST(Kwtdata, HelpExplainsBothCommands) {
  const Outcome o = run({"--help"});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("kwtdata encode NAME=value"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("kwtdata decode [BLOCK]"), std::string::npos);
  EXPECT_NE(o.out.find("KWT_DIFF"), std::string::npos);
}

}  // namespace

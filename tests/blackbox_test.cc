// The built module run as a web server or a shell runs it: explicit
// environment, standard input, arguments and working directory; the whole
// output is compared byte for byte, with the exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/loopback_listener.h"
#include "tests/run_module.h"

namespace revozi::testing {
namespace {

const std::string kModule = REVOZI_CGI_PATH;

const std::string kHead =
    "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
    "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n";
const std::string kVersion = "<CENTER><B>Version 221 - Sources 4.10</B></CENTER>\n";
const std::string kWmlHead =
    "Content-type: text/vnd.wap.wml\n\n<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" \"http://www.wapforum.org/DTD/wml_1.1.xml\">\n"
    "<wml>\n<template>\n<do type=\"prev\" label=\"Retour\"><prev/></do>\n</template>\n"
    "<card id=\"card1\" title=\"Korven Services\">\n";
const std::string kRedirectHead =
    "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n<HEAD>\n";

// Every server slot points at a name that cannot resolve.
const std::string kNoServers =
    "KWT_KORVEN=https://primary.invalid/pay&KWT_BACKUP1=https://b1.invalid/pay"
    "&KWT_BACKUP2=https://b2.invalid/pay&KWT_BACKUP3=https://b3.invalid/pay";
const std::string kOrder =
    "KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=ORDER42"
    "&KWT_PORTEUR=shopper%40example.fr&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7";
const std::vector<std::string> kNoServerArgs = {"KWT_KORVEN=primary.invalid", "KWT_BACKUP1=b1.invalid",
                                                "KWT_BACKUP2=b2.invalid", "KWT_BACKUP3=b3.invalid"};

std::string diagnostic() { return "<br><CENTER><B>\n" + hostUname() + "</B></CENTER>\n"; }

std::string htmlErrorPage(int code) {
  return kHead + "<BODY>\n<CENTER><P><B>KORVEN INPUT ERROR (code " + std::to_string(code) +
         ")</B></P></CENTER>\n" + kVersion + diagnostic() + "</BODY>\n</HTML>\n";
}

std::string noServerPage() {
  return kHead + "<BODY>\n<CENTER><B>AUCUN SERVEUR DISPONIBLE</B></P></CENTER>\n" + kVersion + diagnostic() +
         "</BODY>\n</HTML>\n";
}

ModuleResult get(const std::string& query, std::map<std::string, std::string> env = {}) {
  ModuleRequest r;
  r.env = std::move(env);
  r.env["REQUEST_METHOD"] = "GET";
  r.env["QUERY_STRING"] = query;
  r.env["GATEWAY_INTERFACE"] = "CGI/1.1";
  return runProgram(kModule, r);
}

ModuleResult post(const std::string& body, std::map<std::string, std::string> env = {}) {
  ModuleRequest r;
  r.env = std::move(env);
  r.env["REQUEST_METHOD"] = "POST";
  r.env["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
  if (!r.env.count("CONTENT_LENGTH")) r.env["CONTENT_LENGTH"] = std::to_string(body.size());
  r.input = body;
  return runProgram(kModule, r);
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/revozi-bb-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  std::string write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << content;
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

TEST(BlackBox, GetOrderWithoutServerGetsTheNoServerPage) {
  ModuleResult r = get(kOrder + "&" + kNoServers);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, noServerPage());
  EXPECT_EQ(r.err, "");
}

TEST(BlackBox, PostOrder) {
  ModuleResult r = post(kOrder + "&" + kNoServers);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, noServerPage());
  // Without CONTENT_LENGTH the request data are missing.
  ModuleRequest bare;
  bare.env = {{"REQUEST_METHOD", "POST"}};
  bare.input = kOrder;
  r = runProgram(kModule, bare);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, htmlErrorPage(-3));
  // A body shorter than announced is a request without fields.
  r = post(kOrder, {{"CONTENT_LENGTH", "100000"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, htmlErrorPage(-7));
}

TEST(BlackBox, GetWithoutQueryIgnoresEverySource) {
  ModuleRequest r;
  r.env = {{"REQUEST_METHOD", "GET"}, {"KWT_MODE", "24"}, {"KWT_SOURCE", "WAP"}};
  r.args = {"KWT_SOURCE=WAP"};
  ModuleResult m = runProgram(kModule, r);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, htmlErrorPage(-3));
}

TEST(BlackBox, EnvironmentSource) {
  ModuleRequest r;
  r.env = {{"KWT_MODE", "2"},         {"KWT_SITE", "1234567"},      {"VEL_RANG", "01"},
           {"KWT_TOTAL", "1500"},     {"KWT_DEVISE", "978"},        {"KWT_CMD", "A1"},
           {"KWT_PORTEUR", "a@b.fr"}, {"KWT_RETOUR", "M:M"},        {"KWT_IDENTIFIANT", "7"},
           {"KWT_KORVEN", "p.invalid"}, {"KWT_BACKUP1", "b1.invalid"}, {"KWT_BACKUP2", "b2.invalid"},
           {"KWT_BACKUP3", "b3.invalid"}};
  ModuleResult m = runProgram(kModule, r);
  EXPECT_EQ(m.status, 0);
  EXPECT_EQ(m.out, noServerPage());
  r.env["KWT_TOTAL"] = "15";
  m = runProgram(kModule, r);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, htmlErrorPage(-11));
}

TEST(BlackBox, OptionsFileSource) {
  TempDir dir;
  dir.write("kwtinfos.txt",
            "# merchant settings\n"
            "KWT_SITE = 1234567\r\n"
            "KWT_RANG=01\n"
            "KWT_DEVISE=978\n"
            "KWT_RETOUR=M:M\n"
            "KWT_KORVEN=https://p.invalid/x\nKWT_BACKUP1=b1.invalid\nKWT_BACKUP2=b2.invalid\n"
            "KWT_BACKUP3=b3.invalid\n");
  ModuleRequest r;
  r.cwd = dir.path();
  r.env = {{"REQUEST_METHOD", "GET"},
           {"QUERY_STRING", "KWT_MODE=31&KWT_TOTAL=1500&KWT_CMD=X&KWT_PORTEUR=a@b.fr&KWT_IDENTIFIANT=7"
                            "&KWT_KORVEN=http://127.0.0.1/forged"}};
  ModuleResult m = runProgram(kModule, r);
  EXPECT_EQ(m.status, 0);
  EXPECT_EQ(m.out, noServerPage()) << "the options file's servers win over the form's";
  // A line without '=' stops the file with -6; a missing file gives -5.
  dir.write("kwtinfos.txt", "KWT_SITE=1234567\nnot a setting\n");
  m = runProgram(kModule, r);
  EXPECT_EQ(m.out, htmlErrorPage(-6));
  EXPECT_EQ(m.status, 1);
  r.env["QUERY_STRING"] += "&KWT_OPT=missing.txt";
  m = runProgram(kModule, r);
  EXPECT_EQ(m.out, htmlErrorPage(-5));
}

TEST(BlackBox, CommandLineSource) {
  ModuleRequest r;
  r.args = {"KWT_MODE=4",       "KWT_SITE=1234567", "KWT_RANG=01",       "KWT_TOTAL=1500",
            "KWT_DEVISE=978",   "KWT_CMD=ORDER42",  "KWT_PORTEUR=a@b.fr", "KWT_RETOUR=M:M",
            "KWT_IDENTIFIANT=7"};
  r.args.insert(r.args.end(), kNoServerArgs.begin(), kNoServerArgs.end());
  ModuleResult m = runProgram(kModule, r);
  EXPECT_EQ(m.status, 0);
  EXPECT_EQ(m.out, noServerPage());
  r.args.push_back("KWT_SOURCE=WAP");
  m = runProgram(kModule, r);
  EXPECT_EQ(m.status, 0);
  EXPECT_EQ(m.out, kWmlHead + "<p align=\"center\"><b>AUCUN&nbsp;SERVEUR&nbsp;DISPONIBLE</b></p>\n"
                              "</card>\n</wml>\n");
}

TEST(BlackBox, EveryValidationCode) {
  const std::pair<std::string, int> cases[] = {
      {"KWT_RETOUR=" + std::string(151, 'r'), -4}, {"KWT_CMD=", -7},
      {"KWT_SITE=123456x", -8},                    {"KWT_SITE=123456", -9},
      {"KWT_RANG=1", -10},                         {"KWT_TOTAL=12", -11},
      {"KWT_DEVISE=EURO", -12},                    {"KWT_CMD=" + std::string(2049, 'c'), -13},
      {"KWT_PORTEUR=a%3Db@c.fr", -16},             {"KWT_CLE=secret", -17},
      {"KWT_BANQUE=1234", -19},
  };
  for (const auto& [change, code] : cases) {
    ModuleResult m = get(change + "&" + kOrder + "&" + kNoServers);
    EXPECT_EQ(m.status, 1) << change;
    EXPECT_EQ(m.out, htmlErrorPage(code)) << change;
  }
}

TEST(BlackBox, ErrorPagesInEachDialect) {
  ModuleResult m = get("KWT_SOURCE=IMODE&" + kNoServers);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, kHead + "<CENTER><P><B>KORVEN INPUT ERROR (code -7)</B></P></CENTER>\n" + kVersion +
                       diagnostic() + "</BODY>\n</HTML>\n");
  m = get("KWT_SOURCE=WAP&KWT_ERREUR=http://shop.example/e&" + kNoServers);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, kWmlHead +
                       "<p align=\"center\"><b>KORVEN&nbsp;INPUT&nbsp;ERROR&nbsp;(code -7)</b></p>\n"
                       "</card>\n</wml>\n");
}

TEST(BlackBox, Redirects) {
  ModuleResult m = get("KWT_ERREUR=http://shop.example/err.php%3Fa%3D1&KWT_BKGD=red&KWT_SITE=1&" + kNoServers);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, kRedirectHead +
                       "<META HTTP-EQUIV=\"refresh\" CONTENT=\"0;URL=http://shop.example/err.php?a=1?NUMERR=-9\">"
                       "\n</HEAD>\n<HTML>\n<BODY BGCOLOR='red'><CENTER>\n<!-- KORVEN REVOZI.CGI v401 -->\n"
                       "</CENTER>\n<A HREF='#TOP' ONCLICK=\"history.go(-2);\">Retour</A>\n</BODY>\n</HTML>\n");
  m = get("KWT_SOURCE=IMODE&KWT_ERREUR=/e&" + kNoServers);
  EXPECT_EQ(m.out, kRedirectHead +
                       "<META HTTP-EQUIV=\"refresh\" CONTENT=\"0;URL=/e?NUMERR=-7\">"
                       "\n</HEAD>\n<HTML>\n<BODY><CENTER>\n<!-- KORVEN REVOZI.CGI v401 -->\n"
                       "</CENTER></BODY>\n</HTML>\n");
  m = get("KWT_OUTPUT=C&KWT_ERREUR=/e&KWT_SITE=12&" + kOrder + "&" + kNoServers);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, "/e?NUMERR=-9");
}

TEST(BlackBox, HostileRedirectValuesAreEscaped) {
  ModuleResult m = get("KWT_ERREUR=%22%3E%3Cscript%3Ealert('x')%3C/script%3E%26$&KWT_BKGD=x.gif'%20onmouseover='a()&" +
                       kNoServers);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, kRedirectHead +
                       "<META HTTP-EQUIV=\"refresh\" CONTENT=\"0;URL=&quot;&gt;&lt;script&gt;alert(&#39;x&#39;)"
                       "&lt;/script&gt;&amp;$?NUMERR=-7\">"
                       "\n</HEAD>\n<HTML>\n<BODY BACKGROUND='x.gif&#39; onmouseover=&#39;a()'><CENTER>\n"
                       "<!-- KORVEN REVOZI.CGI v401 -->\n"
                       "</CENTER>\n<A HREF='#TOP' ONCLICK=\"history.go(-2);\">Retour</A>\n</BODY>\n</HTML>\n");
  // The bare URL of mode C is not markup: it comes back as given.
  m = get("KWT_OUTPUT=C&KWT_ERREUR=a%3Cb%3E'%22$&" + kNoServers);
  EXPECT_EQ(m.out, "a<b>'\"$?NUMERR=-7");
}

// The error redirect goes only to a web address (http:// or https://, in any
// case) or an address without a scheme; anything with a ':' before its first
// '/', '?' or '#' (a header line for output mode C, another scheme) gets the
// error page, in mode C and as the refresh page alike.
TEST(BlackBox, ErrorRedirectOnlyToWebOrRelativeAddresses) {
  const std::pair<std::string, bool> cases[] = {
      {"Refresh: 0;url=http://evil.example/", false},
      {"Set-Cookie: a=b", false},
      {"javascript:alert(1)", false},
      {"data:text/html,x", false},
      {"https:/evil.example/", false},
      {"e:/x?y", false},
      {"HTTP://ok.example/e", true},
      {"hTTpS://ok.example/e", true},
      {"/relative/e.html", true},
      {"e.html?x=a:b", true},
      {"e.html#a:b", true},
      {"//ok.example/e", true},
      {"", true},
  };
  for (const auto& [url, redirected] : cases) {
    // Given by the environment, where the empty value is a value.
    const std::map<std::string, std::string> env = {{"KWT_ERREUR", url}};
    ModuleResult m = get("KWT_MODE=12&KWT_OUTPUT=C&KWT_SITE=12&" + kOrder + "&" + kNoServers, env);
    EXPECT_EQ(m.status, 1) << url;
    EXPECT_EQ(m.out, redirected ? url + "?NUMERR=-9" : htmlErrorPage(-9)) << "mode C: " << url;
    m = get("KWT_MODE=12&KWT_SITE=12&" + kOrder + "&" + kNoServers, env);
    EXPECT_EQ(m.status, 1) << url;
    EXPECT_EQ(m.out, redirected ? kRedirectHead + "<META HTTP-EQUIV=\"refresh\" CONTENT=\"0;URL=" + url +
                                      "?NUMERR=-9\">\n</HEAD>\n<HTML>\n<BODY><CENTER>\n"
                                      "<!-- KORVEN REVOZI.CGI v401 -->\n</CENTER>\n"
                                      "<A HREF='#TOP' ONCLICK=\"history.go(-2);\">Retour</A>\n</BODY>\n</HTML>\n"
                                : htmlErrorPage(-9))
        << "refresh page: " << url;
  }
}

// A POST body announced larger than 1 MiB is refused with -15 before a byte
// of it is read; the length is the value of all its digits, never wrapped.
// Up to 1 MiB nothing changes.
TEST(BlackBox, PostBodiesOverOneMebibyteAreRefusedUnread) {
  const std::string order = kOrder + "&" + kNoServers + "&KWT_TXT=";
  const auto padded = [&](std::size_t size) { return order + std::string(size - order.size(), 't'); };
  const struct {
    std::string length;
    std::string body;
    int status;
    std::string out;
  } cases[] = {
      {"1048576", padded(1048576), 0, noServerPage()},
      {"1048576", kOrder, 1, htmlErrorPage(-7)},  // shorter than announced, as before
      {"1048577", padded(1048577), 1, htmlErrorPage(-15)},
      {"1048577", "", 1, htmlErrorPage(-15)},
      {"4294967326", padded(4096), 1, htmlErrorPage(-15)},
      {"18446744073709551646", padded(4096), 1, htmlErrorPage(-15)},
      {"99999999999999999999999999999999", padded(4096), 1, htmlErrorPage(-15)},
      {" +2000000 bytes", padded(2000000), 1, htmlErrorPage(-15)},
  };
  for (const auto& c : cases) {
    ModuleResult m = post(c.body, {{"CONTENT_LENGTH", c.length}});
    EXPECT_EQ(m.status, c.status) << c.length;
    EXPECT_EQ(m.out, c.out) << c.length;
  }
}

// Under a web server a body that the module does not decode (any method but
// POST) is read to its end, at most 1 MiB, before the same answer as
// without it; from a shell, or beyond 1 MiB, standard input is left alone.
TEST(BlackBox, UndecodedBodiesAreReadAndDropped) {
  const struct {
    const char* method;  // empty: a shell
    std::size_t size;
    bool taken;
  } rows[] = {{"PUT", 300000, true},     {"HEAD", 300000, true},   {"get", 1048576, true},
              {"GET", 300000, true},     {"PUT", 1048577, false},  {"", 300000, false}};
  for (const auto& row : rows) {
    ModuleRequest r;
    if (*row.method != '\0') r.env["REQUEST_METHOD"] = row.method;
    r.env["QUERY_STRING"] = "KWT_SITE=1234567";
    r.env["CONTENT_LENGTH"] = std::to_string(row.size);
    const ModuleResult without = runProgram(kModule, r);
    r.input.assign(row.size, 'b');
    const ModuleResult with = runProgram(kModule, r);
    EXPECT_EQ(with.inputTaken == row.size, row.taken) << row.method << " " << row.size << ": " << with.inputTaken;
    EXPECT_EQ(with.out, without.out) << row.method;
    EXPECT_EQ(with.status, without.status) << row.method;
  }
}

// Ping mode after a failed source still probes and reports, then names the
// failure on standard error and exits with 1, whatever the probe found.
TEST(BlackBox, PingAfterAFailedSourceFails) {
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  TempDir dir;
  dir.write("broken.txt", "KWT_KORVEN=http://127.0.0.1/file\nKWT_PORT=" + server.portText() +
                              "\nKWT_BACKUP1=b1.invalid\nnot a setting\n");
  const std::string port = "KWT_PORT=" + server.portText();
  const std::string backups = "KWT_BACKUP1=b1.invalid&KWT_BACKUP2=b2.invalid&KWT_BACKUP3=b3.invalid";
  const struct {
    std::vector<std::string> args;
    std::string query;  // a GET request when not empty
    int probes;
    std::string out;
    std::string err;
  } cases[] = {
      {{"KWT_MODE=43", "KWT_OPT=missing.txt", "KWT_PING=1", "KWT_KORVEN=http://127.0.0.1/pay", port,
        "KWT_BACKUP1=b1.invalid", "KWT_BACKUP2=b2.invalid", "KWT_BACKUP3=b3.invalid"},
       "", 1, "Serveur: http://127.0.0.1/pay\n", "KORVEN INPUT ERROR (code -5)\n"},
      // The lines before the broken one count: their server is probed.
      {{"KWT_MODE=43", "KWT_OPT=broken.txt", "KWT_PING=1", "KWT_BACKUP2=b2.invalid", "KWT_BACKUP3=b3.invalid"},
       "", 1, "Serveur: http://127.0.0.1/file\n", "KORVEN INPUT ERROR (code -6)\n"},
      {{}, "KWT_MODE=13&KWT_PING=1&KWT_OPT=missing.txt&KWT_KORVEN=http://127.0.0.1/pay&" + port + "&" + backups, 1,
       "Serveur: http://127.0.0.1/pay\n", "KORVEN INPUT ERROR (code -5)\n"},
      {{}, "KWT_MODE=13&KWT_PING=1&KWT_OPT=missing.txt&KWT_KORVEN=primary.invalid&" + backups, 0,
       "Aucun serveur disponible\n", "Aucun serveur disponible\nKORVEN INPUT ERROR (code -5)\n"},
  };
  for (const auto& c : cases) {
    ModuleRequest r;
    r.cwd = dir.path();
    r.args = c.args;
    if (!c.query.empty()) r.env = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", c.query}};
    ModuleResult m = runProgram(kModule, r);
    EXPECT_EQ(m.status, 1) << c.err;
    EXPECT_EQ(m.out, c.out) << c.err;
    EXPECT_EQ(m.err, c.err);
    EXPECT_EQ(server.drain(), c.probes) << c.out;
  }
}

TEST(BlackBox, PaymentPageForAReachableServer) {
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  ModuleResult m = get("KWT_KORVEN=http://127.0.0.1/cgi/pay.cgi&KWT_PORT=" + server.portText() +
                       "&KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=ORDER42"
                       "&KWT_PORTEUR=abc.def@x&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7&KWT_LANGUE=FRA&" +
                       kNoServers);
  EXPECT_EQ(m.status, 0);
  EXPECT_EQ(server.drain(), 1);
  const std::string prefix =
      kHead + "<BODY onload=\"document.KORVEN.submit();\"><CENTER>\n"
              "<b><br> connexion en cours <br> sur le serveur de paiement s&eacute;curis&eacute;... </b>"
              "<!-- KORVEN REVOZI.CGI v401 -->\n"
              "<Form name=KORVEN Action='http://127.0.0.1/cgi/pay.cgi' Method=POST>\n"
              "<INPUT TYPE=hidden NAME=KWT_DATA VALUE='v401";
  const std::string suffix =
      "'>\n<INPUT TYPE=hidden name=KWT_LANGUE value='FRA'>\n"
      "<INPUT TYPE=hidden name=KWT_SOURCE value='HTML'>\n"
      "<INPUT TYPE=hidden name=KWT_VERSION value='221-OS INCONNU'>\n"
      "<INPUT TYPE=SUBMIT VALUE='KORVEN'>\n</FORM>\n</CENTER></BODY>\n</HTML>\n";
  ASSERT_EQ(m.out.substr(0, prefix.size()), prefix) << m.out;
  ASSERT_GE(m.out.size(), prefix.size() + suffix.size());
  EXPECT_EQ(m.out.substr(m.out.size() - suffix.size()), suffix) << m.out;
  std::string block = m.out.substr(prefix.size(), m.out.size() - prefix.size() - suffix.size());
  EXPECT_EQ(block.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << block;
}

// The memory and the log change no byte of a response; without the lock a
// web server's request neither remembers nor logs (a form may choose the
// servers there).
TEST(BlackBox, MemoryAndLogLeaveTheResponsesAsTheyWere) {
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  const std::string refused = std::to_string(closedLoopbackPort());
  TempDir state;
  chmod(state.path().c_str(), 0700);
  const std::string servers = "KWT_KORVEN=http://127.0.0.1/p&KWT_BACKUP1=http://localhost/b1&" + kNoServers;
  for (const std::string& port : {server.portText(), refused}) {
    for (bool locked : {false, true}) {
      std::map<std::string, std::string> env = {{"KWT_MODE", locked ? "21" : "1"}, {"KWT_PORT", port}};
      if (locked) env["REVOZI_LOCK"] = "1";
      for (const auto& [k, v] : {std::pair{"KWT_KORVEN", "http://127.0.0.1/p"}, {"KWT_BACKUP1", "http://localhost/b1"},
                                 {"KWT_BACKUP2", "https://b2.invalid/"}, {"KWT_BACKUP3", "https://b3.invalid/"}}) {
        env[k] = v;
      }
      const ModuleResult off = get(kOrder + "&" + servers + "&KWT_PORT=" + port, env);
      env.insert({{"REVOZI_STATE_DIR", state.path()}, {"REVOZI_LOG", "1"}});
      const ModuleResult on = get(kOrder + "&" + servers + "&KWT_PORT=" + port, env);
      EXPECT_EQ(on.status, off.status);
      EXPECT_EQ(on.out, off.out) << port << locked;
      EXPECT_EQ(off.err, "");
      const bool logged = locked && port == refused;
      EXPECT_EQ(on.err.starts_with("revozi: slot primary http://127.0.0.1/p unreachable (connect "), logged) << on.err;
      struct stat info {};
      EXPECT_EQ(stat((state.path() + "/127.0.0.1:" + port).c_str(), &info) == 0, locked) << port;
    }
  }
}

TEST(BlackBox, PingFromAShell) {
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  ModuleRequest r;
  r.args = {"KWT_MODE=4", "KWT_PING=1", "KWT_KORVEN=http://localhost/pay", "KWT_PORT=" + server.portText()};
  r.args.insert(r.args.end(), kNoServerArgs.begin() + 1, kNoServerArgs.end());
  ModuleResult m = runProgram(kModule, r);
  EXPECT_EQ(m.status, 0);
  EXPECT_EQ(m.out, "Serveur: http://localhost/pay\n") << "a host name resolves in the static module";
  EXPECT_EQ(m.err, "");
  r.args[2] = "KWT_KORVEN=primary.invalid";
  m = runProgram(kModule, r);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, "Aucun serveur disponible\n");
  EXPECT_EQ(m.err, "Aucun serveur disponible\n");
}

// A request that tries to end a line, start a header or hide a script in a
// URL parameter gets the error page: never a redirect to it.
TEST(BlackBox, UrlParametersWithControlBytesAreRefused) {
  const std::string splitting = "%0D%0ASet-Cookie:%20sid=x%0D%0A%0D%0A%3Cscript%3Ealert(1)%3C/script%3E";
  const std::pair<std::string, std::string> cases[] = {
      // Output mode C writes the error URL as a bare line: the first target.
      {"KWT_OUTPUT=C&KWT_ERREUR=/e" + splitting, ""},
      {"KWT_ERREUR=/e%0A", "&KWT_SOURCE=IMODE"},
      {"KWT_ANNULE=http://shop.example/a%09b", ""},
      {"KWT_EFFECTUE=http://shop.example/%7F", ""},
      {"KWT_REFUSE=%01http://shop.example/", ""},
      {"KWT_RETOUR=M:M%0D", ""},
      {"KWT_KORVEN=https://primary.invalid/%0A", ""},
      {"KWT_REPONDRE_A=http://shop.example/r%0A", ""},
  };
  for (const auto& [field, extra] : cases) {
    ModuleResult m = get(field + extra + "&" + kOrder + "&" + kNoServers, {{"REVOZI_LOCK", "0"}});
    EXPECT_EQ(m.status, 1) << field;
    const std::string page = htmlErrorPage(-4);
    EXPECT_EQ(m.out, extra.empty() ? page : page.substr(0, kHead.size()) + page.substr(kHead.size() + 7))
        << field;
  }
  // Whatever the source and whether or not validation ran: a failing options
  // file (-6) after a form error URL with a line break.
  TempDir dir;
  dir.write("kwtinfos.txt", "no equals sign\n");
  ModuleRequest r;
  r.cwd = dir.path();
  r.env = {{"REQUEST_METHOD", "GET"},
           {"QUERY_STRING", "KWT_MODE=13&KWT_OUTPUT=C&KWT_ERREUR=/e" + splitting + "&" + kNoServers}};
  ModuleResult m = runProgram(kModule, r);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, htmlErrorPage(-6));
}

// Only web addresses become the form's action or the ping report: anything
// else is passed over without a connection, and the trace says so.
TEST(BlackBox, ServerUrlsMustBeWebAddresses) {
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  const std::string port = "&KWT_PORT=" + server.portText();
  ModuleResult m = get(std::string("KWT_TRACE=1&KWT_KORVEN=javascript:alert('x')//http://127.0.0.1/") +
                       "&KWT_BACKUP1=127.0.0.1&KWT_BACKUP2=ftp://127.0.0.1/&KWT_BACKUP3=http:127.0.0.1/" +
                       port + "&" + kOrder);
  EXPECT_EQ(m.status, 0);
  EXPECT_EQ(server.drain(), 0) << "no refused URL is ever connected to";
  const auto refused = [](const std::string& url) {
    return "<CENTER><B>URL refus&eacute;e pour le serveur " + url + "</B></P></CENTER>\n";
  };
  EXPECT_EQ(m.out, kHead + "<BODY>\n" + refused("javascript:alert(&#39;x&#39;)//http://127.0.0.1/") +
                       refused("127.0.0.1") + refused("ftp://127.0.0.1/") + refused("http:127.0.0.1/") +
                       "</BODY>\n</HTML>\n");
  // Scheme letters in any case, and the scheme-relative form, are probed.
  for (const char* url : {"HtTpS://127.0.0.1/pay", "//127.0.0.1/pay"}) {
    m = get("KWT_PING=1&KWT_KORVEN=" + std::string(url) + port + "&" + kNoServers.substr(kNoServers.find("&KWT_BACKUP1")));
    EXPECT_EQ(m.status, 0) << url;
    EXPECT_EQ(m.out, "Serveur: " + std::string(url) + "\n");
    EXPECT_EQ(server.drain(), 1);
  }
  // The ping report is one line whatever the form posts.
  m = post("KWT_MODE=1&KWT_PING=1&KWT_KORVEN=http://127.0.0.1/%0AContent-type:%20text/html%0A%0A%3Cscript%3E" +
           port + "&" + kNoServers.substr(kNoServers.find("&KWT_BACKUP1") + 1));
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, "Aucun serveur disponible\n");
  EXPECT_EQ(server.drain(), 0);
}

// Under REVOZI_LOCK the operator's settings never come from the form, and the
// pages show nothing of the host.
TEST(BlackBox, LockKeepsTheSettingsOutOfTheFormsReach) {
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  TempDir dir;
  dir.write("kwtinfos.txt", "KWT_KORVEN=http://127.0.0.1/pay\nKWT_PORT=" + server.portText() +
                                "\nKWT_BACKUP1=b1.invalid\nKWT_BACKUP2=b2.invalid\nKWT_BACKUP3=b3.invalid\n");
  dir.write("forged.txt", "KWT_KORVEN=http://forged.invalid/\n");
  const std::map<std::string, std::string> lock = {{"REVOZI_LOCK", "1"}, {"KWT_MODE", "31"}};
  auto postIn = [&](const std::string& body, std::map<std::string, std::string> env) {
    ModuleRequest r;
    r.cwd = dir.path();
    r.env = std::move(env);
    r.env["REQUEST_METHOD"] = "POST";
    r.env["CONTENT_LENGTH"] = std::to_string(body.size());
    r.input = body;
    return runProgram(kModule, r);
  };
  const ModuleResult expected = postIn(kOrder, lock);
  ASSERT_EQ(expected.status, 0);
  ASSERT_EQ(server.drain(), 1);
  ASSERT_NE(expected.out.find("Action='http://127.0.0.1/pay'"), std::string::npos) << expected.out;
  // Each of these changes the response without the lock.
  const std::string forged = "&KWT_KORVEN=http://forged.invalid/&KWT_BACKUP1=b.invalid&KWT_BACKUP2=b.invalid"
                             "&KWT_BACKUP3=b.invalid";
  for (const std::string& hostile : std::vector<std::string>{"KWT_MODE=1" + forged, "VEL_MODE=1" + forged, "KWT_OPT=forged.txt&KWT_MODE=31", "VEL_OPT=forged.txt",
        "KWT_TRACE=1", "KWT_OUTPUT=D", "VEL_OUTPUT=C", "KWT_PING=1", "KWT_BACKUP4=http://forged.invalid/",
        "KWT_TIMEOUT=999&KWT_PATH_RW=x"}) {
    ModuleResult m = postIn(hostile + "&" + kOrder, lock);
    EXPECT_EQ(m.status, 0) << hostile;
    EXPECT_EQ(m.out, expected.out) << hostile;
    EXPECT_EQ(server.drain(), 1) << hostile;
    if (hostile.rfind("KWT_TRACE", 0) == 0) {
      for (const char* off : {"0", ""}) {  // a lock of "0" or empty is no lock
        m = postIn(hostile + "&" + kOrder, {{"REVOZI_LOCK", off}, {"KWT_MODE", "31"}});
        EXPECT_NE(m.out, expected.out) << "REVOZI_LOCK=" << off;
        server.drain();
      }
    }
  }
  // No redirect to a posted error URL, and no host diagnostic on any page.
  const std::string kLockedError =
      kHead + "<BODY>\n<CENTER><P><B>KORVEN INPUT ERROR (code -9)</B></P></CENTER>\n" + kVersion +
      "</BODY>\n</HTML>\n";
  ModuleResult m = postIn("KWT_ERREUR=http://forged.invalid/&VEL_ERREUR=/x&KWT_SITE=12&" + kOrder, lock);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, kLockedError);
  dir.write("kwtinfos.txt", "KWT_BACKUP1=b1.invalid\nKWT_BACKUP2=b2.invalid\nKWT_BACKUP3=b3.invalid\n"
                            "KWT_KORVEN=https://primary.invalid/\n");
  m = postIn(kOrder, lock);
  EXPECT_EQ(m.status, 0);
  EXPECT_EQ(m.out, kHead + "<BODY>\n<CENTER><B>AUCUN SERVEUR DISPONIBLE</B></P></CENTER>\n" + kVersion +
                       "</BODY>\n</HTML>\n");
}

// Under the lock a web server's request (REQUEST_METHOD set, to anything or
// to nothing) takes nothing from the arguments, which a server may make of a
// query string without '=': the mode string comes from the environment, else
// "1". From a shell the arguments count as always.
TEST(BlackBox, LockIgnoresTheArgumentsOfAWebServersRequest) {
  const std::string lockedError = kHead + "<BODY>\n<CENTER><P><B>KORVEN INPUT ERROR (code -7)</B></P></CENTER>\n" +
                                  kVersion + "</BODY>\n</HTML>\n";
  const std::string lockedNoServer =
      kHead + "<BODY>\n<CENTER><B>AUCUN SERVEUR DISPONIBLE</B></P></CENTER>\n" + kVersion + "</BODY>\n</HTML>\n";
  std::vector<std::string> words = {"KWT_SITE=1234567", "KWT_RANG=01",    "KWT_TOTAL=1500",
                                    "KWT_DEVISE=978",   "KWT_CMD=ORDER42", "KWT_PORTEUR=a@b.fr",
                                    "KWT_RETOUR=M:M",   "KWT_IDENTIFIANT=7"};
  words.insert(words.end(), kNoServerArgs.begin(), kNoServerArgs.end());
  std::vector<std::string> withMode = {"KWT_MODE=4"};
  withMode.insert(withMode.end(), words.begin(), words.end());
  // The query string from which a server makes these arguments.
  std::string search = "KWT_MODE%3D4";
  for (const std::string& w : words) search += "+" + w.substr(0, w.find('=')) + "%3D" + w.substr(w.find('=') + 1);
  using Env = std::map<std::string, std::string>;
  const struct Case {
    const char* what;
    Env env;
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {"GET with a search string", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", search}}, withMode, 1, lockedError},
      {"REQUEST_METHOD empty", {{"REQUEST_METHOD", ""}}, withMode, 1, lockedError},
      {"HEAD", {{"REQUEST_METHOD", "HEAD"}}, withMode, 1, lockedError},
      {"mode 41 from the environment, empty POST",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "0"}, {"KWT_MODE", "41"}}, words, 1, lockedError},
      {"from a shell", {}, withMode, 0, lockedNoServer},
      {"from a shell, mode 41 from the environment", {{"KWT_MODE", "41"}}, words, 0, lockedNoServer},
  };
  for (const Case& c : cases) {
    ModuleRequest r;
    r.env = c.env;
    r.env["REVOZI_LOCK"] = "1";
    r.args = c.args;
    ModuleResult m = runProgram(kModule, r);
    EXPECT_EQ(m.status, c.status) << c.what;
    EXPECT_EQ(m.out, c.out) << c.what;
    // Without the lock a web server's arguments count.
    r.env.erase("REVOZI_LOCK");
    m = runProgram(kModule, r);
    EXPECT_EQ(m.status, 0) << c.what;
    EXPECT_EQ(m.out, noServerPage()) << c.what;
  }
}

TEST(BlackBox, ResponsesThatCannotBeWrittenAreNoSuccess) {
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  const std::string payment = "KWT_KORVEN=http://127.0.0.1/pay&KWT_PORT=" + server.portText() + "&" + kOrder;
  for (const std::string& query : {payment, kOrder + "&" + kNoServers}) {
    ModuleRequest r;
    r.env = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}, {"REVOZI_LOCK", "1"}};
    EXPECT_EQ(runProgram(kModule, r).status, 0) << query;
    r.outputFile = "/dev/full";
    EXPECT_EQ(runProgram(kModule, r).status, 1) << query;
    server.drain();
  }
}

TEST(BlackBox, OptionsFileMustBeAFile) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir.path() + "/kwtinfos.txt").c_str(), 0755), 0);
  ModuleRequest r;
  r.cwd = dir.path();
  r.env = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "KWT_MODE=31&" + kOrder + "&" + kNoServers}};
  ModuleResult m = runProgram(kModule, r);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, htmlErrorPage(-5));
  // A pipe is read as it comes.
  ModuleRequest piped;
  piped.cwd = dir.path();
  piped.args = {"KWT_MODE=43", "KWT_OPT=/dev/stdin"};
  piped.input = "KWT_SITE=1234567\nKWT_RANG=01\nKWT_TOTAL=1500\nKWT_DEVISE=978\nKWT_CMD=A\n"
                "KWT_PORTEUR=a@b.fr\nKWT_RETOUR=M:M\nKWT_IDENTIFIANT=7\nKWT_SITE=x\n";
  piped.args.insert(piped.args.end(), kNoServerArgs.begin(), kNoServerArgs.end());
  m = runProgram(kModule, piped);
  EXPECT_EQ(m.status, 0);
  EXPECT_EQ(m.out, noServerPage());
}

// The record writes these fields after a 4-digit length: a longer value
// would shift every field after it.
TEST(BlackBox, PaymentDataFieldsFitTheirLengthPrefix) {
  for (const char* field : {"KWT_PAIEMENT=", "KWT_CODEFAMILLE=", "KWT_2MONT1=", "KWT_DIFF=", "KWT_IDENTIFIANT="}) {
    const char fill = std::string_view(field) == "KWT_IDENTIFIANT=" ? '7' : 'p';
    ModuleResult m = get(field + std::string(9999, fill) + "&" + kOrder + "&" + kNoServers);
    EXPECT_EQ(m.status, 0) << field;
    EXPECT_EQ(m.out, noServerPage()) << field;
    m = get(field + std::string(10000, fill) + "&" + kOrder + "&" + kNoServers);
    EXPECT_EQ(m.status, 1) << field;
    EXPECT_EQ(m.out, htmlErrorPage(-14)) << field;
  }
  // Validation's own codes come first.
  ModuleResult m = get("KWT_PAIEMENT=" + std::string(10000, 'p') + "&KWT_SITE=1&" + kOrder + "&" + kNoServers);
  EXPECT_EQ(m.out, htmlErrorPage(-9));
}

// The environment source leaves an entry absent when its variable is not
// set, even where the form gave it the empty text.
TEST(BlackBox, EnvironmentSourceLeavesUnsetVariablesAbsent) {
  ModuleResult m = get("KWT_MODE=12&KWT_ERREUR=%00&" + kNoServers);
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.out, htmlErrorPage(-7));
  m = get("KWT_MODE=12&KWT_ERREUR=%00&" + kNoServers, {{"KWT_ERREUR", ""}});
  EXPECT_EQ(m.out.substr(kRedirectHead.size(), 54), "<META HTTP-EQUIV=\"refresh\" CONTENT=\"0;URL=?NUMERR=-7\">");
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  m = get("KWT_MODE=12&KWT_BKGD=%00&KWT_KORVEN=http://127.0.0.1/p&KWT_PORT=" + server.portText() + "&" + kOrder);
  EXPECT_EQ(m.status, 0);
  EXPECT_NE(m.out.find("<BODY onload"), std::string::npos) << m.out;
  EXPECT_EQ(m.out.find("BGCOLOR"), std::string::npos) << m.out;
}

}  // namespace
}  // namespace revozi::testing

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

}  // namespace
}  // namespace revozi::testing

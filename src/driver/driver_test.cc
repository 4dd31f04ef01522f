// Whole requests in-process: the driver's order of steps, its outcomes and
// exit statuses.
#include "driver/driver.h"

#include <gtest/gtest.h>

#include "tests/fake_platform.h"
#include "tests/loopback_listener.h"

namespace revozi {
namespace {

using testing::FakePlatform;
using testing::LoopbackListener;

// No test may reach the built-in servers: every slot points at a name that
// cannot resolve unless the test gives a loopback server.
const std::string kNoServers =
    "KWT_KORVEN=https://primary.invalid/pay&KWT_BACKUP1=https://b1.invalid/pay"
    "&KWT_BACKUP2=https://b2.invalid/pay&KWT_BACKUP3=https://b3.invalid/pay";
const std::string kOrder =
    "KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=ORDER42"
    "&KWT_PORTEUR=shopper%40example.fr&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7";

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(std::map<std::string, std::string> env, std::string input = {},
            std::vector<std::string> args = {}) {
  FakePlatform p;
  p.env.insert(env.begin(), env.end());
  p.input = std::move(input);
  args.insert(args.begin(), "revozi.cgi");
  int status = runRequest(p, args);
  return {status, p.output, p.error};
}

Outcome get(const std::string& query, std::map<std::string, std::string> env = {}) {
  env["REQUEST_METHOD"] = "GET";
  env["QUERY_STRING"] = query;
  return run(std::move(env));
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Driver, ValidRequestWithoutServerGetsNoServerPage) {
  Outcome o = get(kOrder + "&" + kNoServers);
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(contains(o.out, "AUCUN SERVEUR DISPONIBLE")) << o.out;
  EXPECT_EQ(o.err, "");
}

TEST(Driver, ValidRequestWithServerGetsPaymentPage) {
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  std::string url = "http://127.0.0.1/cgi/pay.cgi";
  // The first field of a name wins, so the loopback server comes first.
  Outcome o = get("KWT_BACKUP2=" + url + "&KWT_PORT=" + server.portText() + "&" + kOrder + "&" + kNoServers);
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(contains(o.out, "<Form name=KORVEN Action='" + url + "' Method=POST>\n")) << o.out;
  EXPECT_TRUE(contains(o.out, "<INPUT TYPE=hidden NAME=KWT_DATA VALUE='v401")) << o.out;
  EXPECT_EQ(server.drain(), 1);
}

TEST(Driver, PingValues) {
  for (const char* ping : {"1", " 7", "3abc", "+2"}) {
    Outcome o = get("KWT_PING=" + std::string(ping) + "&" + kNoServers);
    EXPECT_EQ(o.status, 1) << ping;
    EXPECT_EQ(o.out, "Aucun serveur disponible\n") << ping;
    EXPECT_EQ(o.err, "Aucun serveur disponible\n") << ping;
  }
  for (const char* notPing : {"0", "-1", "x1", "", "%20%2D3"}) {
    Outcome o = get("KWT_PING=" + std::string(notPing) + "&" + kNoServers);
    EXPECT_EQ(o.status, 1) << notPing;
    EXPECT_TRUE(contains(o.out, "KORVEN INPUT ERROR (code -7)")) << notPing;
  }
}

TEST(Driver, PingReportsTheServerWithoutValidation) {
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  std::string url = "http://127.0.0.1/x?y=1";
  // A complete order with a ping gets only the report; the shell-style
  // request below has nothing but the ping.
  Outcome o = get("KWT_KORVEN=" + url + "&KWT_PORT=" + server.portText() + "&" + kOrder + "&KWT_PING=1&" + kNoServers);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Serveur: " + url + "\n");
  EXPECT_EQ(o.err, "");
  o = run({}, {},
          {"KWT_MODE=4", "KWT_PING=1", "KWT_KORVEN=//127.0.0.1", "KWT_PORT=" + server.portText(),
           "KWT_BACKUP1=b1.invalid", "KWT_BACKUP2=b2.invalid", "KWT_BACKUP3=b3.invalid"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Serveur: //127.0.0.1\n");
}

TEST(Driver, PingWinsOverAFailedSource) {
  Outcome o = get("KWT_MODE=13&KWT_OPT=/nonexistent/kwtinfos.txt&KWT_PING=1&" + kNoServers);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "Aucun serveur disponible\n");
}

TEST(Driver, PingWithTraceWritesTheTracePageFirst) {
  Outcome o = get("KWT_PING=1&KWT_TRACE=1&" + kNoServers);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out.rfind("Content-type: text/html\n", 0), 0u) << o.out;
  EXPECT_TRUE(contains(o.out, "</BODY>\n</HTML>\nAucun serveur disponible\n")) << o.out;
}

TEST(Driver, TraceModeWithoutServer) {
  const std::string trace =
      "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
      "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n<BODY>\n";
  // HTML: the trace page is the whole response.
  Outcome o = get(kOrder + "&KWT_TRACE=1&" + kNoServers);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out.rfind(trace, 0), 0u) << o.out;
  EXPECT_EQ(o.out.size() - o.out.rfind("</BODY>\n</HTML>\n"), 16u) << o.out;
  EXPECT_FALSE(contains(o.out, "AUCUN SERVEUR DISPONIBLE"));
  // WAP: the whole no-server card, its header included, follows the trace.
  o = get(kOrder + "&KWT_TRACE=1&KWT_SOURCE=WAP&" + kNoServers);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out.rfind(trace, 0), 0u) << o.out;
  EXPECT_TRUE(contains(o.out, "</BODY>\n</HTML>\nContent-type: text/vnd.wap.wml\n\n")) << o.out;
  EXPECT_TRUE(contains(o.out, "AUCUN&nbsp;SERVEUR&nbsp;DISPONIBLE</b></p>\n</card>\n</wml>\n")) << o.out;
}

TEST(Driver, TraceThenPaymentPage) {
  LoopbackListener server;
  ASSERT_TRUE(server.ok());
  Outcome o = get("KWT_BACKUP1=http://127.0.0.1/pay&KWT_PORT=" + server.portText() + "&KWT_TRACE=1&" + kOrder +
                  "&" + kNoServers);
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(contains(o.out, "<BODY>\n<CENTER><B>gethostbyname() erreur ")) << o.out;
  EXPECT_TRUE(contains(o.out, " pour le serveur primary.invalid</B></P></CENTER>\n</BODY>\n</HTML>\n"
                              "Content-type: text/html\n"))
      << o.out;
  EXPECT_TRUE(contains(o.out, "Action='http://127.0.0.1/pay'")) << o.out;
}

TEST(Driver, DecodeFailureSkipsEverySource) {
  std::map<std::string, std::string> env = {{"REQUEST_METHOD", "GET"}, {"KWT_MODE", "24"},
                                            {"KWT_SOURCE", "WAP"}, {"KWT_PING", "1"}};
  Outcome o = run(env, {}, {"KWT_SOURCE=WAP", "KWT_PING=1"});
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(contains(o.out, "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n<BODY>\n"
                              "<CENTER><P><B>KORVEN INPUT ERROR (code -3)</B></P></CENTER>\n"))
      << o.out;
}

TEST(Driver, DialectIsCaseSensitive) {
  Outcome wap = get("KWT_SOURCE=WAP&" + kNoServers);
  EXPECT_EQ(wap.status, 1);
  EXPECT_TRUE(contains(wap.out, "KORVEN&nbsp;INPUT&nbsp;ERROR&nbsp;(code -7)")) << wap.out;
  Outcome lower = get("KWT_SOURCE=wap&" + kNoServers);
  EXPECT_TRUE(contains(lower.out, "KORVEN INPUT ERROR (code -7)"));
  Outcome imode = get("KWT_SOURCE=IMODE&" + kNoServers);
  EXPECT_TRUE(contains(imode.out, "</HEAD>\n<CENTER><P><B>KORVEN INPUT ERROR")) << imode.out;
  Outcome blank = get("KWT_SOURCE=WAP%20&" + kNoServers);
  EXPECT_TRUE(contains(blank.out, "KORVEN INPUT ERROR (code -7)"));
}

TEST(Driver, EveryValidationCodeReachesThePage) {
  struct Case {
    std::string change;
    int code;
  } cases[] = {
      {"KWT_RETOUR=" + std::string(151, 'r'), -4}, {"KWT_CMD=", -7},
      {"KWT_SITE=123456x", -8},                    {"KWT_SITE=123456", -9},
      {"KWT_RANG=1", -10},                         {"KWT_TOTAL=12", -11},
      {"KWT_DEVISE=EURO", -12},                    {"KWT_LANGUE=FR", -12},
      {"KWT_CMD=" + std::string(2049, 'c'), -13},  {"KWT_PORTEUR=a%3Db@c.fr", -16},
      {"KWT_CLE=secret", -17},                     {"KWT_BANQUE=1234", -19},
  };
  for (const Case& c : cases) {
    // The changed field comes first, so it wins over the order's own value.
    Outcome o = get(c.change + "&" + kOrder + "&" + kNoServers);
    EXPECT_EQ(o.status, 1) << c.change;
    EXPECT_TRUE(contains(o.out, "KORVEN INPUT ERROR (code " + std::to_string(c.code) + ")"))
        << c.change << "\n" << o.out;
  }
}

TEST(Driver, RedirectsToTheMerchantErrorUrl) {
  Outcome o = get("KWT_ERREUR=http://shop.example/erreur.html&KWT_SITE=1&" + kNoServers);
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(contains(o.out, "CONTENT=\"0;URL=http://shop.example/erreur.html?NUMERR=-9\">")) << o.out;
  o = get("KWT_OUTPUT=C&KWT_ERREUR=http://shop.example/e&" + kNoServers);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "http://shop.example/e?NUMERR=-7");
}

TEST(Driver, EmptyModeStringFailsValidation) {
  Outcome o = get(kOrder + "&KWT_MODE=%00&" + kNoServers);
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(contains(o.out, "(code -7)"));
}

TEST(Driver, ShellRunWithArguments) {
  std::vector<std::string> args = {"KWT_MODE=4",         "KWT_SITE=1234567",     "KWT_RANG=01",
                                   "KWT_TOTAL=1500",     "KWT_DEVISE=978",       "KWT_CMD=ORDER42",
                                   "KWT_PORTEUR=a@b.fr", "KWT_RETOUR=M:M",       "KWT_IDENTIFIANT=7",
                                   "KWT_KORVEN=a.invalid", "KWT_BACKUP1=b.invalid", "KWT_BACKUP2=c.invalid",
                                   "KWT_BACKUP3=d.invalid", "KWT_SOURCE=WAP"};
  Outcome o = run({}, {}, args);
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(contains(o.out, "AUCUN&nbsp;SERVEUR&nbsp;DISPONIBLE")) << o.out;
}

}  // namespace
}  // namespace revozi

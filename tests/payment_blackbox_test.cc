// Whole payment pages from the built module, for every dialect and output
// mode, compared byte for byte. The KWT_DATA value in the pages is checked by
// decoding it back into the order's fields.
#include <gtest/gtest.h>

#include "datablock/decode.h"
#include "tests/loopback_listener.h"
#include "tests/run_module.h"

namespace revozi::testing {
namespace {

const std::string kModule = REVOZI_CGI_PATH;

const std::string kHead =
    "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
    "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n";
const std::string kHtmlWaiting =
    "<b><br> connexion en cours <br> sur le serveur de paiement s&eacute;curis&eacute;... </b>";
const std::string kImodeWaiting =
    "connexion en cours <br> sur le serveur de paiement <b>s&eacute;curis&eacute;... </b>";
const std::string kWmlProlog =
    "Content-type: text/vnd.wap.wml\n\n<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" \"http://www.wapforum.org/DTD/wml_1.1.xml\">\n"
    "<wml>\n<card id=\"card1\" title=\"Korven Services\">\n<p>\n";

// Markup escaping, written out independently of the module's.
std::string esc(const std::string& v, bool wml = false) {
  std::string out;
  for (char c : v) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '$': out += wml ? "$$" : "$"; break;
      default: out += c;
    }
  }
  return out;
}

std::string urlEncode(const std::string& v) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : v) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

class PaymentPages : public ::testing::Test {
 protected:
  LoopbackListener server;
  std::vector<std::pair<std::string, std::string>> fields;

  void SetUp() override {
    ASSERT_TRUE(server.ok());
    fields = {{"KWT_SITE", "1234567"},      {"KWT_RANG", "01"},
              {"KWT_TOTAL", "1500"},        {"KWT_DEVISE", "978"},
              {"KWT_CMD", "ORDER-42 \xE9t\xE9"}, {"KWT_PORTEUR", "shopper@example.fr"},
              {"KWT_RETOUR", "M:M"},        {"KWT_IDENTIFIANT", "7"},
              {"KWT_KORVEN", "http://127.0.0.1/cgi-bin/pay.cgi"},
              {"KWT_BACKUP1", "b1.invalid"}, {"KWT_BACKUP2", "b2.invalid"},
              {"KWT_BACKUP3", "b3.invalid"}, {"KWT_PORT", server.portText()}};
  }
  void set(const std::string& name, const std::string& value) {
    for (auto& f : fields) {
      if (f.first == name) {
        f.second = value;
        return;
      }
    }
    fields.emplace_back(name, value);
  }
  ModuleResult post() {
    std::string body;
    for (const auto& [k, v] : fields) body += (body.empty() ? "" : "&") + k + "=" + urlEncode(v);
    ModuleRequest r;
    r.env = {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", std::to_string(body.size())}};
    r.input = body;
    ModuleResult m = runProgram(kModule, r);
    server.drain();
    return m;
  }
  // The block of the current order, taken from output mode D and checked.
  std::string block() {
    set("KWT_OUTPUT", "D");
    ModuleResult m = post();
    EXPECT_EQ(m.status, 0);
    EXPECT_GE(m.out.size(), 2u);
    std::string b = m.out.substr(0, m.out.size() - 1);
    EXPECT_EQ(m.out.back(), '\n');
    DecodeResult d = decodeDataBlock(b);
    EXPECT_TRUE(d.ok) << d.reason;
    EXPECT_EQ(d.fields.cmd, "ORDER-42 \xE9t\xE9");
    EXPECT_EQ(d.fields.porteur, "shopper@example.fr");
    EXPECT_EQ(d.fields.total, "1500");
    EXPECT_EQ(d.fields.site, "1234567");
    return b;
  }
  std::string htmlForm(const std::string& b, const std::string& url, const std::string& hidden) {
    return "<!-- KORVEN REVOZI.CGI v401 -->\n<Form name=KORVEN Action='" + esc(url) + "' Method=POST>\n"
           "<INPUT TYPE=hidden NAME=KWT_DATA VALUE='" + b + "'>\n" + hidden;
  }
};

std::string hidden(const std::string& name, const std::string& value) {
  return "<INPUT TYPE=hidden name=" + name + " value='" + esc(value) + "'>\n";
}

TEST_F(PaymentPages, HtmlInEveryMode) {
  std::string b = block();
  std::string url = "http://127.0.0.1/cgi-bin/pay.cgi";
  std::string fieldsHtml = hidden("KWT_SOURCE", "HTML") + hidden("KWT_VERSION", "221-OS INCONNU");
  std::string form = htmlForm(b, url, fieldsHtml);
  std::string button = "<INPUT TYPE=SUBMIT VALUE='KORVEN'>\n</FORM>\n</CENTER>";
  const std::pair<std::string, std::string> expected[] = {
      {"E", kHead + "<BODY onload=\"document.KORVEN.submit();\"><CENTER>\n" + kHtmlWaiting + form + button +
                "</BODY>\n</HTML>\n"},
      {"A", kHead + "<BODY><CENTER>\n" + kHtmlWaiting + form + button + "</BODY>\n</HTML>\n"},
      {"B", form + button},
      {"C", form},
      {"D", b + "\n"},
      {"", kHead + "<BODY onload=\"document.KORVEN.submit();\"><CENTER>\n" + kHtmlWaiting + form + button +
               "</BODY>\n</HTML>\n"},
  };
  for (const auto& [mode, page] : expected) {
    set("KWT_OUTPUT", mode);
    ModuleResult m = post();
    EXPECT_EQ(m.status, 0) << mode;
    EXPECT_EQ(m.out, page) << "mode " << mode;
  }
}

TEST_F(PaymentPages, ImodeInEveryMode) {
  std::string b = block();
  set("KWT_SOURCE", "IMODE");
  set("KWT_WAIT", "100");
  set("KWT_BKGD", "red");
  std::string form = htmlForm(b, "http://127.0.0.1/cgi-bin/pay.cgi",
                              hidden("KWT_SOURCE", "IMODE") + hidden("KWT_VERSION", "221-OS INCONNU"));
  std::string button = "<INPUT TYPE=SUBMIT VALUE='KORVEN'>\n</FORM>\n</CENTER>";
  std::string full = kHead + "<BODY>\n<CENTER>\n<br>\n" + kImodeWaiting + form + button + "</BODY>\n</HTML>\n";
  const std::pair<std::string, std::string> expected[] = {
      {"E", full}, {"A", full}, {"B", form + button}, {"C", form}, {"D", b + "\n"}};
  for (const auto& [mode, page] : expected) {
    set("KWT_OUTPUT", mode);
    ModuleResult m = post();
    EXPECT_EQ(m.status, 0) << mode;
    EXPECT_EQ(m.out, page) << "mode " << mode;
  }
}

TEST_F(PaymentPages, WmlInEveryMode) {
  std::string b = block();
  set("KWT_SOURCE", "WAP");
  set("KWT_BOUTPI", "nul");
  std::string body =
      "<p>\n<!-- KORVEN REVOZI.CGI v401 -->\n</p>\n<p>\n<do type=\"accept\" label=\"OK\">\n"
      "<go href=\"http://127.0.0.1/cgi-bin/pay.cgi\" method=\"post\">\n"
      "<postfield name=\"KWT_DATA\" value=\"" + b + "\"/>\n"
      "<postfield name=\"KWT_SOURCE\" value=\"WAP\"/>\n"
      "<postfield name=\"KWT_VERSION\" value=\"221-OS INCONNU\"/>\n</go>\n</do>\n</p>\n";
  std::string full = kWmlProlog + "connexion sur le serveur de paiement <b>s&#233;curis&#233;...</b>\n</p>\n" +
                     body + "</card>\n</wml>\n";
  const std::pair<std::string, std::string> expected[] = {
      {"E", full}, {"A", full}, {"B", body}, {"C", body}, {"D", b + "\n"}};
  for (const auto& [mode, page] : expected) {
    set("KWT_OUTPUT", mode);
    ModuleResult m = post();
    EXPECT_EQ(m.status, 0) << mode;
    EXPECT_EQ(m.out, page) << "mode " << mode;
  }
}

TEST_F(PaymentPages, ButtonBackgroundAndWaitRules) {
  std::string b = block();
  std::string form = htmlForm(b, "http://127.0.0.1/cgi-bin/pay.cgi",
                              hidden("KWT_SOURCE", "HTML") + hidden("KWT_VERSION", "221-OS INCONNU"));
  set("KWT_OUTPUT", "A");
  set("KWT_WAIT", "3000");
  set("KWT_BKGD", "img/fond.jpg");
  set("KWT_BOUTPI", "Continuer");
  ModuleResult m = post();
  EXPECT_EQ(m.out, kHead +
                       "<BODY BACKGROUND=\"img/fond.jpg\" onload=\"setTimeout('document.KORVEN.submit()',3000)\">"
                       "<CENTER>\n" + kHtmlWaiting + form +
                       "<INPUT TYPE=SUBMIT VALUE='Continuer'>\n</FORM>\n</CENTER></BODY>\n</HTML>\n");
  set("KWT_OUTPUT", "E");
  set("KWT_WAIT", "3s");
  set("KWT_BKGD", "#FFFFFF");
  set("KWT_BOUTON", "  Payer maintenant \t");
  m = post();
  EXPECT_EQ(m.out, kHead + "<BODY BGCOLOR= \"#FFFFFF\" onload=\"document.KORVEN.submit();\"><CENTER>\n" +
                       kHtmlWaiting + form +
                       "<INPUT TYPE=SUBMIT VALUE='Payer maintenant'>\n</FORM>\n</CENTER></BODY>\n</HTML>\n");
  set("KWT_BOUTON", "");
  set("KWT_BOUTPI", "nul");
  m = post();
  EXPECT_EQ(m.out, kHead + "<BODY BGCOLOR= \"#FFFFFF\" onload=\"document.KORVEN.submit();\"><CENTER>\n" +
                       kHtmlWaiting + form);
}

TEST_F(PaymentPages, ForwardedFieldsInTableOrderWithHostileValues) {
  const std::string evil = "a'b\"c<d>e&f$g</script><script>alert(1)</script>";
  const char* forwarded[] = {"KWT_LANGUE",      "KWT_ANNULE",     "KWT_EFFECTUE",  "KWT_REFUSE",
                             "KWT_PAIEMENT",    "KWT_CODEFAMILLE", "KWT_SOURCE",   "KWT_VERSION",
                             "KWT_TOTAL_MAJORE", "KWT_RUF1",      "KWT_RUF2",      "KWT_DEMO",
                             "KWT_TYPEPAIEMENT", "KWT_TYPECARTE", "KWT_TRAITEMENT", "KWT_BANQUE",
                             "KWT_AUTOSEULE",   "KWT_ENTITE"};
  // Set in reverse order: the page must follow the table, not the request.
  for (int i = 17; i >= 0; --i) {
    std::string name = forwarded[i];
    if (name == "KWT_SOURCE" || name == "KWT_VERSION") continue;
    set(name, name == "KWT_LANGUE" ? "F'R" : name == "KWT_BANQUE" ? "12345" : evil + name);
  }
  std::string url = "http://127.0.0.1/cgi-bin/pay.cgi?x='1'&y=\"<b>\"";
  set("KWT_KORVEN", url);
  set("KWT_TXT", evil);
  set("KWT_BOUTON", evil);
  set("KWT_BKGD", evil);
  set("KWT_VERSION", "forged");
  set("KWT_OUTPUT", "E");
  ModuleResult m = post();
  ASSERT_EQ(m.status, 0) << m.out;
  std::string expectedHidden;
  for (const char* name : forwarded) {
    std::string n = name;
    std::string v = n == "KWT_LANGUE" ? "F'R" : n == "KWT_BANQUE" ? "12345" : n == "KWT_SOURCE" ? "HTML"
                  : n == "KWT_VERSION" ? "221-OS INCONNU" : evil + n;
    expectedHidden += hidden(n, v);
  }
  std::size_t dataAt = m.out.find("NAME=KWT_DATA VALUE='");
  ASSERT_NE(dataAt, std::string::npos);
  std::size_t dataEnd = m.out.find("'>\n", dataAt + 21);
  std::string b = m.out.substr(dataAt + 21, dataEnd - dataAt - 21);
  DecodeResult d = decodeDataBlock(b);
  ASSERT_TRUE(d.ok) << d.reason;
  EXPECT_EQ(d.fields.paiement, evil + "KWT_PAIEMENT");
  EXPECT_EQ(d.fields.codeFamille, evil + "KWT_CODEFAMILLE");
  EXPECT_EQ(m.out, kHead + "<BODY BGCOLOR= \"" + esc(evil) + "\" onload=\"document.KORVEN.submit();\"><CENTER>\n"
                       "<br> " + esc(evil) + htmlForm(b, url, expectedHidden) +
                       "<INPUT TYPE=SUBMIT VALUE='" + esc(evil) + "'>\n</FORM>\n</CENTER></BODY>\n</HTML>\n");
  EXPECT_EQ(m.out.find("<script"), std::string::npos);

  set("KWT_SOURCE", "WAP");
  m = post();
  ASSERT_EQ(m.status, 0);
  EXPECT_NE(m.out.find("<go href=\"" + esc(url, true) + "\" method=\"post\">\n"), std::string::npos) << m.out;
  EXPECT_NE(m.out.find("<p>\n<br/>" + esc(evil, true) + "</p>\n"), std::string::npos) << m.out;
  EXPECT_NE(m.out.find("<postfield name=\"KWT_RUF1\" value=\"" + esc(evil + "KWT_RUF1", true) + "\"/>\n"),
            std::string::npos);
  EXPECT_EQ(m.out.find("<script"), std::string::npos);
}

}  // namespace
}  // namespace revozi::testing

#include "pages/payment_page.h"

#include <gtest/gtest.h>

#include "params/sources.h"
#include "tests/page_run.h"
#include "tests/worked_example.h"

namespace revozi {
namespace {

using testing::FakePlatform;

const std::string kBlock(testing::kExampleBlock);
const std::string kUrl = "http://127.0.0.1/cgi/pay.cgi";
const std::string kHead =
    "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
    "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n";
const std::string kHtmlWaiting =
    "<b><br> connexion en cours <br> sur le serveur de paiement s&eacute;curis&eacute;... </b>";
const std::string kForm =
    "<!-- KORVEN REVOZI.CGI v401 -->\n"
    "<Form name=KORVEN Action='" + kUrl + "' Method=POST>\n"
    "<INPUT TYPE=hidden NAME=KWT_DATA VALUE='" + kBlock + "'>\n"
    "<INPUT TYPE=hidden name=KWT_SOURCE value='HTML'>\n"
    "<INPUT TYPE=hidden name=KWT_VERSION value='221-OS INCONNU'>\n";
const std::string kButton = "<INPUT TYPE=SUBMIT VALUE='KORVEN'>\n</FORM>\n</CENTER>";

class PaymentPageTest : public ::testing::Test {
 protected:
  FakePlatform platform;
  testing::PageRun run{platform};

  void SetUp() override {
    ParamTable& t = run.params;
    testing::fillExampleTable(t);
    applyDefaults(t);
  }
  std::string page(std::string_view url = kUrl) {
    platform.output.clear();
    writePaymentPage(run.page(), url);
    run.out.flush();
    return platform.output;
  }
};

TEST_F(PaymentPageTest, HtmlModeESubmitsAtOnce) {
  EXPECT_EQ(page(), kHead + "<BODY onload=\"document.KORVEN.submit();\"><CENTER>\n" + kHtmlWaiting + kForm +
                        kButton + "</BODY>\n</HTML>\n");
}

TEST_F(PaymentPageTest, HtmlModeAWaitsForTheButton) {
  run.params.set(kOutput, "A");
  EXPECT_EQ(page(), kHead + "<BODY><CENTER>\n" + kHtmlWaiting + kForm + kButton + "</BODY>\n</HTML>\n");
  run.params.set(kWait, "2500");
  EXPECT_EQ(page(), kHead + "<BODY onload=\"setTimeout('document.KORVEN.submit()',2500)\"><CENTER>\n" +
                        kHtmlWaiting + kForm + kButton + "</BODY>\n</HTML>\n");
}

TEST_F(PaymentPageTest, WaitMustBeOneToNineDigits) {
  run.params.set(kWait, "123456789");
  EXPECT_NE(page().find("setTimeout('document.KORVEN.submit()',123456789)"), std::string::npos);
  for (const char* bad : {"1234567890", "1e3", " 5", "alert(1)", "-1", "5)"}) {
    run.params.set(kWait, bad);
    std::string p = page();
    EXPECT_EQ(p.find("setTimeout"), std::string::npos) << bad;
    EXPECT_NE(p.find("<BODY onload=\"document.KORVEN.submit();\">"), std::string::npos) << bad;
  }
  run.params.set(kOutput, "A");
  run.params.set(kWait, "x");
  EXPECT_NE(page().find("<BODY><CENTER>"), std::string::npos);
}

TEST_F(PaymentPageTest, BackgroundOnPresence) {
  run.params.set(kBkgd, "img/fond.gif");
  EXPECT_NE(page().find("<BODY BACKGROUND=\"img/fond.gif\" onload="), std::string::npos);
  run.params.set(kBkgd, "#00FF00");
  EXPECT_NE(page().find("<BODY BGCOLOR= \"#00FF00\" onload="), std::string::npos);
  run.params.set(kBkgd, "");
  EXPECT_NE(page().find("<BODY BGCOLOR= \"\" onload="), std::string::npos);
}

TEST_F(PaymentPageTest, FragmentsAndBareBlock) {
  run.params.set(kOutput, "Bxyz");
  EXPECT_EQ(page(), kForm + kButton);
  run.params.set(kOutput, "C");
  EXPECT_EQ(page(), kForm);
  run.params.set(kOutput, "D");
  EXPECT_EQ(page(), kBlock + "\n");
  for (const char* e : {"e", "F", "1", "\xC1"}) {
    run.params.set(kOutput, e);
    EXPECT_EQ(page().substr(0, kHead.size()), kHead) << e;
  }
}

TEST_F(PaymentPageTest, ButtonRules) {
  run.params.set(kBoutpi, "nul");
  EXPECT_EQ(page(), kHead + "<BODY onload=\"document.KORVEN.submit();\"><CENTER>\n" + kHtmlWaiting + kForm);
  run.params.set(kBoutpi, "Nul ");
  EXPECT_NE(page().find("<INPUT TYPE=SUBMIT VALUE='Nul '>\n</FORM>\n</CENTER></BODY>"), std::string::npos);
  run.params.set(kBouton, " \tPayer\r\n");
  EXPECT_NE(page().find("<INPUT TYPE=SUBMIT VALUE='Payer'>"), std::string::npos);
  run.params.set(kBouton, "   ");
  EXPECT_NE(page().find("<INPUT TYPE=SUBMIT VALUE=''>"), std::string::npos);
}

TEST_F(PaymentPageTest, ForwardedFieldsInTableOrderUnderKwtNames) {
  run.params.set(kEntite, "E1");
  run.params.set(kLangue, "FRA");
  run.params.set(kBanque, "12345");
  run.params.set(kPaiement, "");
  run.params.set(kKorven, "not forwarded");
  run.params.set(kOutput, "C");
  std::string p = page();
  std::string fields = p.substr(p.find("<INPUT TYPE=hidden name="));
  EXPECT_EQ(fields,
            "<INPUT TYPE=hidden name=KWT_LANGUE value='FRA'>\n"
            "<INPUT TYPE=hidden name=KWT_SOURCE value='HTML'>\n"
            "<INPUT TYPE=hidden name=KWT_VERSION value='221-OS INCONNU'>\n"
            "<INPUT TYPE=hidden name=KWT_BANQUE value='12345'>\n"
            "<INPUT TYPE=hidden name=KWT_ENTITE value='E1'>\n");
}

TEST_F(PaymentPageTest, HostileValuesAreEscaped) {
  const std::string evil = "x'\"><script>alert(1)</script>&$";
  const std::string html = "x&#39;&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;&amp;$";
  run.params.set(kTxt, evil);
  run.params.set(kBkgd, evil);
  run.params.set(kBouton, evil);
  run.params.set(kRuf1, evil);
  std::string p = page(kUrl + evil);
  EXPECT_EQ(p.find("<script"), std::string::npos) << p;
  EXPECT_NE(p.find("Action='" + kUrl + html + "' Method=POST>"), std::string::npos);
  EXPECT_NE(p.find("<br> " + html + "<!--"), std::string::npos);
  EXPECT_NE(p.find("<BODY BGCOLOR= \"" + html + "\" onload="), std::string::npos);
  EXPECT_NE(p.find("name=KWT_RUF1 value='" + html + "'>"), std::string::npos);
  EXPECT_NE(p.find("VALUE='" + html + "'>\n</FORM>"), std::string::npos);
}

TEST_F(PaymentPageTest, ImodePageNeverSubmitsItself) {
  run.dialect = Dialect::kImode;
  run.params.set(kSource, "IMODE");
  run.params.set(kWait, "100");
  run.params.set(kBkgd, "red");
  std::string form = kForm;
  form.replace(form.find("value='HTML'"), 12, "value='IMODE'");
  EXPECT_EQ(page(), kHead + "<BODY>\n<CENTER>\n<br>\n"
                            "connexion en cours <br> sur le serveur de paiement <b>s&eacute;curis&eacute;... </b>" +
                        form + kButton + "</BODY>\n</HTML>\n");
  run.params.set(kTxt, "Merci & <bye>");
  EXPECT_NE(page().find("<br>\nMerci &amp; &lt;bye&gt;<!--"), std::string::npos);
}

const std::string kWmlProlog =
    "Content-type: text/vnd.wap.wml\n\n<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" \"http://www.wapforum.org/DTD/wml_1.1.xml\">\n"
    "<wml>\n<card id=\"card1\" title=\"Korven Services\">\n<p>\n";

TEST_F(PaymentPageTest, WmlDeck) {
  run.dialect = Dialect::kWap;
  run.params.set(kSource, "WAP");
  run.params.set(kBoutpi, "nul");
  run.params.set(kWait, "5");
  const std::string body =
      "<p>\n<!-- KORVEN REVOZI.CGI v401 -->\n</p>\n<p>\n<do type=\"accept\" label=\"OK\">\n"
      "<go href=\"" + kUrl + "\" method=\"post\">\n"
      "<postfield name=\"KWT_DATA\" value=\"" + kBlock + "\"/>\n"
      "<postfield name=\"KWT_SOURCE\" value=\"WAP\"/>\n"
      "<postfield name=\"KWT_VERSION\" value=\"221-OS INCONNU\"/>\n"
      "</go>\n</do>\n</p>\n";
  EXPECT_EQ(page(), kWmlProlog +
                        "connexion sur le serveur de paiement <b>s&#233;curis&#233;...</b>\n</p>\n" + body +
                        "</card>\n</wml>\n");
  run.params.set(kOutput, "B");
  EXPECT_EQ(page(), body);
  run.params.set(kOutput, "C");
  EXPECT_EQ(page(), body);
  run.params.set(kOutput, "D");
  EXPECT_EQ(page(), kBlock + "\n");
  run.params.set(kOutput, "A");
  run.params.set(kTxt, "Cost: $5 <now>");
  run.params.set(kRuf2, "a$b'\"");
  std::string p = page();
  EXPECT_NE(p.find("<p>\n<br/>Cost: $$5 &lt;now&gt;</p>\n"), std::string::npos) << p;
  EXPECT_NE(p.find("<postfield name=\"KWT_RUF2\" value=\"a$$b&#39;&quot;\"/>"), std::string::npos) << p;
}

}  // namespace
}  // namespace revozi

#include "pages/error_pages.h"

#include <gtest/gtest.h>

#include "params/sources.h"
#include "tests/page_run.h"

namespace revozi {
namespace {

using testing::FakePlatform;
using testing::kFakeUname;

const std::string kHead =
    "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
    "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n";
const std::string kDiag = "<br><CENTER><B>\n" + std::string(kFakeUname) + "</B></CENTER>\n";
const std::string kVersion = "<CENTER><B>Version 221 - Sources 4.10</B></CENTER>\n";
const std::string kWmlHead =
    "Content-type: text/vnd.wap.wml\n\n"
    "<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" \"http://www.wapforum.org/DTD/wml_1.1.xml\">\n"
    "<wml>\n<template>\n<do type=\"prev\" label=\"Retour\"><prev/></do>\n</template>\n"
    "<card id=\"card1\" title=\"Korven Services\">\n";
const std::string kRedirectHead =
    "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n<HEAD>\n";

class PagesTest : public ::testing::Test {
 protected:
  FakePlatform platform;
  testing::PageRun run{platform};
  std::string written() {
    run.out.flush();
    return platform.output;
  }
};

TEST_F(PagesTest, HtmlErrorPage) {
  writeErrorPage(run.page(), -7, true);
  EXPECT_EQ(written(), kHead + "<BODY>\n<CENTER><P><B>KORVEN INPUT ERROR (code -7)</B></P></CENTER>\n" +
                           kVersion + kDiag + "</BODY>\n</HTML>\n");
  EXPECT_EQ(platform.commands, std::vector<std::string>{"uname -a"});
}

TEST_F(PagesTest, ImodeErrorPageHasNoBodyTag) {
  run.dialect = Dialect::kImode;
  writeErrorPage(run.page(), -13, true);
  EXPECT_EQ(written(), kHead + "<CENTER><P><B>KORVEN INPUT ERROR (code -13)</B></P></CENTER>\n" +
                           kVersion + kDiag + "</BODY>\n</HTML>\n");
}

TEST_F(PagesTest, WmlErrorCardNeverRedirects) {
  run.dialect = Dialect::kWap;
  run.params.set(kErreur, "http://shop.example/err");
  writeErrorPage(run.page(), -16, true);
  EXPECT_EQ(written(), kWmlHead +
                           "<p align=\"center\"><b>KORVEN&nbsp;INPUT&nbsp;ERROR&nbsp;(code -16)</b></p>\n"
                           "</card>\n</wml>\n");
  EXPECT_TRUE(platform.commands.empty()) << "the WML card has no diagnostic block";
}

TEST_F(PagesTest, HtmlRedirect) {
  run.params.set(kErreur, "http://shop.example/err?x=1");
  run.params.set(kBkgd, "fond.gif");
  writeErrorPage(run.page(), -7, true);
  EXPECT_EQ(written(), kRedirectHead +
                           "<META HTTP-EQUIV=\"refresh\" CONTENT=\"0;URL=http://shop.example/err?x=1?NUMERR=-7\">"
                           "\n</HEAD>\n<HTML>\n<BODY BACKGROUND='fond.gif'><CENTER>\n"
                           "<!-- KORVEN REVOZI.CGI v401 -->\n</CENTER>\n"
                           "<A HREF='#TOP' ONCLICK=\"history.go(-2);\">Retour</A>\n</BODY>\n</HTML>\n");
  EXPECT_TRUE(platform.commands.empty());
}

TEST_F(PagesTest, HtmlRedirectBackgroundRules) {
  run.params.set(kErreur, "");
  run.params.set(kBkgd, "#FF0000");
  writeErrorPage(run.page(), -3, true);
  std::string page = written();
  EXPECT_NE(page.find("CONTENT=\"0;URL=?NUMERR=-3\">"), std::string::npos) << page;
  EXPECT_NE(page.find("<BODY BGCOLOR='#FF0000'><CENTER>\n"), std::string::npos) << page;
  platform.output.clear();
  run.params.set(kBkgd, "");
  writeErrorPage(run.page(), -3, true);
  EXPECT_NE(written().find("<BODY><CENTER>\n"), std::string::npos);
}

TEST_F(PagesTest, HostileValuesAreEscapedInTheRedirect) {
  run.params.set(kErreur, "http://x/'\"><script>alert(1)</script>&$");
  run.params.set(kBkgd, "a.gif' onload='alert(1)");
  writeErrorPage(run.page(), -4, true);
  std::string page = written();
  EXPECT_NE(page.find("URL=http://x/&#39;&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;&amp;$?NUMERR=-4\">"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("BACKGROUND='a.gif&#39; onload=&#39;alert(1)'"), std::string::npos) << page;
  EXPECT_EQ(page.find("<script"), std::string::npos);
}

TEST_F(PagesTest, ImodeRedirect) {
  run.dialect = Dialect::kImode;
  run.params.set(kErreur, "e");
  run.params.set(kBkgd, "red");
  writeErrorPage(run.page(), -9, true);
  EXPECT_EQ(written(), kRedirectHead +
                           "<META HTTP-EQUIV=\"refresh\" CONTENT=\"0;URL=e?NUMERR=-9\">"
                           "\n</HEAD>\n<HTML>\n<BODY><CENTER>\n<!-- KORVEN REVOZI.CGI v401 -->\n"
                           "</CENTER></BODY>\n</HTML>\n");
}

TEST_F(PagesTest, BareRedirectUrlInModeC) {
  run.params.set(kErreur, "http://shop/e?a=1&b=<2>");
  run.params.set(kOutput, "Cx");
  writeErrorPage(run.page(), -12, true);
  EXPECT_EQ(written(), "http://shop/e?a=1&b=<2>?NUMERR=-12");
  for (const char* other : {"D", "E", "c", ""}) {
    platform.output.clear();
    run.params.set(kOutput, other);
    writeErrorPage(run.page(), -12, true);
    EXPECT_EQ(written().substr(0, kRedirectHead.size()), kRedirectHead) << other;
  }
}

TEST_F(PagesTest, RedirectUrlLimit) {
  // 150 bytes always redirect in full.
  std::string url150(150, 'u');
  run.params.set(kErreur, url150);
  writeErrorPage(run.page(), -19, true);
  EXPECT_NE(written().find("URL=" + url150 + "?NUMERR=-19\">"), std::string::npos);
  // 167 bytes in all still fit; one more gives the error page instead.
  platform.output.clear();
  std::string fits(167 - 11, 'v');  // "?NUMERR=-19" is 11 bytes
  run.params.set(kErreur, fits);
  writeErrorPage(run.page(), -19, true);
  EXPECT_NE(written().find("URL=" + fits + "?NUMERR=-19\">"), std::string::npos);
  platform.output.clear();
  run.params.set(kErreur, fits + "v");
  writeErrorPage(run.page(), -19, true);
  std::string page = written();
  EXPECT_EQ(page.find("NUMERR"), std::string::npos);
  EXPECT_NE(page.find("KORVEN INPUT ERROR (code -19)"), std::string::npos);
}

TEST_F(PagesTest, NoServerPages) {
  writeNoServerPage(run.page(), true);
  EXPECT_EQ(written(), kHead + "<BODY>\n<CENTER><B>AUCUN SERVEUR DISPONIBLE</B></P></CENTER>\n" + kVersion +
                           kDiag + "</BODY>\n</HTML>\n");
  platform.output.clear();
  run.dialect = Dialect::kImode;
  writeNoServerPage(run.page(), true);
  EXPECT_NE(written().find("<BODY>\n<CENTER><B>AUCUN SERVEUR DISPONIBLE"), std::string::npos);
  platform.output.clear();
  run.dialect = Dialect::kWap;
  writeNoServerPage(run.page(), true);
  EXPECT_EQ(written(), kWmlHead + "<p align=\"center\"><b>AUCUN&nbsp;SERVEUR&nbsp;DISPONIBLE</b></p>\n"
                                  "</card>\n</wml>\n");
}

TEST_F(PagesTest, NoServerPageInTraceMode) {
  run.params.set(kTrace, "1");
  writeNoServerPage(run.page(), true);
  EXPECT_EQ(written(), "") << "the trace page is the whole response";
  run.dialect = Dialect::kImode;
  writeNoServerPage(run.page(), true);
  EXPECT_EQ(written(), "");
  run.dialect = Dialect::kWap;
  writeNoServerPage(run.page(), true);
  EXPECT_EQ(written().substr(0, kWmlHead.size()), kWmlHead);
}

TEST_F(PagesTest, DiagnosticBlockFlushesFirst) {
  pagePrint(run.out, "before\n");
  writeDiagnosticBlock(run.out);
  // The fake command writes straight to the output: it must land after
  // "before" and the block's opening line.
  EXPECT_EQ(written(), "before\n<br><CENTER><B>\n" + std::string(kFakeUname) + "</B></CENTER>\n");
}

}  // namespace
}  // namespace revozi

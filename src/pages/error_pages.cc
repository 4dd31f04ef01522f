#include "pages/error_pages.h"

#include <string>

#include "pages/texts.h"
#include "params/text.h"
#include "params/validate.h"
#include "params/version.h"

namespace revozi {

namespace {

void writeWmlCard(PageOutput& out, std::string_view message) {
  pagePrint(out, kWmlPrologue);
  pagePrint(out, "<template>\n<do type=\"prev\" label=\"Retour\"><prev/></do>\n</template>\n");
  pagePrint(out, kWmlCard);
  pagePrint(out, "<p align=\"center\"><b>%s</b></p>\n", message);
  pagePrint(out, kWmlEnd);
}

// An address the shopper may be sent to: a web address (http:// or https://,
// scheme letters in any case) or one without a scheme, relative or
// scheme-relative, the empty one included. Anything else with a ':' before
// its first '/', '?' or '#' is another scheme (javascript:, data:) or, in
// output mode C where the caller takes the text for a header, a header line.
bool isRedirectAddress(std::string_view url) {
  if (startsWithIgnoringCase(url, "http://") || startsWithIgnoringCase(url, "https://")) return true;
  return url.substr(0, url.find_first_of("/?#")).find(':') == std::string_view::npos;
}

void writeHtmlErrorPage(const Page& page, int code, bool showHost) {
  pagePrint(page.out, kHtmlHead);
  // The i-mode page has no body tag of its own, but the same page end.
  if (page.dialect == Dialect::kHtml) pagePrint(page.out, "<BODY>\n");
  pagePrint(page.out, "<CENTER><P><B>%s</B></P></CENTER>\n", inputErrorText(code));
  writeVersionLine(page.out);
  if (showHost) writeDiagnosticBlock(page.out);
  pagePrint(page.out, kPageEnd);
}

}  // namespace

std::string inputErrorText(int code) { return "KORVEN INPUT ERROR (code " + std::to_string(code) + ")"; }

void writeCommentLine(PageOutput& out) { pagePrint(out, kCommentLine, kProgramVersion); }

void writeVersionLine(PageOutput& out) {
  pagePrint(out, "<CENTER><B>Version %s - %s</B></CENTER>\n", kBuildNumber, kSourcesLabel);
}

void writeDiagnosticBlock(PageOutput& out) {
  static constexpr const char* kUname[] = {"uname", "-a", nullptr};
  pagePrint(out, "<br><CENTER><B>\n");
  out.runProgram(kUname);
  pagePrint(out, "</B></CENTER>\n");
}

void writeRedirectPage(const Page& page, std::string_view redirectUrl) {
  PageOutput& out = page.out;
  std::string_view output = page.params.text(kOutput);
  if (!output.empty() && output.front() == 'C') {
    // The bare URL for a caller that redirects by itself: not markup.
    pagePrint(out, "%s", redirectUrl);
    return;
  }
  pagePrint(out, kHtmlHeaders);
  pagePrint(out, "<HEAD>\n<META HTTP-EQUIV=\"refresh\" CONTENT=\"0;URL=%s\">\n</HEAD>\n<HTML>\n<BODY",
            Html{redirectUrl});
  if (page.dialect == Dialect::kImode) {
    pagePrint(out, "><CENTER>\n");
    writeCommentLine(out);
    pagePrint(out, "</CENTER>");
    pagePrint(out, kPageEnd);
    return;
  }
  std::string_view background = page.params.text(kBkgd);
  if (!background.empty()) {
    if (background.find('.') != std::string_view::npos) {
      pagePrint(out, " BACKGROUND='%s'", Html{background});
    } else {
      pagePrint(out, " BGCOLOR='%s'", Html{background});
    }
  }
  pagePrint(out, "><CENTER>\n");
  writeCommentLine(out);
  pagePrint(out, "</CENTER>\n<A HREF='#TOP' ONCLICK=\"history.go(-2);\">Retour</A>\n");
  pagePrint(out, kPageEnd);
}

void writeErrorPage(const Page& page, int code, bool showHost) {
  if (page.dialect == Dialect::kWap) {
    // WAP errors never redirect.
    writeWmlCard(page.out, "KORVEN&nbsp;INPUT&nbsp;ERROR&nbsp;(code " + std::to_string(code) + ")");
    return;
  }
  // A control byte could end the redirect's line and start headers or a
  // body of the sender's choosing: such an address gets the error page, as
  // do an address of another kind than a web or relative one and one too
  // long for the redirect (all possible before KWT_ERREUR has been
  // validated, or when validation did not run).
  const ParamTable& params = page.params;
  if (params.present(kErreur) && !hasControlByte(params.text(kErreur)) &&
      isRedirectAddress(params.text(kErreur))) {
    std::string url(params.text(kErreur));
    url += "?NUMERR=";
    url += std::to_string(code);
    if (url.size() <= kRedirectUrlMax) {
      writeRedirectPage(page, url);
      return;
    }
  }
  writeHtmlErrorPage(page, code, showHost);
}

void writeNoServerPage(const Page& page, bool showHost) {
  if (page.dialect == Dialect::kWap) {
    writeWmlCard(page.out, "AUCUN&nbsp;SERVEUR&nbsp;DISPONIBLE");
    return;
  }
  // In trace mode the trace page, complete with its page end, is the whole
  // response.
  if (!page.params.empty(kTrace)) return;
  pagePrint(page.out, kHtmlHeadAndBody);
  pagePrint(page.out, "<CENTER><B>AUCUN SERVEUR DISPONIBLE</B></P></CENTER>\n");
  writeVersionLine(page.out);
  if (showHost) writeDiagnosticBlock(page.out);
  pagePrint(page.out, kPageEnd);
}

}  // namespace revozi

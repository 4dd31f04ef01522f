#include "pages/error_pages.h"

#include <string>

#include "params/sources.h"
#include "params/validate.h"

namespace revozi {

namespace {

void writeVersionLine(Run& run) {
  pagePrint(run.out, "<CENTER><B>Version %s - %s</B></CENTER>\n", kBuildNumber, kSourcesLabel);
}

void writeWmlHead(Run& run) {
  pagePrint(run.out, "Content-type: text/vnd.wap.wml\n\n");
  pagePrint(run.out, "<?xml version=\"1.0\"?>\n");
  pagePrint(run.out, kWmlDoctype);
  pagePrint(run.out, "<wml>\n");
  pagePrint(run.out, "<template>\n");
  pagePrint(run.out, "<do type=\"prev\" label=\"Retour\"><prev/></do>\n");
  pagePrint(run.out, "</template>\n");
  pagePrint(run.out, "<card id=\"card1\" title=\"Korven Services\">\n");
}

void writeWmlEnd(Run& run) {
  pagePrint(run.out, "</card>\n");
  pagePrint(run.out, "</wml>\n");
}

void writeHtmlErrorPage(Run& run, int code) {
  pagePrint(run.out, kHtmlHead);
  // The i-mode page has no body tag of its own, but the same page end.
  if (run.dialect == Dialect::kHtml) pagePrint(run.out, "<BODY>\n");
  pagePrint(run.out, "<CENTER><P><B>KORVEN INPUT ERROR (code %d)</B></P></CENTER>\n", code);
  writeVersionLine(run);
  if (!run.locked) writeDiagnosticBlock(run);
  pagePrint(run.out, kPageEnd);
}

void writeWmlErrorCard(Run& run, int code) {
  writeWmlHead(run);
  pagePrint(run.out, "<p align=\"center\"><b>KORVEN&nbsp;INPUT&nbsp;ERROR&nbsp;(code %d)</b></p>\n", code);
  writeWmlEnd(run);
}

}  // namespace

void writeDiagnosticBlock(Run& run) {
  pagePrint(run.out, "<br><CENTER><B>\n");
  // Everything written so far must reach the output before the command's line.
  run.out.flush();
  run.platform.runShell("uname -a");
  pagePrint(run.out, "</B></CENTER>\n");
}

void writeRedirectPage(Run& run, std::string_view redirectUrl) {
  std::string_view output = run.params.text(kOutput);
  if (!output.empty() && output.front() == 'C') {
    // The bare URL for a caller that redirects by itself: not markup.
    pagePrint(run.out, "%s", redirectUrl);
    return;
  }
  pagePrint(run.out,
            "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n<HEAD>\n");
  pagePrint(run.out, "<META HTTP-EQUIV=\"refresh\" CONTENT=\"0;URL=%s\">", Html{redirectUrl});
  if (run.dialect == Dialect::kImode) {
    pagePrint(run.out, "\n</HEAD>\n<HTML>\n<BODY><CENTER>\n");
    pagePrint(run.out, kCommentLine, "KORVEN", kProgramVersion);
    pagePrint(run.out, "</CENTER>");
    pagePrint(run.out, kPageEnd);
    return;
  }
  pagePrint(run.out, "\n</HEAD>\n<HTML>\n<BODY");
  std::string_view background = run.params.text(kBkgd);
  if (!background.empty()) {
    if (background.find('.') != std::string_view::npos) {
      pagePrint(run.out, " BACKGROUND='%s'", Html{background});
    } else {
      pagePrint(run.out, " BGCOLOR='%s'", Html{background});
    }
  }
  pagePrint(run.out, "><CENTER>\n");
  pagePrint(run.out, kCommentLine, "KORVEN", kProgramVersion);
  pagePrint(run.out, "</CENTER>\n");
  pagePrint(run.out, "<A HREF='#TOP' ONCLICK=\"history.go(-2);\">Retour</A>\n");
  pagePrint(run.out, kPageEnd);
}

void writeErrorPage(Run& run, int code) {
  if (run.dialect == Dialect::kWap) {
    // WAP errors never redirect.
    writeWmlErrorCard(run, code);
    return;
  }
  // A control byte could end the redirect's line and start headers or a
  // body of the sender's choosing: such an address gets the error page, as
  // does one too long for the redirect (both possible before KWT_ERREUR has
  // been validated, or when validation did not run).
  if (run.params.present(kErreur) && !hasControlByte(run.params.text(kErreur))) {
    std::string url(run.params.text(kErreur));
    url += "?NUMERR=";
    url += std::to_string(code);
    if (url.size() <= kRedirectUrlMax) {
      writeRedirectPage(run, url);
      return;
    }
  }
  writeHtmlErrorPage(run, code);
}

void writeNoServerPage(Run& run) {
  if (run.dialect == Dialect::kWap) {
    writeWmlHead(run);
    pagePrint(run.out, "<p align=\"center\"><b>AUCUN&nbsp;SERVEUR&nbsp;DISPONIBLE</b></p>\n");
    writeWmlEnd(run);
    return;
  }
  // In trace mode the trace page, complete with its page end, is the whole
  // response.
  if (!run.params.empty(kTrace)) return;
  pagePrint(run.out, kHtmlHead);
  pagePrint(run.out, "<BODY>\n");
  pagePrint(run.out, "<CENTER><B>AUCUN SERVEUR DISPONIBLE</B></P></CENTER>\n");
  writeVersionLine(run);
  if (!run.locked) writeDiagnosticBlock(run);
  pagePrint(run.out, kPageEnd);
}

}  // namespace revozi

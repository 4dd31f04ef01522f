#include "pages/payment_page.h"

#include <string>

#include "datablock/encode.h"
#include "pages/error_pages.h"
#include "params/sources.h"

namespace revozi {

namespace {

void writeHtmlHead(Run& run, char mode) {
  const ParamTable& p = run.params;
  pagePrint(run.out, kHtmlHead);
  pagePrint(run.out, "<BODY");
  // Presence is enough: a present but empty value writes an empty colour.
  if (p.present(kBkgd)) {
    std::string_view background = p.text(kBkgd);
    if (background.find('.') != std::string_view::npos) {
      pagePrint(run.out, " BACKGROUND=\"%s\"", Html{background});
    } else {
      pagePrint(run.out, " BGCOLOR= \"%s\"", Html{background});
    }
  }
  std::string_view delay = submitDelay(p);
  if (!delay.empty()) {
    pagePrint(run.out, " onload=\"setTimeout('document.KORVEN.submit()',%s)\"", delay);
  } else if (mode == 'E') {
    pagePrint(run.out, " onload=\"document.KORVEN.submit();\"");
  }
  pagePrint(run.out, "><CENTER>\n");
  if (!p.empty(kTxt)) {
    pagePrint(run.out, "<br> %s", Html{p.text(kTxt)});
  } else {
    pagePrint(run.out,
              "<b><br> connexion en cours <br> sur le serveur de paiement s&eacute;curis&eacute;... </b>");
  }
}

void writeImodeHead(Run& run) {
  const ParamTable& p = run.params;
  pagePrint(run.out, kHtmlHead);
  pagePrint(run.out, "<BODY>\n");
  pagePrint(run.out, "<CENTER>\n");
  pagePrint(run.out, "<br>\n");
  if (!p.empty(kTxt)) {
    pagePrint(run.out, "%s", Html{p.text(kTxt)});
  } else {
    pagePrint(run.out,
              "connexion en cours <br> sur le serveur de paiement <b>s&eacute;curis&eacute;... </b>");
  }
}

// HTML and i-mode share everything after the head.
void writeHtmlForm(Run& run, char mode, std::string_view serverUrl) {
  const ParamTable& p = run.params;
  if (mode == 'D') {
    pagePrint(run.out, "%s\n", encodeDataBlock(p));
    return;
  }
  pagePrint(run.out, kCommentLine, "KORVEN", kProgramVersion);
  pagePrint(run.out, "<Form name=KORVEN Action='%s' Method=POST>\n", Html{serverUrl});
  pagePrint(run.out, "<INPUT TYPE=hidden NAME=KWT_DATA VALUE='%s'>\n", encodeDataBlock(p));
  for (int i = 0; i < kParamCount; ++i) {
    if (!p.entry(i).forward || p.empty(i)) continue;
    pagePrint(run.out, "<INPUT TYPE=hidden name=%s value='%s'>\n", p.entry(i).name, Html{p.text(i)});
  }
  if (mode == 'C') return;  // the caller closes the form itself
  if (p.text(kBoutpi) == "nul") return;
  pagePrint(run.out, "<INPUT TYPE=SUBMIT VALUE='");
  std::string_view label = "KORVEN";
  if (!p.empty(kBouton)) {
    label = trimText(p.text(kBouton));
  } else if (!p.empty(kBoutpi)) {
    label = p.text(kBoutpi);
  }
  pagePrint(run.out, "%s", Html{label});
  pagePrint(run.out, "'>\n</FORM>\n");
  pagePrint(run.out, "</CENTER>");
  if (mode == 'A' || mode == 'E') pagePrint(run.out, kPageEnd);
}

void writeWmlDeck(Run& run, char mode, std::string_view serverUrl) {
  const ParamTable& p = run.params;
  bool complete = mode == 'A' || mode == 'E';
  if (complete) {
    pagePrint(run.out, "Content-type: text/vnd.wap.wml\n\n");
    pagePrint(run.out, "<?xml version=\"1.0\"?>\n");
    pagePrint(run.out, kWmlDoctype);
    pagePrint(run.out, "<wml>\n");
    pagePrint(run.out, "<card id=\"card1\" title=\"Korven Services\">\n");
    pagePrint(run.out, "<p>\n");
    if (!p.empty(kTxt)) {
      pagePrint(run.out, "<br/>%s", Wml{p.text(kTxt)});
    } else {
      pagePrint(run.out, "connexion sur le serveur de paiement <b>s&#233;curis&#233;...</b>\n");
    }
    pagePrint(run.out, "</p>\n");
  }
  if (mode == 'D') {
    pagePrint(run.out, "%s\n", encodeDataBlock(p));
    return;
  }
  pagePrint(run.out, "<p>\n");
  pagePrint(run.out, kCommentLine, "KORVEN", kProgramVersion);
  pagePrint(run.out, "</p>\n");
  pagePrint(run.out, "<p>\n");
  pagePrint(run.out, "<do type=\"accept\" label=\"OK\">\n");
  pagePrint(run.out, "<go href=\"%s\" method=\"post\">\n", Wml{serverUrl});
  pagePrint(run.out, "<postfield name=\"KWT_DATA\" value=\"%s\"/>\n", encodeDataBlock(p));
  for (int i = 0; i < kParamCount; ++i) {
    if (!p.entry(i).forward || p.empty(i)) continue;
    pagePrint(run.out, "<postfield name=\"%s\" value=\"%s\"/>\n", p.entry(i).name, Wml{p.text(i)});
  }
  pagePrint(run.out, "</go>\n");
  pagePrint(run.out, "</do>\n");
  pagePrint(run.out, "</p>\n");
  if (complete) {
    pagePrint(run.out, "</card>\n");
    pagePrint(run.out, "</wml>\n");
  }
}

}  // namespace

char outputMode(const ParamTable& table) {
  std::string_view v = table.text(kOutput);
  if (!v.empty() && v.front() >= 'A' && v.front() <= 'E') return v.front();
  return 'E';
}

std::string_view submitDelay(const ParamTable& table) {
  std::string_view v = table.text(kWait);
  if (v.empty() || v.size() > 9) return {};
  for (char c : v) {
    if (c < '0' || c > '9') return {};
  }
  return v;
}

void writePaymentPage(Run& run, std::string_view serverUrl) {
  char mode = outputMode(run.params);
  bool complete = mode == 'A' || mode == 'E';
  switch (run.dialect) {
    case Dialect::kHtml:
      if (complete) writeHtmlHead(run, mode);
      writeHtmlForm(run, mode, serverUrl);
      break;
    case Dialect::kImode:
      if (complete) writeImodeHead(run);
      writeHtmlForm(run, mode, serverUrl);
      break;
    case Dialect::kWap:
      writeWmlDeck(run, mode, serverUrl);
      break;
  }
}

}  // namespace revozi

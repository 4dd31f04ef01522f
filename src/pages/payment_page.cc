#include "pages/payment_page.h"

#include <string>

#include "datablock/encode.h"
#include "pages/error_pages.h"
#include "pages/texts.h"
#include "params/sources.h"

namespace revozi {

namespace {

// The forwarded parameters that have a value, in table order, as hidden
// fields of the dialect.
void writeForwardedFields(const Page& page) {
  const ParamTable& p = page.params;
  for (int i = 0; i < kParamCount; ++i) {
    if (!p.entry(i).forward || p.empty(i)) continue;
    if (page.dialect == Dialect::kWap) {
      pagePrint(page.out, "<postfield name=\"%s\" value=\"%s\"/>\n", p.entry(i).name, Wml{p.text(i)});
    } else {
      pagePrint(page.out, "<INPUT TYPE=hidden name=%s value='%s'>\n", p.entry(i).name, Html{p.text(i)});
    }
  }
}

void writeHtmlHead(const Page& page, char mode) {
  const ParamTable& p = page.params;
  PageOutput& out = page.out;
  pagePrint(out, kHtmlHead);
  pagePrint(out, "<BODY");
  // Presence is enough: a present but empty value writes an empty colour.
  if (p.present(kBkgd)) {
    std::string_view background = p.text(kBkgd);
    if (background.find('.') != std::string_view::npos) {
      pagePrint(out, " BACKGROUND=\"%s\"", Html{background});
    } else {
      pagePrint(out, " BGCOLOR= \"%s\"", Html{background});
    }
  }
  std::string_view delay = submitDelay(p);
  if (!delay.empty()) {
    pagePrint(out, " onload=\"setTimeout('document.KORVEN.submit()',%s)\"", delay);
  } else if (mode == 'E') {
    pagePrint(out, " onload=\"document.KORVEN.submit();\"");
  }
  pagePrint(out, "><CENTER>\n");
  if (!p.empty(kTxt)) {
    pagePrint(out, "<br> %s", Html{p.text(kTxt)});
  } else {
    pagePrint(out,
              "<b><br> connexion en cours <br> sur le serveur de paiement s&eacute;curis&eacute;... </b>");
  }
}

void writeImodeHead(const Page& page) {
  const ParamTable& p = page.params;
  PageOutput& out = page.out;
  pagePrint(out, kHtmlHeadAndBody);
  pagePrint(out, "<CENTER>\n<br>\n");
  if (!p.empty(kTxt)) {
    pagePrint(out, "%s", Html{p.text(kTxt)});
  } else {
    pagePrint(out,
              "connexion en cours <br> sur le serveur de paiement <b>s&eacute;curis&eacute;... </b>");
  }
}

// HTML and i-mode share everything after the head.
void writeHtmlForm(const Page& page, char mode, std::string_view serverUrl) {
  const ParamTable& p = page.params;
  PageOutput& out = page.out;
  if (mode == 'D') {
    pagePrint(out, "%s\n", encodeDataBlock(p));
    return;
  }
  writeCommentLine(out);
  pagePrint(out, "<Form name=KORVEN Action='%s' Method=POST>\n", Html{serverUrl});
  pagePrint(out, "<INPUT TYPE=hidden NAME=KWT_DATA VALUE='%s'>\n", encodeDataBlock(p));
  writeForwardedFields(page);
  if (mode == 'C') return;  // the caller closes the form itself
  if (p.text(kBoutpi) == "nul") return;
  pagePrint(out, "<INPUT TYPE=SUBMIT VALUE='");
  std::string_view label = "KORVEN";
  if (!p.empty(kBouton)) {
    label = trimText(p.text(kBouton));
  } else if (!p.empty(kBoutpi)) {
    label = p.text(kBoutpi);
  }
  pagePrint(out, "%s", Html{label});
  pagePrint(out, "'>\n</FORM>\n");
  pagePrint(out, "</CENTER>");
  if (mode == 'A' || mode == 'E') pagePrint(out, kPageEnd);
}

void writeWmlDeck(const Page& page, char mode, std::string_view serverUrl) {
  const ParamTable& p = page.params;
  PageOutput& out = page.out;
  bool complete = mode == 'A' || mode == 'E';
  if (complete) {
    pagePrint(out, kWmlPrologue);
    pagePrint(out, kWmlCard);
    pagePrint(out, "<p>\n");
    if (!p.empty(kTxt)) {
      pagePrint(out, "<br/>%s", Wml{p.text(kTxt)});
    } else {
      pagePrint(out, "connexion sur le serveur de paiement <b>s&#233;curis&#233;...</b>\n");
    }
    pagePrint(out, "</p>\n");
  }
  if (mode == 'D') {
    pagePrint(out, "%s\n", encodeDataBlock(p));
    return;
  }
  pagePrint(out, "<p>\n");
  writeCommentLine(out);
  pagePrint(out, "</p>\n<p>\n<do type=\"accept\" label=\"OK\">\n");
  pagePrint(out, "<go href=\"%s\" method=\"post\">\n", Wml{serverUrl});
  pagePrint(out, "<postfield name=\"KWT_DATA\" value=\"%s\"/>\n", encodeDataBlock(p));
  writeForwardedFields(page);
  pagePrint(out, "</go>\n</do>\n</p>\n");
  if (complete) pagePrint(out, kWmlEnd);
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

void writePaymentPage(const Page& page, std::string_view serverUrl) {
  char mode = outputMode(page.params);
  bool complete = mode == 'A' || mode == 'E';
  switch (page.dialect) {
    case Dialect::kHtml:
      if (complete) writeHtmlHead(page, mode);
      writeHtmlForm(page, mode, serverUrl);
      break;
    case Dialect::kImode:
      if (complete) writeImodeHead(page);
      writeHtmlForm(page, mode, serverUrl);
      break;
    case Dialect::kWap:
      writeWmlDeck(page, mode, serverUrl);
      break;
  }
}

}  // namespace revozi

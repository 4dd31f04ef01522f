// The constant texts of the pages, each written in one place only.
#pragma once

#include <cstddef>

namespace revozi {

// The CGI header lines of every HTML response (each ends with a bare line
// feed), and the empty line that ends them.
#define REVOZI_HTML_HEADERS \
  "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
inline constexpr char kHtmlHeaders[] = REVOZI_HTML_HEADERS;
inline constexpr char kHtmlHead[] = REVOZI_HTML_HEADERS "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n";
inline constexpr char kHtmlHeadAndBody[] =
    REVOZI_HTML_HEADERS "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n<BODY>\n";
#undef REVOZI_HTML_HEADERS
inline constexpr char kPageEnd[] = "</BODY>\n</HTML>\n";

// The WML deck's header and prologue, up to the deck's first element.
inline constexpr char kWmlPrologue[] =
    "Content-type: text/vnd.wap.wml\n\n"
    "<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" "
    "\"http://www.wapforum.org/DTD/wml_1.1.xml\">\n"
    "<wml>\n";
inline constexpr char kWmlCard[] = "<card id=\"card1\" title=\"Korven Services\">\n";
inline constexpr char kWmlEnd[] = "</card>\n</wml>\n";

// The comment every page and fragment carries, with the program's version.
inline constexpr char kCommentLine[] = "<!-- KORVEN REVOZI.CGI %s -->\n";

// The redirect URL may hold at most this many bytes.
inline constexpr std::size_t kRedirectUrlMax = 167;

}  // namespace revozi

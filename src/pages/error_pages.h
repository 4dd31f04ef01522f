// Every response other than the payment page: the error page, the redirect to
// the merchant's error URL, the no-server page, and the diagnostic block.
#pragma once

#include "driver/run.h"

namespace revozi {

// Texts shared by the pages.
inline constexpr char kHtmlHead[] =
    "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
    "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n";
inline constexpr char kCommentLine[] = "<!-- %s REVOZI.CGI %s -->\n";
inline constexpr char kWmlDoctype[] =
    "<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" "
    "\"http://www.wapforum.org/DTD/wml_1.1.xml\">\n";
inline constexpr char kPageEnd[] = "</BODY>\n</HTML>\n";
inline constexpr char kSourcesLabel[] = "Sources 4.10";
inline constexpr char kProgramVersion[] = "v401";

// The redirect URL may hold at most this many bytes.
inline constexpr std::size_t kRedirectUrlMax = 167;

// The error page or the redirect for `code`, in the run's dialect.
void writeErrorPage(Run& run, int code);
// Writes the redirect to `redirectUrl` (KWT_ERREUR with ?NUMERR=).
void writeRedirectPage(Run& run, std::string_view redirectUrl);
// The response when no payment server answered.
void writeNoServerPage(Run& run);
// "uname -a" of the serving host between two markup lines.
void writeDiagnosticBlock(Run& run);

}  // namespace revozi

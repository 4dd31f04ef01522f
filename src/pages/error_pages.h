// Every response other than the payment page: the error page, the redirect to
// the merchant's error URL, the no-server page, and the host diagnostic.
#pragma once

#include <string>
#include <string_view>

#include "pages/page_output.h"

namespace revozi {

// "KORVEN INPUT ERROR (code N)": the words of the error page, also written
// after a ping report when a source failed.
std::string inputErrorText(int code);

// The error page or the redirect for `code`, in the page's dialect; with
// `showHost` the error page carries the host diagnostic.
void writeErrorPage(const Page& page, int code, bool showHost);
// Writes the redirect to `redirectUrl` (KWT_ERREUR with ?NUMERR=).
void writeRedirectPage(const Page& page, std::string_view redirectUrl);
// The response when no payment server answered.
void writeNoServerPage(const Page& page, bool showHost);
// "uname -a" of the serving host between two markup lines.
void writeDiagnosticBlock(PageOutput& out);

// The pages' comment line and the error pages' version line.
void writeCommentLine(PageOutput& out);
void writeVersionLine(PageOutput& out);

}  // namespace revozi

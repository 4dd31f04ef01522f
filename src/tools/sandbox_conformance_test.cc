#include "tools/sandbox_conformance.h"

#include <gtest/gtest.h>

namespace revozi::sandbox {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

TEST(SandboxConformance, FirstFormGivesActionAndInputsDecoded) {
  struct Case {
    std::string html, action;
    Fields fields;
  } cases[] = {
      {"<p>no form</p>", "", {}},
      {"<form method=\"post\" action=\"http://127.0.0.1/k.cgi?a=1&amp;b=2\">\n"
       "<input type=\"hidden\" name=\"KWT_DATA\" value=\"v401x\">\n"
       "<input type='hidden' name='KWT_EFFECTUE' value='http://h/s?order=R&#38;step=paid'>"
       "<input type=submit value=Pay></form><form action=\"/other\"><input name=\"x\" value=\"y\"></form>",
       "http://127.0.0.1/k.cgi?a=1&b=2",
       {{"KWT_DATA", "v401x"}, {"KWT_EFFECTUE", "http://h/s?order=R&step=paid"}}},
      {"<form action=/cgi-bin/revozi.cgi><input name=E value=\"&quot;&lt;&#xe9;&bogus;&\"></form>",
       "/cgi-bin/revozi.cgi",
       {{"E", "\"<\xC3\xA9&bogus;&"}}},
      {"<FORM METHOD=POST ACTION='http://127.0.0.1/k'>\n<INPUT TYPE=hidden NAME=KWT_DATA VALUE='v401'>\n"
       "<INPUT TYPE=hidden name=KWT_ANNULE value='http://h/s?a=1&amp;b'></FORM>",
       "http://127.0.0.1/k",
       {{"KWT_DATA", "v401"}, {"KWT_ANNULE", "http://h/s?a=1&b"}}},
      {"<form data-action=\"no\" action=\"yes\"><input value=\"v\" name=\"n\"><input name=\"\"", "yes", {{"n", "v"}}},
  };
  for (const Case& c : cases) {
    const PageForm form = firstForm(c.html);
    EXPECT_EQ(form.action, c.action) << c.html;
    EXPECT_EQ(form.fields, c.fields) << c.html;
  }
}

TEST(SandboxConformance, FormTargetsStayOnThePagesHostOrAreGivenWhole) {
  struct Case {
    std::string page, action, target;
  } cases[] = {
      {"http://127.0.0.1/cgi-bin/shop.cgi?step=order", "/cgi-bin/revozi.cgi", "http://127.0.0.1/cgi-bin/revozi.cgi"},
      {"http://localhost:8080", "/m", "http://localhost:8080/m"},
      {"http://127.0.0.1/a", "http://127.0.0.2/b", "http://127.0.0.2/b"},
      {"http://127.0.0.1/a", "b.cgi", ""},
      {"", "/cgi-bin/revozi.cgi", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(formTarget(c.page, c.action), c.target) << c.page << " " << c.action;
}

TEST(SandboxConformance, ExpectationsJudgeTheStatusLine) {
  struct Case {
    std::string expected, got;
    bool met;
  } cases[] = {
      {"200", "HTTP/1.1 200 OK", true},
      {"200", "HTTP/1.0 2000", false},
      {"200", "HTTP/1.1 204 No Content", false},
      {"403", "HTTP/1.1 403 Forbidden", true},
      {"403", "failed: connection refused", false},
      {"403", "not called: the sandbox calls 127.x.x.x and localhost only", false},
      {"not 403 nor 5xx", "HTTP/1.1 200 OK", true},
      {"not 403 nor 5xx", "HTTP/1.1 409 Conflict", true},
      {"not 403 nor 5xx", "HTTP/1.1 403 Forbidden", false},
      {"not 403 nor 5xx", "HTTP/1.1 500 Internal Server Error", false},
      {"not 2xx nor 5xx", "HTTP/1.1 409 Conflict", true},
      {"not 2xx nor 5xx", "HTTP/1.1 303 See Other", true},
      {"not 2xx nor 5xx", "HTTP/1.1 200 OK", false},
      {"not 2xx nor 5xx", "HTTP/1.1 502 Bad Gateway", false},
  };
  for (const Case& c : cases) EXPECT_EQ(meets(c.expected, c.got), c.met) << c.expected << " / " << c.got;
}

}  // namespace
}  // namespace revozi::sandbox

#include "tools/sandbox_conformance.h"

#include <gtest/gtest.h>

#include <map>

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

Order order(std::string cmd, std::string total) {
  Order o;
  o.data.cmd = cmd;
  o.data.total = std::move(total);
  o.data.retour = "Mt:M;Ref:R;Auto:A;Erreur:E;Trans:T;Sig:S";
  o.data.repondreA = "http://127.0.0.1/shop?order=" + cmd + "&step=notify";
  o.effectue = "http://127.0.0.1/shop?order=" + cmd + "&step=paid";
  o.refuse = "http://127.0.0.1/shop?order=" + cmd + "&step=refused";
  o.annule = "http://127.0.0.1/shop?order=" + cmd + "&step=cancelled";
  return o;
}

// Each scenario's calls as the shop's verifier sees them: the genuine ones
// and those of another order or amount verify, every forgery does not.
TEST(SandboxConformance, ScenariosSignWhatTheyClaimAndForgeWhatTheyShould) {
  ASSERT_TRUE(signing::start());
  const signing::Seed seed = signing::newSeed(), other = signing::newSeed();
  const signing::Signer signer(seed), stranger(other);
  const signing::ReturnList list = signing::parseReturnList(order("A", "").data.retour);
  struct Case {
    std::string name;
    bool verifies;
    std::string step, ref, amount, code;  // of a call that verifies
  } cases[] = {
      {"unsigned return", false, "", "", "", ""},
      {"one byte changed", false, "", "", "", ""},
      {"another key", false, "", "", "", ""},
      {"signature moved", false, "", "", "", ""},
      {"another order's signature", true, "paid", "B", "2000", "00000"},
      {"return-url injection", false, "", "", "", ""},
      {"injection, notification", false, "", "", "", ""},
      {"letters swapped", false, "", "", "", ""},
      {"unsigned notification", false, "", "", "", ""},
      {"refuse", true, "refused", "A", "1500", "00100"},
      {"cancel", true, "cancelled", "A", "1500", "00200"},
      {"notification", true, "notify", "A", "1500", "00000"},
      {"accept", true, "paid", "A", "1500", "00000"},
      {"notification twice", true, "notify", "A", "1500", "00000"},
      {"notification alone", true, "notify", "B", "2000", "00000"},
      {"changed amount, return", true, "paid", "C", "099", "00000"},
      {"changed amount, notify", true, "notify", "C", "099", "00000"},
  };
  const std::vector<Scenario> played = scenarios(order("A", "1500"), order("B", "2000"), order("C", "100"), signer,
                                                 stranger);
  ASSERT_EQ(played.size(), std::size(cases));
  for (std::size_t i = 0; i < played.size(); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(played[i].name, c.name);
    EXPECT_EQ(played[i].skipped, "") << c.name;
    ASSERT_FALSE(played[i].urls.empty()) << c.name;
    EXPECT_EQ(played[i].urls.front(), played[i].urls.back()) << c.name;
    const std::string& url = played[i].urls.front();
    const signing::Verified v =
        signing::verifyReturn(url.substr(url.find('?') + 1), list, {signing::publicKeyOf(seed)});
    EXPECT_EQ(v.ok, c.verifies) << c.name << ": " << url << " " << v.reason;
    if (!v.ok || !c.verifies) continue;
    std::map<std::string, std::string> got;
    for (const auto& variable : v.variables) got[variable.name] = variable.value;
    for (const auto& variable : v.urlVariables) got["url:" + variable.name] = variable.value;
    EXPECT_EQ(got["url:step"], c.step) << c.name;
    EXPECT_EQ(got["url:order"], c.name == "another order's signature" ? "A" : c.ref) << c.name;
    EXPECT_EQ(got["Ref"], c.ref) << c.name;
    EXPECT_EQ(got["Mt"], c.amount) << c.name;
    EXPECT_EQ(got["Erreur"], c.code) << c.name;
    EXPECT_EQ(got["Auto"].size(), c.code == "00000" ? 6u : 0u) << c.name;
  }
  // From a file, one order: the other orders' scenarios are skipped, and
  // another order's signature is this order's reference changed.
  const std::vector<Scenario> alone = scenarios(order("A", "1500"), std::nullopt, std::nullopt, signer, stranger);
  std::size_t skipped = 0;
  for (const Scenario& s : alone) skipped += s.skipped.empty() ? 0 : 1;
  EXPECT_EQ(skipped, 3u);
  const std::string& url = alone[4].urls.front();
  const signing::Verified v = signing::verifyReturn(url.substr(url.find('?') + 1), list, {signing::publicKeyOf(seed)});
  ASSERT_TRUE(v.ok) << url;
  EXPECT_EQ(v.variables[1].value, "A0");
}

}  // namespace
}  // namespace revozi::sandbox

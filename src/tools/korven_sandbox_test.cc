// The payment sandbox run as a web server runs it: explicit environment and
// body, whole output compared.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "datablock/encode.h"
#include "params/param_table.h"
#include "tests/run_module.h"

namespace revozi::testing {
namespace {

const std::string kSandbox = KORVEN_SANDBOX_PATH;

// Percent-encodes every byte but letters and digits, as a browser may.
std::string formEncode(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : value) {
    auto b = static_cast<unsigned char>(c);
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

ParamTable order(const std::string& cmd = "ORDER42") {
  ParamTable t;
  t.set(kSite, "1234567");
  t.set(kRang, "01");
  t.set(kTotal, "1500");
  t.set(kDevise, "978");
  t.set(kCmd, cmd);
  t.set(kPorteur, "shopper@example.fr");
  t.set(kRetour, "M:M");
  t.set(kIdentifiant, "7");
  return t;
}

ModuleResult post(const std::string& body, std::map<std::string, std::string> env = {}) {
  ModuleRequest r;
  r.env = std::move(env);
  r.env.emplace("REQUEST_METHOD", "POST");
  r.env.emplace("CONTENT_TYPE", "application/x-www-form-urlencoded");
  r.env.emplace("CONTENT_LENGTH", std::to_string(body.size()));
  r.input = body;
  r.timeoutSeconds = 20;
  return runProgram(kSandbox, r);
}

ModuleResult postText(const std::string& body, std::map<std::string, std::string> env = {}) {
  env.emplace("QUERY_STRING", "format=text");
  return post(body, std::move(env));
}

std::string body(const ParamTable& t, const std::string& extra = "") {
  return "KWT_DATA=" + encodeDataBlock(t) + extra;
}

const std::string kTextHeader = "Content-type: text/plain\nCache-Control: no-cache, no-store\n\n";
const std::string kBadRequest = "Status: 400 Bad Request\n";

std::string dataLines(const std::string& cmd) {
  return "data: KWT_TOTAL=1500\ndata: KWT_DEVISE=978\ndata: KWT_SITE=1234567\ndata: KWT_RANG=01\n"
         "data: KWT_PORTEUR=shopper@example.fr\ndata: KWT_CMD=" + cmd +
         "\ndata: KWT_REPONDRE_A=\ndata: KWT_RETOUR=M:M\ndata: KWT_PAIEMENT=\n"
         "data: KWT_CODEFAMILLE=\ndata: KWT_IDENTIFIANT=7\ndata: KWT_2MONT1=\ndata: KWT_DATE1=\n"
         "data: KWT_2MONT2=\ndata: KWT_DATE2=\ndata: KWT_2MONT3=\ndata: KWT_DATE3=\ndata: KWT_DIFF=\n";
}

TEST(KorvenSandbox, ValidBlockGivesEveryFieldInPlainText) {
  ModuleResult r = postText(body(order(), "&KWT_SOURCE=HTML&KWT_VERSION=221-OS+INCONNU"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kTextHeader +
                       "verdict: valid\nmessage: KWT_DATA valid: both check values verified\n" +
                       dataLines("ORDER42") +
                       "forwarded: KWT_SOURCE=HTML\nforwarded: KWT_VERSION=221-OS INCONNU\n");
}

TEST(KorvenSandbox, AwkwardBytesComeBackUnchanged) {
  // Quotes, markup characters, a percent sign, bytes of 0x80 and above and
  // control bytes: the text answer writes '%', controls and 0x7F as %XX and
  // every other byte as it is.
  const std::string cmd = "O'R\"D&E<R>%\xC3\xA9\xFF\x7F\t\n+";
  const std::string shown = "O'R\"D&E<R>%25\xC3\xA9\xFF%7F%09%0A+";
  const std::string txt = "caf\xE9 <b>&amp;</b> 'x' \"y\"";
  ModuleResult r = postText(body(order(cmd), "&KWT_TXT_NOTE=1&KWT_LANGUE=" + formEncode(txt) +
                                                 "&KWT_SOURCE=HTML"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kTextHeader +
                       "verdict: valid\nmessage: KWT_DATA valid: both check values verified\n" +
                       dataLines(shown) + "other: KWT_TXT_NOTE=1\nforwarded: KWT_LANGUE=" + txt +
                       "\nforwarded: KWT_SOURCE=HTML\n");
}

TEST(KorvenSandbox, HtmlAnswerEscapesEveryValueInIdentifiedCells) {
  const std::string cmd = "<script>alert('x')</script>&\"";
  ModuleResult r = post(body(order(cmd), "&KWT_ANNULE=" + formEncode("https://shop.example/a?x=1&y=<2>") +
                                             "&VEL_" + formEncode("<i>") + "=" + formEncode("'q'")));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Content-type: text/html\nCache-Control: no-cache, no-store\n\n<!DOCTYPE html>", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("<p id=\"verdict\" class=\"valid\"><b>valid</b>: <span id=\"message\">"
                       "KWT_DATA valid: both check values verified</span>"),
            std::string::npos);
  EXPECT_NE(r.out.find("<td id=\"data-KWT_CMD\">&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;</td>"),
            std::string::npos);
  EXPECT_NE(r.out.find("<td id=\"data-KWT_SITE\">1234567</td>"), std::string::npos);
  EXPECT_NE(r.out.find("<td id=\"data-KWT_DIFF\"></td>"), std::string::npos);
  EXPECT_NE(r.out.find("<tr class=\"forwarded\"><td id=\"field-1-name\">KWT_ANNULE</td>"
                       "<td id=\"field-1-value\">https://shop.example/a?x=1&amp;y=&lt;2&gt;</td>"),
            std::string::npos);
  // Names are shown as received (undecoded) and escaped as well.
  EXPECT_NE(r.out.find("<tr class=\"other\"><td id=\"field-2-name\">VEL_%3Ci%3E</td>"
                       "<td id=\"field-2-value\">&#39;q&#39;</td>"),
            std::string::npos);
  EXPECT_EQ(r.out.find("<script>"), std::string::npos);
  EXPECT_EQ(r.out.find("<i>"), std::string::npos);
}

TEST(KorvenSandbox, FormatFollowsTheAcceptHeader) {
  const std::string b = body(order());
  EXPECT_EQ(post(b, {{"HTTP_ACCEPT", "text/plain"}}).out.rfind(kTextHeader, 0), 0u);
  EXPECT_EQ(post(b, {{"HTTP_ACCEPT", "Text/Plain;q=0.5, application/json"}}).out.rfind(kTextHeader, 0), 0u);
  // A browser names text/html: it gets the page.
  EXPECT_EQ(post(b, {{"HTTP_ACCEPT", "text/html,text/plain;q=0.8"}}).out.rfind("Content-type: text/html", 0), 0u);
  EXPECT_EQ(post(b, {{"HTTP_ACCEPT", "*/*"}}).out.rfind("Content-type: text/html", 0), 0u);
  EXPECT_EQ(post(b, {{"HTTP_ACCEPT", "text/plainer"}}).out.rfind("Content-type: text/html", 0), 0u);
  EXPECT_EQ(post(b, {{"QUERY_STRING", "x=1&format=text"}}).out.rfind(kTextHeader, 0), 0u);
  EXPECT_EQ(post(b, {{"QUERY_STRING", "format=texts"}}).out.rfind("Content-type: text/html", 0), 0u);
}

TEST(KorvenSandbox, GetWithTheFieldsInTheQueryString) {
  ModuleRequest r;
  r.env = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "format=text&" + body(order()) + "&KWT_DEMO=1"}};
  ModuleResult result = runProgram(kSandbox, r);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kTextHeader + "verdict: valid\nmessage: KWT_DATA valid: both check values verified\n" +
                            dataLines("ORDER42") + "forwarded: KWT_DEMO=1\n");
}

TEST(KorvenSandbox, FromAShellStandardInputIsTheBody) {
  ModuleRequest r;
  r.env = {{"QUERY_STRING", "format=text"}};
  r.input = body(order());
  ModuleResult result = runProgram(kSandbox, r);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kTextHeader + "verdict: valid\nmessage: KWT_DATA valid: both check values verified\n" +
                            dataLines("ORDER42"));
}

TEST(KorvenSandbox, MissingEmptyOrRepeatedBlockIsABadRequest) {
  struct Case {
    std::string body;
    std::string message;
    std::string fields;
  };
  const std::string block = encodeDataBlock(order());
  const Case cases[] = {
      {"", "no KWT_DATA field in the request", ""},
      {"KWT_SOURCE=HTML", "no KWT_DATA field in the request", "forwarded: KWT_SOURCE=HTML\n"},
      {"kwt_data=" + block, "no KWT_DATA field in the request", ""},
      {"VEL_DATA=" + block, "no KWT_DATA field in the request", "other: VEL_DATA=" + block + "\n"},
      {"KWT_DATA=&KWT_SOURCE=WAP", "KWT_DATA is empty", "forwarded: KWT_SOURCE=WAP\n"},
      {"KWT_DATA=" + block + "&KWT_DATA=" + block, "KWT_DATA given 2 times; the payment page sends it once", ""},
  };
  for (const Case& c : cases) {
    ModuleResult r = postText(c.body);
    EXPECT_EQ(r.status, 1) << c.body;
    EXPECT_EQ(r.out, kBadRequest + kTextHeader + "verdict: invalid\nmessage: " + c.message + "\n" + c.fields)
        << c.body;
  }
}

TEST(KorvenSandbox, BrokenBlocksAreRejectedWithTheReason) {
  const std::string block = encodeDataBlock(order());
  std::string flipped = block;
  flipped[20] = flipped[20] == 'A' ? 'B' : 'A';
  const std::string broken[] = {
      "v400" + block.substr(4),           // another prefix
      block.substr(0, block.size() - 1),  // cut short
      block + "0",                        // one character too many
      flipped,                            // a changed character
      "v401",
      "hello",
  };
  for (const std::string& b : broken) {
    ModuleResult r = postText("KWT_DATA=" + b);
    EXPECT_EQ(r.status, 1) << b;
    EXPECT_EQ(r.out.rfind(kBadRequest + kTextHeader + "verdict: invalid\nmessage: KWT_DATA invalid: ", 0), 0u)
        << r.out;
    EXPECT_EQ(r.out.find("\ndata: "), std::string::npos);
    // The HTML page says the same, with no payment table.
    ModuleResult page = post("KWT_DATA=" + b);
    EXPECT_EQ(page.out.rfind(kBadRequest + "Content-type: text/html\n", 0), 0u);
    EXPECT_NE(page.out.find("<p id=\"verdict\" class=\"invalid\"><b>invalid</b>: <span id=\"message\">KWT_DATA invalid: "),
              std::string::npos);
    EXPECT_EQ(page.out.find("payment-fields"), std::string::npos);
  }
}

TEST(KorvenSandbox, MangledBlocksNeverCrashIt) {
  const std::string block = encodeDataBlock(order("A reasonably long order reference 0123456789"));
  std::mt19937 random(20240607);
  for (int i = 0; i < 150; ++i) {
    std::string b = block;
    int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = random() % b.size();
      switch (random() % 3) {
        case 0: b[at] = static_cast<char>(random() % 256); break;
        case 1: b.erase(at, 1 + random() % 8); break;
        default: b.insert(at, std::string(1 + random() % 4, static_cast<char>('0' + random() % 43)));
      }
      if (b.empty()) b.assign(1, 'v');
    }
    ModuleResult r = postText("KWT_DATA=" + formEncode(b));
    ASSERT_TRUE(r.status == 0 || r.status == 1) << formEncode(b);
    if (r.status == 0) {
      EXPECT_EQ(r.out.rfind(kTextHeader + "verdict: valid\n", 0), 0u);
    } else {
      EXPECT_EQ(r.out.rfind(kBadRequest + kTextHeader + "verdict: invalid\n", 0), 0u) << r.out;
    }
  }
}

TEST(KorvenSandbox, RequestProblemsGetTheirOwnStatus) {
  const std::string b = body(order());
  {
    ModuleResult r = postText(b, {{"CONTENT_LENGTH", std::to_string(b.size() + 10)}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kBadRequest + kTextHeader + "verdict: invalid\nmessage: the body ended after " +
                         std::to_string(b.size()) + " of " + std::to_string(b.size() + 10) + " bytes\n");
  }
  for (const char* length : {"", "12x", "-1", " 12"}) {
    ModuleResult r = postText(b, {{"CONTENT_LENGTH", length}});
    EXPECT_EQ(r.out, kBadRequest + kTextHeader + "verdict: invalid\nmessage: POST without a valid CONTENT_LENGTH\n")
        << length;
  }
  {
    // Bytes beyond CONTENT_LENGTH are not part of the body.
    ModuleResult r = postText(b + "&KWT_DEMO=1", {{"CONTENT_LENGTH", std::to_string(b.size())}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("KWT_DEMO"), std::string::npos);
  }
  {
    ModuleResult r = postText("", {{"CONTENT_LENGTH", "1048577"}});
    EXPECT_EQ(r.out, "Status: 413 Payload Too Large\n" + kTextHeader +
                         "verdict: invalid\nmessage: the body is larger than 1 MiB\n");
  }
  {
    ModuleResult r = postText(b, {{"CONTENT_TYPE", "multipart/form-data; boundary=x"}});
    EXPECT_EQ(r.out, kBadRequest + kTextHeader +
                         "verdict: invalid\nmessage: the body is multipart/form-data; the payment form posts "
                         "application/x-www-form-urlencoded\n");
  }
  {
    ModuleResult r = postText(b, {{"CONTENT_TYPE", "Application/X-WWW-Form-Urlencoded; charset=UTF-8"}});
    EXPECT_EQ(r.status, 0);
  }
  {
    ModuleRequest req;
    req.env = {{"REQUEST_METHOD", "PUT"}, {"QUERY_STRING", "format=text"}};
    ModuleResult r = runProgram(kSandbox, req);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Status: 405 Method Not Allowed\nAllow: GET, POST\n" + kTextHeader +
                         "verdict: invalid\nmessage: method PUT not accepted: the payment page posts its form (POST)\n");
  }
}

}  // namespace
}  // namespace revozi::testing

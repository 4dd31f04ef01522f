// The payment sandbox run as a web server runs it: explicit environment and
// body, whole output compared.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <grp.h>
#include <poll.h>

#include <filesystem>
#include <random>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "datablock/encode.h"
#include "params/param_table.h"
#include "tests/loopback_listener.h"
#include "tests/run_module.h"
#include "signing/signing.h"

namespace revozi::testing {
namespace {

const std::string kSandbox = KORVEN_SANDBOX_PATH;

// A key pair and a folder for the kept notifications, made once by the
// sandbox's own command in a fresh folder.
struct Setup {
  std::string dir;
  std::string key;
  std::string publicKey;
  std::string state;
  ~Setup() {
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
};
const Setup& setup() {
  static const Setup made = [] {
    char dir[] = "/tmp/korven-sandbox-test.XXXXXX";
    Setup s;
    if (mkdtemp(dir) == nullptr) return s;
    s.dir = dir;
    s.key = s.dir + "/sandbox.key";
    s.publicKey = s.dir + "/sandbox.pub";
    s.state = s.dir + "/state";
    ModuleRequest r;
    r.args = {"--new-key", s.key};
    runProgram(kSandbox, r);
    return s;
  }();
  return made;
}

// The environment every run of the sandbox gets, beside `env`.
std::map<std::string, std::string> withKey(std::map<std::string, std::string> env) {
  env.emplace("KORVEN_SANDBOX_KEY", setup().key);
  env.emplace("KORVEN_SANDBOX_STATE", setup().state);
  return env;
}

ModuleResult run(ModuleRequest r) {
  r.env = withKey(std::move(r.env));
  r.timeoutSeconds = 20;
  return runProgram(kSandbox, r);
}

// The variables of the query of `url` signed as `retour` asks, one
// NAME=value line each (the URL's own first, as url:NAME=value), or why the
// signature does not hold.
std::string verified(const std::string& url, const std::string& retour) {
  std::string query = url.substr(std::min(url.find('?') + 1, url.size()));
  query = query.substr(0, query.find('#'));
  signing::PublicKey key;
  if (!signing::readKeyFile(setup().publicKey, key.data(), key.size()).empty()) return "no public key";
  const signing::Verified v = signing::verifyReturn(query, signing::parseReturnList(retour), {key});
  std::string lines = v.ok ? "" : v.reason + "\n";
  for (const signing::Variable& variable : v.urlVariables) lines += "url:" + variable.name + "=" + variable.value + "\n";
  for (const signing::Variable& variable : v.variables) lines += variable.name + "=" + variable.value + "\n";
  return lines;
}

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

ParamTable order(const std::string& cmd = "ORDER42", const std::string& retour = "M:M") {
  ParamTable t;
  t.set(kSite, "1234567");
  t.set(kRang, "01");
  t.set(kTotal, "1500");
  t.set(kDevise, "978");
  t.set(kCmd, cmd);
  t.set(kPorteur, "shopper@example.fr");
  t.set(kRetour, retour);
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
  return run(r);
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

// A block whose check values hold but whose fields the module's validation
// refuses is not called valid: the warning names the field and the code,
// above the answer buttons, and the exit status is 2.
TEST(KorvenSandbox, BlocksTheModuleCannotWriteAreSuspect) {
  const std::string kWarning = "this block could not have been written by the module: ";
  const struct {
    int field;
    std::string value;
    std::string refusal;
  } cases[] = {{kTotal, "1", "KWT_TOTAL fails with -11"},
               {kPorteur, "nobody.example.fr", "KWT_PORTEUR fails with -16"},
               {kIdentifiant, "x", "KWT_IDENTIFIANT fails with -8"},
               {kRetour, "", "KWT_RETOUR fails with -7"}};
  for (const auto& c : cases) {
    ParamTable t = order();
    t.set(c.field, c.value);
    ModuleResult text = postText(body(t));
    EXPECT_EQ(text.status, 2) << c.refusal;
    EXPECT_EQ(text.out.rfind(kTextHeader + "verdict: suspect\nmessage: KWT_DATA valid: both check values "
                                           "verified\nwarning: " + kWarning + c.refusal + "\ndata: ", 0),
              0u)
        << text.out;
    ModuleResult page = post(body(t));
    EXPECT_EQ(page.status, 2) << c.refusal;
    const std::size_t warning = page.out.find("<p id=\"warning\" class=\"suspect\"><b>" + kWarning + c.refusal +
                                              "</b></p>\n");
    EXPECT_NE(page.out.find("<p id=\"verdict\" class=\"suspect\"><b>suspect</b>: "), std::string::npos);
    EXPECT_LT(warning, page.out.find("<h2>Answer as the payment server</h2>")) << page.out;
  }
  ModuleResult r = postText(body(order()));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("warning"), std::string::npos);
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
  ModuleResult result = run(r);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kTextHeader + "verdict: valid\nmessage: KWT_DATA valid: both check values verified\n" +
                            dataLines("ORDER42") + "forwarded: KWT_DEMO=1\n");
}

TEST(KorvenSandbox, FromAShellStandardInputIsTheBody) {
  ModuleRequest r;
  r.env = {{"QUERY_STRING", "format=text"}};
  r.input = body(order());
  ModuleResult result = run(r);
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
    ModuleResult r = run(req);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Status: 405 Method Not Allowed\nAllow: GET, POST\n" + kTextHeader +
                         "verdict: invalid\nmessage: method PUT not accepted: the payment page posts its form (POST)\n");
  }
}

// ------------------------------------------- the payment server's answer

// The sandbox asked for an answer by GET, as its buttons do.
ModuleResult answerGet(const std::string& query, std::map<std::string, std::string> env = {}) {
  ModuleRequest r;
  r.env = std::move(env);
  r.env.emplace("REQUEST_METHOD", "GET");
  r.env.emplace("QUERY_STRING", query);
  return run(r);
}

// The value of the header or text line "label: value" ("" when none).
std::string lineValue(const std::string& out, const std::string& label) {
  const std::string text = "\n" + out;
  std::size_t at = text.find("\n" + label + ": ");
  if (at == std::string::npos) return "";
  at += label.size() + 3;
  return text.substr(at, text.find('\n', at) - at);
}

TEST(KorvenSandbox, AnswersSendTheShopperToTheReturnPageWithTheVariables) {
  struct Case {
    std::string what;
    std::string retour;
    std::string cmd;
    std::string answer;
    std::string urls;      // the forwarded return URLs, as the query string carries them
    int exitStatus;
    std::string location;  // "" when the shopper is sent nowhere
    std::string message;
  };
  const std::string merci = "&KWT_EFFECTUE=http%3A%2F%2Fshop.invalid%2Fmerci";
  const Case cases[] = {
      {"a URL without a query gets '?'", "Mt:M;Ref:R;Code:E", "ORDER42", "accept", merci, 0,
       "http://shop.invalid/merci?Mt=1500&Ref=ORDER42&Code=00000", "the shopper is sent to KWT_EFFECTUE"},
      {"a URL with a query gets '&'", "M:M;E:E", "ORDER42", "accept",
       "&KWT_EFFECTUE=" + formEncode("https://shop.invalid/pay?step=ok"), 0,
       "https://shop.invalid/pay?step=ok&M=1500&E=00000", "the shopper is sent to KWT_EFFECTUE"},
      {"a URL that ends with '?' or '&' gets nothing more", "M:M", "ORDER42", "accept",
       "&KWT_EFFECTUE=" + formEncode("HTTP://shop.invalid/pay?a=1&"), 0,
       "HTTP://shop.invalid/pay?a=1&M=1500", "the shopper is sent to KWT_EFFECTUE"},
      {"the variables go before a fragment", "M:M", "ORDER42", "accept",
       "&KWT_EFFECTUE=" + formEncode("http://shop.invalid/p#done"), 0, "http://shop.invalid/p?M=1500#done",
       "the shopper is sent to KWT_EFFECTUE"},
      {"names and values are %-encoded, the URL's odd bytes too", "m t&x:M;r=f:R;;odd;Q:Z;a:b:E",
       "A&B=C %/\xC3\xA9+'<>", "accept", "&KWT_EFFECTUE=" + formEncode("http://shop.invalid/a b\"<>\xC3\xA9%41"),
       0,
       "http://shop.invalid/a%20b%22%3C%3E%C3%A9%41?m%20t%26x=1500&r%3Df=A%26B%3DC%20%25%2F%C3%A9%2B%27%3C%3E&"
       "a%3Ab=00000",
       "the shopper is sent to KWT_EFFECTUE"},
      {"refusal: KWT_REFUSE, code 00100, no authorisation", "M:M;R:R;A:A;E:E", "ORDER42", "refuse",
       merci + "&KWT_REFUSE=http%3A%2F%2Fshop.invalid%2Frefus", 0,
       "http://shop.invalid/refus?M=1500&R=ORDER42&A=&E=00100", "the shopper is sent to KWT_REFUSE"},
      {"cancel: KWT_ANNULE, code 00200", "E:E;A:A", "ORDER42", "cancel",
       merci + "&KWT_ANNULE=http%3A%2F%2Fshop.invalid%2Fannule", 0, "http://shop.invalid/annule?E=00200&A=",
       "the shopper is sent to KWT_ANNULE"},
      {"no return URL: sent nowhere", "M:M", "ORDER42", "cancel", merci, 0, "",
       "no KWT_ANNULE in the request: no page to send the shopper to"},
      {"a header in the URL is refused", "M:M", "ORDER42", "accept",
       "&KWT_EFFECTUE=" + formEncode("http://shop.invalid/\r\nSet-Cookie: a=b"), 1, "",
       "KWT_EFFECTUE holds a control byte"},
      {"a script URL is refused", "M:M", "ORDER42", "accept", "&KWT_EFFECTUE=javascript%3Aalert(1)//http://x", 1,
       "", "KWT_EFFECTUE does not begin with http:// or https://"},
      {"a relative URL is refused", "M:M", "ORDER42", "refuse", "&KWT_REFUSE=%2Frefus.html", 1, "",
       "KWT_REFUSE does not begin with http:// or https://"},
      {"an unknown answer", "M:M", "ORDER42", "pay", merci, 1, "", "answer must be accept, refuse or cancel"},
  };
  for (const Case& c : cases) {
    const std::string block = encodeDataBlock(order(c.cmd, c.retour));
    ModuleResult r = answerGet("format=text&answer=" + c.answer + "&KWT_DATA=" + block + c.urls);
    EXPECT_EQ(r.status, c.exitStatus) << c.what;
    EXPECT_EQ(lineValue(r.out, "message"), c.message) << c.what << "\n" << r.out;
    if (c.location.empty()) {
      EXPECT_EQ(r.out.find("Location:"), std::string::npos) << c.what;
      EXPECT_EQ(r.out.find("Status: 303"), std::string::npos) << c.what;
    } else {
      EXPECT_EQ(r.out.rfind("Status: 303 See Other\nLocation: " + c.location + "\nContent-type: text/plain\n", 0), 0u)
          << c.what << "\n" << r.out;
      EXPECT_EQ(lineValue(r.out, "location"), c.location) << c.what;
    }
    // Nothing the request carries ever becomes a header line.
    EXPECT_EQ(r.out.substr(0, r.out.find("\n\n")).find("Set-Cookie"), std::string::npos) << c.what;
  }
}

TEST(KorvenSandbox, AuthorisationFromTheBlockTransactionNewForEveryAnswer) {
  const std::regex lines("return: A=([0-9]{6})?\nreturn: T=([0-9]{8})\n");
  auto numbers = [&](const std::string& cmd, const std::string& answer) {
    ModuleResult r = answerGet("format=text&answer=" + answer + "&KWT_DATA=" + encodeDataBlock(order(cmd, "A:A;T:T")));
    std::smatch m;
    if (!std::regex_search(r.out, m, lines)) return std::pair<std::string, std::string>("no numbers in:\n" + r.out, "");
    return std::pair(m[1].str(), m[2].str());
  };
  const auto first = numbers("ORDER42", "accept");
  const auto again = numbers("ORDER42", "accept");
  ASSERT_EQ(first.first.size(), 6u) << first.first;
  EXPECT_EQ(again.first, first.first);    // the same order, the same authorisation
  EXPECT_NE(again.second, first.second);  // each answer its own transaction
  EXPECT_NE(numbers("ORDER43", "accept").first, first.first);
  const auto refused = numbers("ORDER42", "refuse");
  EXPECT_EQ(refused.first, "");
  EXPECT_NE(refused.second, first.second);
}

TEST(KorvenSandbox, ReturnsAreSignedInTheirLastVariable) {
  struct Case {
    std::string what;
    std::string retour;
    std::string url;       // KWT_EFFECTUE
    std::string unsigned_; // the location without a signature; "" when signed
    std::string signedPart;  // signed: the location up to the signature's value
    std::string fragment;
    std::string variables;   // what the verifier reads
  };
  const Case cases[] = {
      {"only the signature: nothing signed", "Sig:S", "http://shop.invalid/p", "", "http://shop.invalid/p?Sig=", "",
       ""},
      {"the URL's own query is not signed", "M:M;Sig:S", "http://shop.invalid/p?step=paid", "",
       "http://shop.invalid/p?step=paid&M=1500&Sig=", "", "url:step=paid\nM=1500\n"},
      {"a URL ending with '&'", "Sig:S", "http://shop.invalid/p?a=1&", "", "http://shop.invalid/p?a=1&Sig=", "",
       "url:a=1\n"},
      {"a URL ending with '?'", "M:M;Sig:S;", "http://shop.invalid/p?", "", "http://shop.invalid/p?M=1500&Sig=", "",
       "M=1500\n"},
      {"quotes a browser would encode, a fragment", "M:M;Sig:S", "http://shop.invalid/p?x='y'#top", "",
       "http://shop.invalid/p?x=%27y%27&M=1500&Sig=", "#top", "url:x='y'\nM=1500\n"},
      {"another name", "M:M;my sig:S", "http://shop.invalid/p", "", "http://shop.invalid/p?M=1500&my%20sig=", "", ""},
      {"no signature item", "M:M", "http://shop.invalid/p", "http://shop.invalid/p?M=1500", "", "", ""},
      {"the signature not last", "Sig:S;M:M", "http://shop.invalid/p", "http://shop.invalid/p?M=1500", "", "", ""},
      {"two signatures", "A:S;M:M;Sig:S", "http://shop.invalid/p", "http://shop.invalid/p?M=1500", "", "", ""},
  };
  for (const Case& c : cases) {
    const std::string query = "format=text&answer=accept&KWT_DATA=" + encodeDataBlock(order("ORDER42", c.retour)) +
                              "&KWT_EFFECTUE=" + formEncode(c.url);
    const ModuleResult r = answerGet(query);
    const std::string location = lineValue(r.out, "location");
    if (!c.unsigned_.empty()) {
      EXPECT_EQ(location, c.unsigned_) << c.what;
      EXPECT_EQ(lineValue(r.out, "unsigned"), "This return is not signed: a shop must refuse it.") << c.what;
      EXPECT_EQ(lineValue(r.out, "signature"), "") << c.what;
      continue;
    }
    EXPECT_EQ(lineValue(r.out, "unsigned"), "") << c.what;
    ASSERT_EQ(location.rfind(c.signedPart, 0), 0u) << c.what << "\n" << r.out;
    EXPECT_EQ(location.size(), c.signedPart.size() + 86 + c.fragment.size()) << c.what;
    EXPECT_EQ(location.substr(location.size() - c.fragment.size()), c.fragment) << c.what;
    if (c.what != "another name") {
      EXPECT_EQ(verified(location, c.retour), c.variables) << c.what;
    }
  }
  // The page says the same in words.
  ModuleResult page = post(body(order("ORDER42", "M:M")));
  EXPECT_NE(page.out.find("<p id=\"signature\" class=\"invalid\"><b>This return is not signed: a shop must refuse "
                          "it.</b>"),
            std::string::npos);
}

TEST(KorvenSandbox, WithoutItsPrivateKeyEveryRequestGetsAnErrorPage) {
  const std::string junk = setup().dir + "/junk.key";
  std::ofstream(junk) << "not a key\n";
  struct Case {
    std::string key;
    std::string why;
  };
  const std::string create = ". Create the sandbox's key pair from a shell with korven-sandbox.cgi --new-key "
                             "and name its private key file in KORVEN_SANDBOX_KEY";
  const std::string loose = setup().dir + "/loose.key";
  std::filesystem::copy_file(setup().key, loose, std::filesystem::copy_options::overwrite_existing);
  chmod(loose.c_str(), 0644);
  const Case cases[] = {
      {setup().dir + "/none.key", "cannot open " + setup().dir + "/none.key: No such file or directory" + create},
      {setup().dir, setup().dir + " is not a regular file" + create},
      {junk, junk + " is not a key file (one line of 43 base64url characters)" + create},
      {loose, "the private key " + loose + " may be read by every user (mode 0644); make it private with chmod o-rwx " +
                  loose},
  };
  for (const Case& c : cases) {
    ModuleRequest r;
    r.env = {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "0"}, {"QUERY_STRING", "format=text"},
             {"KORVEN_SANDBOX_KEY", c.key}};
    const ModuleResult result = run(r);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Status: 500 Internal Server Error\n" + kTextHeader +
                              "verdict: invalid\nmessage: no signing key: " + c.why + "\n");
  }
}

TEST(KorvenSandbox, ButtonsCarryTheRequestToTheAnswer) {
  // The valid page's links, followed as a browser would: the same return URL
  // as when the fields are posted with the answer, non-ASCII bytes and all.
  const std::string block = encodeDataBlock(order("R\xC3\xA9" "f <1>", "Mt:M;Ref:R;E:E"));
  const std::string urls = "&KWT_EFFECTUE=" + formEncode("http://shop.invalid/merci?l=fr&x=\xC3\xA9'\"") +
                           "&KWT_REFUSE=" + formEncode("http://shop.invalid/refus") +
                           "&KWT_ANNULE=" + formEncode("https://shop.invalid/annule#top");
  ModuleResult page = post("KWT_DATA=" + block + urls);
  ASSERT_EQ(page.status, 0);
  for (const char* answer : {"accept", "refuse", "cancel"}) {
    std::smatch m;
    const std::regex link(std::string("<a class=\"button\" id=\"answer-") + answer + "\" href=\"\\?([^\"]*)\">");
    ASSERT_TRUE(std::regex_search(page.out, m, link)) << answer;
    std::string query = std::regex_replace(m[1].str(), std::regex("&amp;"), "&");
    ModuleResult followed = answerGet(query);
    ModuleResult posted = postText("KWT_DATA=" + block + urls, {{"QUERY_STRING", std::string("answer=") + answer}});
    std::string location = lineValue(followed.out, "Location");
    EXPECT_EQ(followed.out.rfind("Status: 303 See Other\n", 0), 0u) << answer << followed.out;
    EXPECT_EQ(location, lineValue(posted.out, "Location")) << answer;
    EXPECT_NE(page.out.find("<td id=\"return-url-" + std::string(answer) + "\">" +
                            std::regex_replace(std::regex_replace(location, std::regex("&"), "&amp;"), std::regex("'"), "&#39;") +
                            "</td>"),
              std::string::npos)
        << answer;
  }
  EXPECT_EQ(lineValue(answerGet(std::string("format=text&answer=accept&KWT_DATA=") + block + urls).out, "location"),
            "http://shop.invalid/merci?l=fr&x=%C3%A9%27%22&Mt=1500&Ref=R%C3%A9f%20%3C1%3E&E=00000");
  // Without KWT_REPONDRE_A in the block there is nothing to call.
  EXPECT_EQ(page.out.find("id=\"notify-"), std::string::npos);
}

// A small HTTP server on 127.0.0.1 in a thread: for each of `count`
// connections, reads the request head and answers `reply`. Every wait is
// bounded by poll time-outs.
class OneShotHttpServer {
 public:
  explicit OneShotHttpServer(std::string reply, int count = 1)
      : OneShotHttpServer(std::vector<std::string>(static_cast<std::size_t>(count), reply)) {}
  // One connection for each of `replies`, answered in turn.
  explicit OneShotHttpServer(std::vector<std::string> replies)
      : count_(static_cast<int>(replies.size())), replies_(std::move(replies)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, count_) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
      port_ = ntohs(a.sin_port);
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotHttpServer() { finish(); }
  int port() const { return port_; }
  // Waits for the exchanges to end; the requests received, one after the other.
  std::string finish() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return request_;
  }

 private:
  void serve() {
    for (int i = 0; i < count_; ++i) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return;
      int fd = ::accept(fd_, nullptr, nullptr);
      if (fd < 0) return;
      char buffer[4096];
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd q{fd, POLLIN, 0};
        if (::poll(&q, 1, 10000) <= 0) break;
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      const std::string& reply = replies_[static_cast<std::size_t>(i)];
      if (::write(fd, reply.data(), reply.size()) < 0) request += "(no reply written)";
      ::close(fd);
      request_ += request;
    }
  }
  int fd_ = -1;
  int count_ = 1;
  int port_ = 0;
  std::vector<std::string> replies_;
  std::string request_;
  std::thread thread_;
};

TEST(KorvenSandbox, NotifyCallsRepondreAOnThisHostOnlyWithTheVariables) {
  ParamTable t = order("A&B", "M:M;R:R;E:E");
  {
    OneShotHttpServer server("HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n\r\n<b>recorded</b>\n");
    const std::string port = std::to_string(server.port());
    t.set(kRepondreA, "http://127.0.0.1:" + port + "/cgi-bin/n.cgi?shop=1#x");
    ModuleResult r = answerGet("answer=accept&notify=1&KWT_DATA=" + encodeDataBlock(t) +
                               "&KWT_EFFECTUE=http%3A%2F%2Fshop.invalid%2Fmerci");
    EXPECT_EQ(server.finish().rfind("GET /cgi-bin/n.cgi?shop=1&M=1500&R=A%26B&E=00000 HTTP/1.0\r\nHost: 127.0.0.1:" +
                                        port + "\r\n",
                                    0),
              0u);
    EXPECT_EQ(r.status, 0);
    // A page with the result and a link on, not a redirect.
    EXPECT_EQ(r.out.rfind("Content-type: text/html\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("<span id=\"notify-result\">HTTP/1.0 200 OK</span>"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("&lt;b&gt;recorded&lt;/b&gt;"), std::string::npos);
    EXPECT_NE(r.out.find("<a class=\"button\" id=\"continue\" href=\"http://shop.invalid/merci?M=1500&amp;R=A%26B&amp;"
                         "E=00000\">"),
              std::string::npos);
  }
  {
    OneShotHttpServer server("HTTP/1.1 204 No Content\r\n\r\n");
    t.set(kRepondreA, "http://LocalHost:" + std::to_string(server.port()) + "/n");
    ModuleResult r = answerGet("format=text&answer=refuse&notify=1&KWT_DATA=" + encodeDataBlock(t));
    EXPECT_EQ(server.finish().rfind("GET /n?M=1500&R=A%26B&E=00100 HTTP/1.0\r\n", 0), 0u);
    EXPECT_EQ(lineValue(r.out, "notify"), "http://LocalHost:" + std::to_string(server.port()) + "/n?M=1500&R=A%26B&E=00100");
    EXPECT_EQ(lineValue(r.out, "notify-result"), "HTTP/1.1 204 No Content");
  }
  struct Case {
    std::string url;
    std::string result;
  };
  const Case refused[] = {
      {"https://127.0.0.1/n", "not called: only plain http:// URLs on this host are called"},
      {"http://192.0.2.1/n", "not called: the sandbox calls 127.x.x.x and localhost only"},
      {"http://shop.invalid/n", "not called: the sandbox calls 127.x.x.x and localhost only"},
      {"http://user@127.0.0.1/n", "not called: the sandbox calls 127.x.x.x and localhost only"},
      {"http://127.0.0.1:99999/n", "not called: the port is not a number from 1 to 65535"},
      {"ftp://127.0.0.1/n", "not called: KWT_REPONDRE_A does not begin with http:// or https://"},
      {"", "not called: the block has no KWT_REPONDRE_A"},
      {"http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/n", "failed: connection refused"},
  };
  for (const Case& c : refused) {
    t.set(kRepondreA, c.url);
    ModuleResult r = answerGet("format=text&answer=refuse&notify=1&KWT_DATA=" + encodeDataBlock(t));
    EXPECT_EQ(r.status, 0) << c.url;
    EXPECT_EQ(lineValue(r.out, "notify-result"), c.result) << c.url << "\n" << r.out;
  }
  // A server that accepts and never answers: the call gives up in time.
  LoopbackListener silent;
  ASSERT_TRUE(silent.ok());
  t.set(kRepondreA, "http://127.0.0.1:" + silent.portText() + "/n");
  double start = monotonicSeconds();
  ModuleResult r = answerGet("format=text&answer=accept&notify=1&KWT_DATA=" + encodeDataBlock(t));
  double took = monotonicSeconds() - start;
  EXPECT_EQ(lineValue(r.out, "notify-result"), "failed: no answer within 15 seconds") << r.out;
  EXPECT_GE(took, 14.5);
  EXPECT_LT(took, 20.0);
}

}  // namespace
}  // namespace revozi::testing

namespace revozi::testing {
namespace {

// The values of every text line "label: value", in order.
std::vector<std::string> lineValues(const std::string& out, const std::string& label) {
  std::vector<std::string> values;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(label + ": ", 0) == 0) values.push_back(line.substr(label.size() + 2));
  }
  return values;
}

ModuleResult shell(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
  ModuleRequest r;
  r.args = std::move(args);
  r.env = std::move(env);
  return run(r);
}

TEST(KorvenSandbox, NotificationScenariosSignedShownKeptAndReplayed) {
  const std::string text = "HTTP/1.0 200 OK\r\nContent-Type: Text/Plain; charset=utf-8\r\n\r\n";
  struct Case {
    std::string what;
    std::string notify;
    std::string reply;
    int calls;
    std::vector<std::string> results;
    std::vector<std::string> answers;  // notify-answer lines
    std::vector<std::string> delivered;
    bool back;  // the shopper is sent back
  };
  const Case cases[] = {
      {"text/plain: its first 200 printable bytes", "1", text + "ok\x01\xFF\r\n" + std::string(300, 'x'), 1,
       {"HTTP/1.0 200 OK"}, {"ok%0A" + std::string(197, 'x')}, {"yes"}, true},
      {"text/html: nothing of it", "1", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<h1>secret</h1>", 1,
       {"HTTP/1.0 200 OK"}, {}, {"yes"}, true},
      {"no type: nothing of it", "1", "HTTP/1.0 200 OK\r\n\r\nsecret", 1, {"HTTP/1.0 200 OK"}, {}, {"yes"}, true},
      {"failed: not 200", "1", "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain\r\n\r\nboom", 1,
       {"HTTP/1.1 500 Internal Server Error"}, {"boom"}, {"no"}, true},
      {"not 200 but 2000", "1", "HTTP/1.1 2000 OK\r\n\r\n", 1, {"HTTP/1.1 2000 OK"}, {}, {"no"}, true},
      {"2xx: delivered", "1", "HTTP/1.1 204 No Content\r\n\r\n", 1, {"HTTP/1.1 204 No Content"}, {}, {"yes"}, true},
      {"a redirect: not delivered", "1", "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1/\r\n\r\n", 1,
       {"HTTP/1.1 302 Found"}, {}, {"no"}, true},
      {"duplicate: sent twice", "2", text + "ok", 2, {"HTTP/1.0 200 OK", "HTTP/1.0 200 OK"}, {"ok", "ok"},
       {"yes", "yes"}, true},
      {"notification only", "only", text + "ok", 1, {"HTTP/1.0 200 OK"}, {"ok"}, {"yes"}, false},
  };
  ParamTable t = order("A&B", "M:M;R:R;E:E;Sig:S");
  for (const Case& c : cases) {
    OneShotHttpServer server(c.reply, c.calls);
    t.set(kRepondreA, "http://127.0.0.1:" + std::to_string(server.port()) + "/n?shop=1");
    const ModuleResult r = answerGet("format=text&answer=accept&notify=" + c.notify + "&KWT_DATA=" +
                                     encodeDataBlock(t) + "&KWT_EFFECTUE=http%3A%2F%2Fshop.invalid%2Fmerci");
    const std::string requests = server.finish();
    const std::string url = lineValue(r.out, "notify");
    const std::string target = url.substr(url.find("/n?"));
    EXPECT_EQ(requests.rfind("GET " + target + " HTTP/1.0\r\n", 0), 0u) << c.what << "\n" << requests;
    if (c.calls == 2) {
      EXPECT_EQ(requests.substr(requests.size() / 2), requests.substr(0, requests.size() / 2)) << c.what;
    }
    EXPECT_EQ(verified(url, "M:M;R:R;E:E;Sig:S"), "url:shop=1\nM=1500\nR=A&B\nE=00000\n") << c.what;
    EXPECT_EQ(r.status, 0) << c.what;
    EXPECT_EQ(lineValues(r.out, "notify-result"), c.results) << c.what;
    EXPECT_EQ(lineValues(r.out, "notify-answer"), c.answers) << c.what;
    EXPECT_EQ(lineValues(r.out, "notify-delivered"), c.delivered) << c.what;
    EXPECT_EQ(lineValues(r.out, "notify-not-kept"), std::vector<std::string>()) << c.what;
    EXPECT_EQ(r.out.find("secret"), std::string::npos) << c.what;
    EXPECT_EQ(lineValue(r.out, "location").empty(), !c.back) << c.what;
    EXPECT_EQ(r.out.find("Status: 303"), std::string::npos) << c.what;
  }
  // The page of the notification only: no way back to the shop.
  {
    OneShotHttpServer server(text + "ok");
    t.set(kRepondreA, "http://127.0.0.1:" + std::to_string(server.port()) + "/n");
    const ModuleResult page = answerGet("answer=accept&notify=only&KWT_DATA=" + encodeDataBlock(t) +
                                        "&KWT_EFFECTUE=http%3A%2F%2Fshop.invalid%2Fmerci");
    EXPECT_NE(page.out.find("<p id=\"never-back\">"), std::string::npos) << page.out;
    EXPECT_EQ(page.out.find("shop.invalid/merci"), std::string::npos);
    EXPECT_EQ(page.out.find("id=\"continue\""), std::string::npos);
  }

  // Kept: the newest first, in a private folder.
  const std::string state = setup().state;
  EXPECT_EQ(std::filesystem::status(state).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  ModuleResult list = shell({"--list"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("1  "), std::string::npos);
  EXPECT_NE(list.out.find("/n?M=1500&R=A%26B&E=00000&Sig="), std::string::npos) << list.out;
  for (const auto& entry : std::filesystem::directory_iterator(state)) {
    EXPECT_EQ(entry.status().permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  // A replay sends the very same request again.
  {
    OneShotHttpServer server(text + "again", 2);
    t.set(kRepondreA, "http://127.0.0.1:" + std::to_string(server.port()) + "/late");
    answerGet("format=text&answer=accept&notify=1&KWT_DATA=" + encodeDataBlock(t));
    const ModuleResult replayed = shell({"--replay"});
    const std::string requests = server.finish();
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_EQ(lineValues(replayed.out, "replayed").size(), 1u) << replayed.out;
    EXPECT_NE(replayed.out.find("\nHTTP/1.0 200 OK\n"), std::string::npos) << replayed.out;
    EXPECT_EQ(requests.substr(requests.size() / 2), requests.substr(0, requests.size() / 2));
    EXPECT_EQ(requests.rfind("GET /late?M=1500", 0), 0u) << requests;
  }
  const ModuleResult missing = shell({"--replay", "20"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(std::regex_search(missing.err, std::regex("no notification 20: [0-9]+ kept in " + state))) << missing.err;
  // At most 20 are kept.
  for (int i = 0; i < 30; ++i) {
    std::ofstream(state + "/0000000000" + std::to_string(1000000000 + i) + "-000000.url") << "http://127.0.0.1/old\n";
  }
  answerGet("format=text&answer=accept&notify=1&KWT_DATA=" + encodeDataBlock(t));
  list = shell({"--list"});
  const std::regex numbered("(^|\n)[0-9]+  ");
  EXPECT_EQ(std::distance(std::sregex_iterator(list.out.begin(), list.out.end(), numbered), std::sregex_iterator()), 20)
      << list.out;
  EXPECT_EQ(list.out.rfind("1  ", 0), 0u);
  EXPECT_NE(list.out.find("/late?"), std::string::npos);
  // Bad numbers, and no command under a web server.
  for (const char* n : {"0", "21x", "-1", "100"}) EXPECT_EQ(shell({"--replay", n}).status, 2) << n;
  const ModuleResult asRequest = shell({"--list"}, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "format=text"}});
  EXPECT_EQ(asRequest.out.rfind("Status: 400 Bad Request\n", 0), 0u) << asRequest.out;
}

// --deliver sends a notification without a 2xx answer again when its delay
// (here shortened) is over, until one is delivered or the schedule ends;
// --list shows each attempt and the outcome, escaped.
TEST(KorvenSandbox, DeliverRetriesOnTheScheduleThenStopsOrGivesUp) {
  const std::string state = setup().dir + "/deliveries";
  const std::map<std::string, std::string> env = {{"KORVEN_SANDBOX_STATE", state},
                                                  {"KORVEN_SANDBOX_TEST_SCHEDULE", "1,1"}};
  const auto deliver = [&] { return shell({"--deliver"}, env); };
  const std::string down = "HTTP/1.0 503 Service Unavailable\r\n\r\n";
  ParamTable t = order("A&B", "M:M;R:R;E:E;Sig:S");
  struct Case {
    std::vector<std::string> replies;  // the first attempt's and the retries'
    std::vector<std::string> lines;    // the results --deliver prints, one run each
    std::string outcome;               // the last line of --list's entry
  };
  const Case cases[] = {
      {{down, "HTTP/1.1 302 Found\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n"},
       {"HTTP/1.1 302 Found", "HTTP/1.0 200 OK"}, "Delivered"},
      {{down, down, down}, {"HTTP/1.0 503 Service Unavailable", "HTTP/1.0 503 Service Unavailable"}, "Given up"},
  };
  for (const Case& c : cases) {
    OneShotHttpServer server(c.replies);
    t.set(kRepondreA, "http://127.0.0.1:" + std::to_string(server.port()) + "/n");
    const ModuleResult first = answerGet("format=text&answer=accept&notify=only&KWT_DATA=" + encodeDataBlock(t), env);
    EXPECT_EQ(lineValues(first.out, "notify-delivered"), std::vector<std::string>{"no"}) << first.out;
    EXPECT_EQ(deliver().out, "no attempt due\n");
    for (const std::string& line : c.lines) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1100));
      const ModuleResult r = deliver();
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_NE(r.out.find("1  attempt "), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("  " + line + "  http://127.0.0.1:"), std::string::npos) << line << "\n" << r.out;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(deliver().out, "no attempt due\n") << c.outcome;
    const std::string requests = server.finish();
    EXPECT_EQ(requests.substr(requests.size() * 2 / 3), requests.substr(0, requests.size() / 3)) << c.outcome;
    const ModuleResult list = shell({"--list"}, env);
    const std::size_t second = list.out.find("\n2  ");
    const std::string entry = second == std::string::npos ? list.out : list.out.substr(0, second + 1);
    EXPECT_NE(entry.find("   attempt 1  "), std::string::npos) << entry;
    EXPECT_NE(entry.find("   attempt 3  "), std::string::npos) << entry;
    EXPECT_NE(entry.find("  HTTP/1.0 503 Service Unavailable\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.substr(entry.rfind("\n   ") + 4), c.outcome + "\n") << entry;
  }
  // What a kept file holds reaches the terminal escaped.
  std::ofstream(state + "/00000000010000000000-000000.url")
      << "http://127.0.0.1:1/x\n1000 - HTTP/1.0 500 \x1b[2J\xc2\x9b\n";
  const ModuleResult list = shell({"--list"}, env);
  EXPECT_NE(list.out.find("  HTTP/1.0 500 %1B[2J%C2%9B\n   Next attempt "), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(shell({"--deliver", "x"}, env).status, 2);
}

TEST(KorvenSandbox, NewKeyWritesAPairOnce) {
  const std::string dir = setup().dir + "/keys";
  const std::string group = getgrgid(getgid()) != nullptr ? getgrgid(getgid())->gr_name : "root";
  struct Case {
    std::vector<std::string> args;
    std::string privateFile;
    std::string publicFile;
    std::filesystem::perms privateMode;
  };
  using std::filesystem::perms;
  const Case cases[] = {
      {{dir + "/a.key"}, dir + "/a.key", dir + "/a.pub", perms::owner_read | perms::owner_write},
      {{"--group", group, dir + "/b", dir + "/b-public"}, dir + "/b", dir + "/b-public",
       perms::owner_read | perms::owner_write | perms::group_read},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--new-key");
    const ModuleResult r = shell(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("private key: " + c.privateFile + " (mode 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("public key:  " + c.publicFile + " (mode 0644)"), std::string::npos) << r.out;
    EXPECT_EQ(std::filesystem::status(c.privateFile).permissions(), c.privateMode);
    EXPECT_EQ(std::filesystem::status(c.publicFile).permissions(),
              perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
    signing::Seed seed;
    signing::PublicKey key;
    ASSERT_EQ(signing::readKeyFile(c.privateFile, seed.data(), seed.size()), "");
    ASSERT_EQ(signing::readKeyFile(c.publicFile, key.data(), key.size()), "");
    EXPECT_EQ(signing::publicKeyOf(seed), key);
    // Never replaced.
    const ModuleResult again = shell(args);
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "korven-sandbox.cgi: " + c.privateFile + " exists: it is never replaced\n");
    signing::Seed same;
    ASSERT_EQ(signing::readKeyFile(c.privateFile, same.data(), same.size()), "");
    EXPECT_EQ(same, seed);
  }
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--new-key", "--group"}, {"--new-key", "--group", "no-such-group.invalid", dir + "/c.key"},
           {"--new-key", dir + "/d", dir + "/d"}, {"--new-key", "a", "b", "c"}, {"--new-key", "--force"}}) {
    EXPECT_EQ(shell(bad).status, 2) << bad.back();
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/c.key"));
}

}  // namespace
}  // namespace revozi::testing

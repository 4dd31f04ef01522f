#include "sandbox/sandbox_conformance.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "datablock/encode.h"
#include "params/param_table.h"

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

// A shop on 127.0.0.1 that answers every call with `reply`, for at most
// `calls` calls, each within 5 seconds.
class CannedShop {
 public:
  CannedShop(std::string reply, int calls) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 16) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
      port_ = ntohs(a.sin_port);
    }
    thread_ = std::thread([this, calls] {
      for (int i = 0; i < calls; ++i) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return;
        const int fd = ::accept(fd_, nullptr, nullptr);
        char buffer[4096];
        pollfd q{fd, POLLIN, 0};
        if (fd < 0 || ::poll(&q, 1, 5000) <= 0 || ::read(fd, buffer, sizeof buffer) <= 0 ||
            ::write(fd, reply_.data(), reply_.size()) < 0) {
          ++failures_;
        }
        if (fd >= 0) ::close(fd);
      }
    });
  }
  ~CannedShop() {
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1, port_ = 0, failures_ = 0;
  std::string reply_;
  std::thread thread_;
};

// A payment page saved to a file, against a shop that answers 403 with an
// escape sequence to everything: the forgeries pass, the genuine answers
// fail, the scenarios of fresh orders are skipped, and no control byte is
// printed.
TEST(SandboxConformance, APageFromAFileIsJudgedOnTheShopsStatusLines) {
  ASSERT_TRUE(signing::start());
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("conformance-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const signing::Seed seed = signing::newSeed();
  const std::string key = (dir / "key").string();
  std::ofstream(key) << signing::keyFileText(seed.data(), seed.size());
  std::filesystem::permissions(key, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ::setenv("KORVEN_SANDBOX_KEY", key.c_str(), 1);

  CannedShop shop("HTTP/1.0 403 \x1b[2J\r\n\r\n", 15);
  const std::string base = "http://127.0.0.1:" + std::to_string(shop.port()) + "/shop?order=A&amp;step=";
  ParamTable t;
  for (auto [index, value] : {std::pair{kSite, "1234567"}, {kRang, "01"}, {kTotal, "1500"}, {kDevise, "978"},
                              {kCmd, "A"}, {kPorteur, "a@example.fr"}, {kIdentifiant, "7"},
                              {kRetour, "Mt:M;Ref:R;Auto:A;Erreur:E;Trans:T;Sig:S"}}) {
    t.set(index, value);
  }
  t.set(kRepondreA, "http://127.0.0.1:" + std::to_string(shop.port()) + "/shop?order=A&step=notify");
  const std::string page = (dir / "page.html").string();
  std::ofstream(page) << "<FORM METHOD=POST ACTION='http://127.0.0.1/k.cgi'>\n"
                      << "<INPUT TYPE=hidden NAME=KWT_DATA VALUE='" << encodeDataBlock(t) << "'>\n"
                      << "<input type=hidden name=KWT_EFFECTUE value='" << base << "paid'>"
                      << "<input type=hidden name=KWT_REFUSE value='" << base << "refused'>"
                      << "<input type=hidden name=KWT_ANNULE value='" << base << "cancelled'></FORM>\n";

  ::testing::internal::CaptureStdout();
  const int status = runConformance({page});
  const std::string out = ::testing::internal::GetCapturedStdout();
  ::unsetenv("KORVEN_SANDBOX_KEY");
  std::filesystem::remove_all(dir);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
  EXPECT_NE(out.find("unsigned return              expected 403              got HTTP/1.0 403 %1B[2J"),
            std::string::npos) << out;
  EXPECT_NE(out.find("PASS\n"), std::string::npos) << out;
  EXPECT_NE(out.find("(PAGE is a file: one order only)"), std::string::npos) << out;
  EXPECT_NE(out.find("\nconformance: 9 passed, 5 failed, 3 skipped\n"), std::string::npos) << out;
  EXPECT_EQ(runConformance({}), 2);
  EXPECT_EQ(runConformance({page, "a=b"}), 2);
}

}  // namespace
}  // namespace revozi::sandbox

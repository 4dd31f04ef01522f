#include "sandbox/sandbox_conformance.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "datablock/decode.h"
#include "params/text.h"
#include "params/validate.h"
#include "sandbox/sandbox_commands.h"
#include "sandbox/sandbox_notify.h"
#include "signing/signing.h"
#include "tools/tool_text.h"

namespace revozi::sandbox {
namespace {

// A payment page, read from a file or fetched, is at most this long.
constexpr std::size_t kMaxPage = 1024 * 1024;
// Forms that post on to another page before the payment page (the shop's
// self-submitting form to the module): at most this many.
constexpr int kMaxHops = 3;
// What is shown of a status line.
constexpr std::size_t kMaxShown = 100;

// The status code of a status line "HTTP/1.x NNN ...", or 0.
int statusCode(std::string_view line) {
  if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ') return 0;
  const auto code = tools::digitsValue(line.substr(9, 3), 3);
  return code && (line.size() == 12 || line[12] == ' ') ? static_cast<int>(*code) : 0;
}

struct Page {
  std::string why;  // empty when read
  std::string url;  // where it came from; empty for a file
  std::string html;
};

Page fetch(std::string url, std::string body) {
  Page page;
  for (int hop = 0;; ++hop) {
    if (hasControlByte(url)) {
      page.why = "the URL " + tools::urlText(url) + " holds a control byte";
      return page;
    }
    std::string target;
    tools::appendUrlText(target, url);
    url = std::move(target);
    std::string response;
    const std::string status = httpExchange(url, response, body, kMaxPage);
    if (statusCode(status) != 200) {
      page.why = "fetching " + tools::urlText(url) + ": " + tools::lineText(status.substr(0, kMaxShown));
      return page;
    }
    std::size_t start = response.find("\r\n\r\n");
    start = start == std::string::npos ? response.find("\n\n") : start + 2;
    page.url = url;
    page.html = start == std::string::npos ? "" : response.substr(start + 2);
    const PageForm form = firstForm(page.html);
    bool hasBlock = false;
    for (const auto& field : form.fields) hasBlock = hasBlock || field.first == "KWT_DATA";
    if (hasBlock || form.action.empty() || hop == kMaxHops) return page;
    url = formTarget(url, form.action);
    body.clear();
    for (const auto& [name, value] : form.fields) {
      body += (body.empty() ? "" : "&") + signing::queryEncode(name) + "=" + signing::queryEncode(value);
    }
    if (url.empty() || body.empty()) return page;
  }
}

Page readFile(const std::string& path) {
  Page page;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    page.why = "cannot read " + path;
    return page;
  }
  page.html.resize(kMaxPage + 1);
  file.read(page.html.data(), static_cast<std::streamsize>(page.html.size()));
  page.html.resize(static_cast<std::size_t>(file.gcount()));
  if (page.html.size() > kMaxPage) page.why = path + " is larger than 1 MiB";
  return page;
}

// The order of a payment page; `why` says what it lacks.
std::optional<Order> orderOf(const Page& page, std::string& why) {
  if (!page.why.empty()) {
    why = page.why;
    return std::nullopt;
  }
  const PageForm form = firstForm(page.html);
  Order order;
  std::string block;
  int blocks = 0;
  for (const auto& [name, value] : form.fields) {
    if (name == "KWT_DATA") ++blocks, block = value;
    if (name == "KWT_EFFECTUE") order.effectue = value;
    if (name == "KWT_REFUSE") order.refuse = value;
    if (name == "KWT_ANNULE") order.annule = value;
  }
  if (blocks != 1) {
    why = "the payment page's first form has " + std::to_string(blocks) + " KWT_DATA fields, not one";
    return std::nullopt;
  }
  DecodeResult decoded = decodeDataBlock(block);
  if (!decoded.ok) {
    why = "KWT_DATA invalid: " + decoded.reason;
    return std::nullopt;
  }
  order.data = std::move(decoded.fields);
  // The URLs go into request lines: a control byte is refused.
  for (const std::string* url : {&order.effectue, &order.refuse, &order.annule, &order.data.repondreA}) {
    if (hasControlByte(*url)) {
      why = "a return or notification URL holds a control byte";
      return std::nullopt;
    }
  }
  if (signing::parseReturnList(order.data.retour).signatureName.empty()) {
    why = "the block's KWT_RETOUR has no signature item (NAME:S last): its returns are not signed";
    return std::nullopt;
  }
  return order;
}

// The values of a return, by letter.
using Values = std::map<char, std::string>;

Values valuesOf(const Order& order, std::string_view code) {
  return {{'M', order.data.total},
          {'R', order.data.cmd},
          {'A', code == "00000" ? signing::randomDigits(6) : ""},
          {'E', std::string(code)},
          {'T', signing::randomDigits(8)}};
}

struct Return {
  std::string url;
  std::size_t appended = 0;   // where the server's variables begin
  std::size_t signature = 0;  // where "&NAME=SIGNATURE" begins
};

// `base` with the variables of `list` for `values`, signed by `signer`.
Return signedReturn(std::string_view base, const signing::ReturnList& list, Values values,
                    const signing::Signer& signer) {
  Return r;
  tools::appendUrlText(r.url, base);
  if (base.find('?') == std::string_view::npos) {
    r.url += '?';
  } else if (!base.empty() && base.back() != '?' && base.back() != '&') {
    r.url += '&';
  }
  r.appended = r.url.size();
  for (std::size_t i = 0; i < list.items.size(); ++i) {
    r.url += (i > 0 ? "&" : "") + signing::queryEncode(list.items[i].name) + "=" +
             signing::queryEncode(values[list.items[i].letter]);
  }
  const std::string message = signing::signedMessage(list, std::string_view(r.url).substr(r.appended));
  r.signature = r.url.size();
  r.url += "&" + signing::queryEncode(list.signatureName) + "=" + signer.sign(message);
  return r;
}

struct Tally {
  int passed = 0, failed = 0, skipped = 0;
};

void play(const Scenario& s, Tally& tally) {
  if (!s.skipped.empty()) {
    ++tally.skipped;
    std::printf("%-28s expected %-16s got %-34s SKIP\n", s.name.c_str(), s.expected.c_str(),
                ("(" + s.skipped + ")").c_str());
    return;
  }
  std::string got;
  bool ok = !s.urls.empty();
  std::string first;
  for (const std::string& url : s.urls) {
    std::string line = callNotifyUrl(url).result;
    if (line.size() > kMaxShown) line.resize(kMaxShown);
    ok = ok && meets(s.expected, line) && (first.empty() || line == first);
    if (first.empty()) first = line;
    got += (got.empty() ? "" : ", then ") + tools::lineText(line);
  }
  ++(ok ? tally.passed : tally.failed);
  std::printf("%-28s expected %-16s got %-34s %s\n", s.name.c_str(), s.expected.c_str(), got.c_str(),
              ok ? "PASS" : "FAIL");
}


int failure(const std::string& message) {
  std::fprintf(stderr, "korven-sandbox.cgi: --conformance: %s\n", tools::lineText(message).c_str());
  return 1;
}

}  // namespace

std::vector<Scenario> scenarios(const Order& a, const std::optional<Order>& b, const std::optional<Order>& c,
                                const signing::Signer& signer, const signing::Signer& stranger) {
  const signing::ReturnList list = signing::parseReturnList(a.data.retour);
  const std::string& notify = a.data.repondreA;
  const std::string noNotify = notify.empty() ? "the block has no KWT_REPONDRE_A" : "";
  const std::string noOrder = "PAGE is a file: one order only";
  std::vector<Scenario> out;
  const auto accept = [&](std::string_view base, const Values& values, const signing::Signer& by) {
    return signedReturn(base, list, values, by);
  };
  const Return genuine = accept(a.effectue, valuesOf(a, "00000"), signer);
  // Forgeries first, while the order is unpaid: each one a 403 whatever the
  // order's state.
  out.push_back({"unsigned return", "403", {genuine.url.substr(0, genuine.signature)}, {}});
  Return changed = genuine;
  const std::size_t digit = changed.url.find_first_of("0123456789", changed.appended);
  if (digit < changed.signature) changed.url[digit] = static_cast<char>('0' + (changed.url[digit] - '0' + 1) % 10);
  out.push_back({"one byte changed", "403", {changed.url}, {}});
  out.push_back({"another key", "403", {accept(a.effectue, valuesOf(a, "00000"), stranger).url}, {}});
  out.push_back({"signature moved", "403",
                 {genuine.url.substr(0, genuine.appended) + genuine.url.substr(genuine.signature + 1) + "&" +
                  genuine.url.substr(genuine.appended, genuine.signature - genuine.appended)},
                 {}});
  Values other = valuesOf(a, "00000");
  if (b) {
    other = valuesOf(*b, "00000");
  } else {
    other['R'] += "0";
  }
  out.push_back({"another order's signature", "403", {accept(a.effectue, other, signer).url}, {}});
  // The shopper's own accept in the return URL, and the server's last item
  // and signature after it (KWT_RETOUR=Trans:T;Sig:S), on a refuse.
  signing::ReturnList tail;
  tail.signatureName = list.signatureName;
  tail.items.push_back(list.items.empty() ? signing::ReturnItem{"T", 'T'} : list.items.back());
  std::string injection;
  Values forged = valuesOf(a, "00000");
  for (std::size_t i = 0; i + 1 < list.items.size(); ++i) {
    injection += "&" + signing::queryEncode(list.items[i].name) + "=" + forged[list.items[i].letter];
  }
  out.push_back({"return-url injection", "403", {signedReturn(a.effectue + injection, tail, forged, signer).url}, {}});
  out.push_back({"injection, notification", "403",
                 {notify.empty() ? "" : signedReturn(notify + injection, tail, forged, signer).url}, noNotify});
  // Two letters swapped: a refuse whose values land under other names.
  signing::ReturnList swapped = list;
  std::size_t j = 1;
  while (j < swapped.items.size() && swapped.items[j].letter == swapped.items[0].letter) ++j;
  std::string noSwap;
  if (j < swapped.items.size()) {
    std::swap(swapped.items[0].letter, swapped.items[j].letter);
  } else {
    noSwap = "KWT_RETOUR has one letter";
  }
  out.push_back({"letters swapped", "403", {signedReturn(a.effectue, swapped, valuesOf(a, "00100"), signer).url},
                 noSwap});
  const Return unsignedCall = accept(notify, valuesOf(a, "00000"), signer);
  out.push_back({"unsigned notification", "403", {unsignedCall.url.substr(0, unsignedCall.signature)}, noNotify});
  // The genuine answers, as a shopper who is refused, gives up, then pays.
  out.push_back({"refuse", "not 403 nor 5xx", {accept(a.refuse, valuesOf(a, "00100"), signer).url},
                 a.refuse.empty() ? "no KWT_REFUSE" : ""});
  out.push_back({"cancel", "not 403 nor 5xx", {accept(a.annule, valuesOf(a, "00200"), signer).url},
                 a.annule.empty() ? "no KWT_ANNULE" : ""});
  const Values paid = valuesOf(a, "00000");
  out.push_back({"notification", "200", {notify.empty() ? "" : accept(notify, paid, signer).url}, noNotify});
  out.push_back({"accept", "not 403 nor 5xx", {accept(a.effectue, paid, signer).url}, {}});
  const std::string twice = notify.empty() ? "" : accept(notify, valuesOf(a, "00000"), signer).url;
  out.push_back({"notification twice", "200", {twice, twice}, noNotify});
  // Orders of their own: paid on the notification alone; a changed amount,
  // which leaves an order unpaid for good.
  if (b) {
    out.push_back({"notification alone", "200",
                   {b->data.repondreA.empty() ? "" : accept(b->data.repondreA, valuesOf(*b, "00000"), signer).url},
                   b->data.repondreA.empty() ? noNotify : ""});
  } else {
    out.push_back({"notification alone", "200", {}, noOrder});
  }
  if (c) {
    Values cheaper = valuesOf(*c, "00000");
    const auto total = tools::digitsValue(cheaper['M'], 18).value_or(0);
    cheaper['M'] = std::to_string(total > 1 ? total - 1 : total + 1);
    if (cheaper['M'].size() < 3) cheaper['M'].insert(0, 3 - cheaper['M'].size(), '0');
    out.push_back({"changed amount, return", "not 2xx nor 5xx", {accept(c->effectue, cheaper, signer).url}, {}});
    out.push_back({"changed amount, notify", "200",
                   {c->data.repondreA.empty() ? "" : accept(c->data.repondreA, cheaper, signer).url},
                   c->data.repondreA.empty() ? noNotify : ""});
  } else {
    out.push_back({"changed amount, return", "not 2xx nor 5xx", {}, noOrder});
    out.push_back({"changed amount, notify", "200", {}, noOrder});
  }
  return out;
}

bool meets(std::string_view expected, std::string_view got) {
  const int code = statusCode(got);
  if (code == 0) return false;
  if (expected == "not 403 nor 5xx") return code != 403 && code < 500;
  if (expected == "not 2xx nor 5xx") return (code < 200 || code > 299) && code < 500;
  return std::to_string(code) == expected;
}

int runConformance(const std::vector<std::string_view>& args) {
  if (args.empty() || args.size() > 2) {
    std::fprintf(stderr,
                 "korven-sandbox.cgi: --conformance PAGE [BODY]: PAGE is a payment page's file or URL\n"
                 "Try 'korven-sandbox.cgi --help'.\n");
    return 2;
  }
  const std::string page(args[0]);
  const std::string body(args.size() == 2 ? args[1] : "");
  const bool isUrl = startsWithIgnoringCase(page, "http://") || startsWithIgnoringCase(page, "https://");
  if (!isUrl && !body.empty()) {
    std::fprintf(stderr, "korven-sandbox.cgi: --conformance: BODY goes with a URL only\n");
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  std::string why;
  const std::optional<Order> a = orderOf(isUrl ? fetch(page, body) : readFile(page), why);
  if (!a) return failure(why);
  std::optional<Order> b, c;
  if (isUrl) {
    b = orderOf(fetch(page, body), why);
    c = orderOf(fetch(page, body), why);
    if (!b || !c) return failure("a fresh order: " + why);
  }
  const char* variable = std::getenv(kKeyVariable);
  const std::string keyPath = variable != nullptr && *variable != '\0' ? variable : kDefaultKeyFile;
  if (!signing::start()) return failure("the signature library cannot start");
  signing::Seed seed;
  why = signing::readKeyFile(keyPath, seed.data(), seed.size());
  if (why.empty()) why = signing::looseKeyMode(keyPath);
  if (!why.empty()) {
    signing::wipe(seed);
    return failure("no signing key: " + why);
  }
  const signing::Signer signer(seed);
  signing::wipe(seed);
  signing::Seed throwaway = signing::newSeed();
  const signing::Signer stranger(throwaway);
  signing::wipe(throwaway);
  Tally tally;
  for (const Scenario& s : scenarios(*a, b, c, signer, stranger)) play(s, tally);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  std::printf("(order %s, %lld ms)\n", tools::lineText(a->data.cmd).c_str(), static_cast<long long>(ms.count()));
  std::printf("conformance: %d passed, %d failed", tally.passed, tally.failed);
  if (tally.skipped > 0) std::printf(", %d skipped", tally.skipped);
  std::printf("\n");
  if (std::fflush(stdout) != 0) return 1;
  return tally.failed == 0 ? 0 : 1;
}

}  // namespace revozi::sandbox

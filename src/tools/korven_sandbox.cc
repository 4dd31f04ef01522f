// korven-sandbox.cgi: a stand-in for the payment server, for a merchant's
// integration tests. Installed beside revozi.cgi and named in KWT_KORVEN, it
// receives what the shopper's browser posts from the payment page, decodes
// KWT_DATA (verifying both check values) and answers a page that shows the
// payment fields the block carries, every other field that came with it, and
// a verdict. It then plays the payment server's answer: the page offers to
// accept, refuse or cancel the payment, which sends the browser back to the
// merchant's KWT_EFFECTUE, KWT_REFUSE or KWT_ANNULE with the return
// variables that KWT_RETOUR asks for, and can first call KWT_REPONDRE_A from
// server to server (plain http:// on this host only). It keeps nothing.
//
// Request: POST, application/x-www-form-urlencoded (what the payment page's
// form sends), or GET with the fields in the query string. Only KWT_ and
// VEL_ fields are read, split and decoded exactly as the module decodes its
// own requests. Run from a shell (no REQUEST_METHOD), standard input is the
// body.
//
// The answer (query string, whatever the method): "answer=accept",
// "answer=refuse" or "answer=cancel" plays that outcome for the block in the
// request; "notify=1" with it calls KWT_REPONDRE_A first. The page's
// buttons are links that carry KWT_DATA and the three return URLs in the
// query string, so every value travels %-encoded, as bytes.
//
// Return variables: KWT_RETOUR lists them as NAME:LETTER items separated by
// ';' (for example "Mt:M;Ref:R;Auto:A;Erreur:E"). The letter says what the
// variable holds:
//   M  the amount, KWT_TOTAL as the block carries it
//   R  the order reference, KWT_CMD
//   A  an authorisation number, 6 digits, on accept; empty otherwise
//   E  the outcome code: 00000 accepted, 00100 refused, 00200 cancelled
//   T  a transaction number, 8 digits
// Numbers A and T are derived from the block, so the same order always gets
// the same ones. An item of another shape or letter is left out (the page
// lists it). The variables are appended to the return URL in the order of
// KWT_RETOUR, after '?' (or '&' when the URL already has a query, before a
// '#fragment'), names and values %-encoded. A return URL must begin with
// http:// or https:// and hold no control byte; its blanks, quotes, angle
// brackets and bytes above 0x7E are %-encoded. The redirect is
// "Status: 303 See Other" with the URL in Location.
//
// Answer formats:
//   HTML (default): a table per group; the verdict is <p id="verdict"
//     class="valid|invalid">, each payment field is <td id="data-KWT_NAME">,
//     the other fields <td id="field-N-name"> and <td id="field-N-value">
//     (N counts from 1 in request order). Every value is HTML-escaped. The
//     answer links are <a id="answer-accept|refuse|cancel"> (and
//     "notify-..." when the block has a KWT_REPONDRE_A).
//   Plain text: with "format=text" in the query string, or an Accept header
//     that names text/plain and not text/html. One line each:
//       verdict: valid | invalid
//       message: <the verdict in words, or the reason of the failure>
//       data: KWT_NAME=value          one per payment field, record order
//       forwarded: KWT_NAME=value     a field the module forwards
//       other: NAME=value             any other field received
//     With an answer instead of the field lines:
//       answer: accept | refuse | cancel
//       return: NAME=value            one per return variable
//       ignored: ITEM                 an item of KWT_RETOUR left out
//       notify: URL                   the call to KWT_REPONDRE_A, if asked
//       notify-result: <its status line, or why it failed>
//       location: URL                 where the shopper is sent
//     Values are written byte for byte except '%', the bytes below 0x20 and
//     0x7F, which become %XX (upper-case hexadecimal), so a line is a line;
//     the two URLs, printable ASCII already, as they are.
//
// A request without a valid block gets "Status: 400 Bad Request" and the
// reason (405 for another method, 413 for a body over 1 MiB), and so does an
// answer whose return URL is refused. Exit status: 0 when the block is
// valid, 1 otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datablock/decode.h"
#include "pages/page_output.h"
#include "params/form_fields.h"
#include "params/param_table.h"

namespace {

// Far more than any payment page posts (KWT_CMD is at most 2048 bytes).
constexpr std::size_t kMaxBody = 1024 * 1024;

constexpr std::string_view kValidMessage = "KWT_DATA valid: both check values verified";

enum class Format { kHtml, kText };

// The three answers of the payment server, with the forwarded field that
// holds the merchant's page for each and the outcome code (letter E).
struct Outcome {
  std::string_view word;
  std::string_view urlField;
  std::string_view code;
  std::string_view label;
};
constexpr Outcome kOutcomes[] = {
    {"accept", "KWT_EFFECTUE", "00000", "Accept the payment"},
    {"refuse", "KWT_REFUSE", "00100", "Refuse the payment"},
    {"cancel", "KWT_ANNULE", "00200", "Cancel (the shopper gives up)"},
};
const Outcome& acceptOutcome() { return kOutcomes[0]; }

// Bound of the whole call to KWT_REPONDRE_A: connection, request, answer.
constexpr int kNotifyMilliseconds = 5000;
// What is kept of its answer.
constexpr std::size_t kNotifyAnswerMax = 4096;

struct ReturnVariable {
  std::string name;
  std::string value;
};

struct ReturnPlan {
  std::vector<ReturnVariable> variables;
  std::vector<std::string> ignored;  // items of KWT_RETOUR left out
};

struct UrlResult {
  bool ok = false;
  std::string url;     // when ok
  std::string reason;  // when not
};

struct NotifyResult {
  std::string url;      // what was (or would have been) called
  bool answered = false;
  std::string result;   // the status line, or why there is none
  std::string response; // the start of the answer
};

struct Answer {
  int status = 200;
  std::string statusText = "OK";
  std::string message;
  bool valid = false;
  revozi::FormFieldList fields;
  revozi::DataBlockFields data;
  std::string block;
  // Set when the request asks for an answer of the payment server.
  const Outcome* outcome = nullptr;
  ReturnPlan plan;
  std::string location;  // where the shopper is sent; empty when nowhere
  bool notify = false;
  NotifyResult notified;
};

const char* getEnv(const char* name) { return std::getenv(name); }

std::string_view envView(const char* name) {
  const char* value = getEnv(name);
  return value != nullptr ? std::string_view(value) : std::string_view();
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// True when the comma-separated header list names `mediaType` (parameters
// such as ";q=0.9" are ignored, so is a zero quality).
bool acceptNames(std::string_view accept, std::string_view mediaType) {
  while (!accept.empty()) {
    std::size_t comma = accept.find(',');
    std::string_view item = accept.substr(0, comma);
    accept = comma == std::string_view::npos ? std::string_view() : accept.substr(comma + 1);
    item = trimBlanks(item.substr(0, item.find(';')));
    if (equalsIgnoringCase(item, mediaType)) return true;
  }
  return false;
}

// The raw value of the first query-string item "name=value"; the sandbox's
// own controls are plain words, never encoded.
std::optional<std::string_view> queryItem(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.size() > name.size() && item.substr(0, name.size()) == name && item[name.size()] == '=') {
      return item.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

Format chooseFormat() {
  if (queryItem(envView("QUERY_STRING"), "format") == "text") return Format::kText;
  std::string_view accept = envView("HTTP_ACCEPT");
  if (acceptNames(accept, "text/plain") && !acceptNames(accept, "text/html")) return Format::kText;
  return Format::kHtml;
}

// A CONTENT_LENGTH of decimal digits only; anything else is no length.
std::optional<std::size_t> parseLength(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::size_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  return n;
}

// Reads standard input until `want` bytes are in `body` or the input ends.
bool readInput(std::size_t want, std::string& body) {
  char chunk[65536];
  while (body.size() < want) {
    std::size_t ask = std::min(sizeof chunk, want - body.size());
    ssize_t got = ::read(0, chunk, ask);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    body.append(chunk, static_cast<std::size_t>(got));
  }
  return true;
}

void fail(Answer& answer, int status, const char* statusText, std::string message) {
  answer.status = status;
  answer.statusText = statusText;
  answer.message = std::move(message);
  answer.valid = false;
}

// The media type of CONTENT_TYPE without its parameters, lower case.
std::string mediaTypeOf(std::string_view contentType) {
  std::string type(trimBlanks(contentType.substr(0, contentType.find(';'))));
  for (char& c : type) c = lowerAscii(c);
  return type;
}

// Gets the request text (body or query string); false after filling in the
// failure.
bool requestText(Answer& answer, std::string& text) {
  const char* method = getEnv("REQUEST_METHOD");
  if (method == nullptr) {
    // From a shell: the body is standard input, read to its end (one byte
    // more than the limit tells an oversized input).
    if (!readInput(kMaxBody + 1, text)) {
      fail(answer, 400, "Bad Request", "cannot read standard input");
      return false;
    }
    if (text.size() > kMaxBody) {
      fail(answer, 413, "Payload Too Large", "the input is larger than 1 MiB");
      return false;
    }
    return true;
  }
  std::string_view methodName = method;
  if (methodName == "GET") {
    text.assign(envView("QUERY_STRING"));
    return true;
  }
  if (methodName != "POST") {
    fail(answer, 405, "Method Not Allowed",
         "method " + std::string(methodName) + " not accepted: the payment page posts its form (POST)");
    return false;
  }
  std::string type = mediaTypeOf(envView("CONTENT_TYPE"));
  if (!type.empty() && type != "application/x-www-form-urlencoded") {
    fail(answer, 400, "Bad Request",
         "the body is " + type + "; the payment form posts application/x-www-form-urlencoded");
    return false;
  }
  const char* lengthText = getEnv("CONTENT_LENGTH");
  std::optional<std::size_t> length = parseLength(lengthText != nullptr ? lengthText : "");
  if (!length) {
    fail(answer, 400, "Bad Request", "POST without a valid CONTENT_LENGTH");
    return false;
  }
  if (*length > kMaxBody) {
    fail(answer, 413, "Payload Too Large", "the body is larger than 1 MiB");
    return false;
  }
  // Exactly CONTENT_LENGTH bytes: the web server need not close the input.
  if (!readInput(*length, text) || text.size() < *length) {
    fail(answer, 400, "Bad Request",
         "the body ended after " + std::to_string(text.size()) + " of " + std::to_string(*length) + " bytes");
    return false;
  }
  return true;
}

// ------------------------------------------------ the payment server's answer

std::uint32_t fnv1a(std::string_view text, std::uint32_t hash = 2166136261u) {
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

std::string zeroPadded(std::uint32_t value, std::size_t width) {
  std::string out(width, '0');
  for (std::size_t i = width; i > 0 && value > 0; --i) {
    out[i - 1] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out;
}

// The variables that KWT_RETOUR asks for, filled in for `outcome`.
ReturnPlan returnPlan(const revozi::DataBlockFields& data, std::string_view block, const Outcome& outcome) {
  ReturnPlan plan;
  std::string_view list = data.retour;
  while (!list.empty()) {
    std::size_t semicolon = list.find(';');
    std::string_view item = list.substr(0, semicolon);
    list = semicolon == std::string_view::npos ? std::string_view() : list.substr(semicolon + 1);
    if (item.empty()) continue;
    if (item.size() < 3 || item[item.size() - 2] != ':') {
      plan.ignored.emplace_back(item);
      continue;
    }
    std::string value;
    switch (item.back()) {
      case 'M': value = data.total; break;
      case 'R': value = data.cmd; break;
      case 'A':
        if (&outcome == &acceptOutcome()) value = zeroPadded(fnv1a(block) % 1000000u, 6);
        break;
      case 'E': value = outcome.code; break;
      case 'T': value = zeroPadded(fnv1a("T", fnv1a(block)) % 100000000u, 8); break;
      default:
        plan.ignored.emplace_back(item);
        continue;
    }
    plan.variables.push_back({std::string(item.substr(0, item.size() - 2)), std::move(value)});
  }
  return plan;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendPercent(std::string& out, unsigned char byte) {
  out += '%';
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0F];
}

// A name or value in a query: every byte but the unreserved ones as %XX.
void appendQueryEncoded(std::string& out, std::string_view text) {
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                c == '.' || c == '_' || c == '~';
    if (keep) {
      out += c;
    } else {
      appendPercent(out, byte);
    }
  }
}

// The merchant's URL as given, with the bytes that a URL cannot hold as they
// are (blank, quotes, angle brackets, ...; above 0x7E) %-encoded. Control
// bytes are refused before.
void appendUrlText(std::string& out, std::string_view text) {
  static constexpr std::string_view kUnsafe = " \"<>\\^`{|}";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte > 0x7E || kUnsafe.find(c) != std::string_view::npos) {
      appendPercent(out, byte);
    } else {
      out += c;
    }
  }
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// `base` (the value of field `what`) with the variables appended; every byte
// of the result is printable ASCII other than the blank.
UrlResult buildReturnUrl(std::string_view base, const std::vector<ReturnVariable>& variables,
                         std::string_view what) {
  UrlResult result;
  if (!startsWithIgnoringCase(base, "http://") && !startsWithIgnoringCase(base, "https://")) {
    result.reason = std::string(what) + " does not begin with http:// or https://";
    return result;
  }
  for (char c : base) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      result.reason = std::string(what) + " holds a control byte";
      return result;
    }
  }
  std::string_view fragment;
  std::size_t hash = base.find('#');
  if (hash != std::string_view::npos) {
    fragment = base.substr(hash);
    base = base.substr(0, hash);
  }
  appendUrlText(result.url, base);
  bool first = true;
  for (const ReturnVariable& variable : variables) {
    if (first) {
      if (base.find('?') == std::string_view::npos) {
        result.url += '?';
      } else if (base.back() != '?' && base.back() != '&') {
        result.url += '&';
      }
      first = false;
    } else {
      result.url += '&';
    }
    appendQueryEncoded(result.url, variable.name);
    result.url += '=';
    appendQueryEncoded(result.url, variable.value);
  }
  appendUrlText(result.url, fragment);
  result.ok = true;
  return result;
}

// ---------------------------------------------- the call to KWT_REPONDRE_A

long millisecondsSince(const timespec& start) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
}

// Waits for `events` on `fd` until the call's time is up; false then.
bool waitFor(int fd, short events, const timespec& start) {
  for (;;) {
    long left = kNotifyMilliseconds - millisecondsSince(start);
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Calls `url` (already built, printable ASCII) with a GET, if it is a plain
// http:// URL on this host: 127.x.x.x or localhost, any port. Fills in the
// status line and the start of the answer, or why there is none.
void callNotifyUrl(NotifyResult& call) {
  std::string_view url = call.url;
  if (!startsWithIgnoringCase(url, "http://")) {
    call.result = "not called: only plain http:// URLs on this host are called";
    return;
  }
  url.remove_prefix(7);
  std::size_t end = url.find_first_of("/?#");
  std::string_view authority = url.substr(0, end);
  std::string_view rest = end == std::string_view::npos ? std::string_view() : url.substr(end);
  rest = rest.substr(0, rest.find('#'));
  std::string target = rest.empty() || rest.front() != '/' ? "/" + std::string(rest) : std::string(rest);

  std::string_view host = authority;
  unsigned long port = 80;
  std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    std::string_view digits = authority.substr(colon + 1);
    port = 0;
    if (digits.empty() || digits.size() > 5) port = 0;
    else {
      for (char c : digits) {
        if (c < '0' || c > '9') {
          port = 0;
          break;
        }
        port = port * 10 + static_cast<unsigned long>(c - '0');
      }
    }
    if (port == 0 || port > 65535) {
      call.result = "not called: the port is not a number from 1 to 65535";
      return;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string hostText(host);
  if (equalsIgnoringCase(host, "localhost")) hostText = "127.0.0.1";
  if (inet_pton(AF_INET, hostText.c_str(), &address.sin_addr) != 1 ||
      (ntohl(address.sin_addr.s_addr) >> 24) != 127) {
    call.result = "not called: the sandbox calls 127.x.x.x and localhost only";
    return;
  }

  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket.fd() < 0) {
    call.result = "failed: no socket";
    return;
  }
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS || !waitFor(socket.fd(), POLLOUT, start)) {
      call.result = errno == EINPROGRESS ? "failed: no connection within 5 seconds" : "failed: connection refused";
      return;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      call.result = "failed: connection refused";
      return;
    }
  }
  std::string request = "GET " + target + " HTTP/1.0\r\nHost: " + std::string(authority) +
                        "\r\nUser-Agent: korven-sandbox\r\nConnection: close\r\n\r\n";
  std::string_view pending = request;
  while (!pending.empty()) {
    ssize_t n = ::send(socket.fd(), pending.data(), pending.size(), MSG_NOSIGNAL);
    if (n > 0) {
      pending.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      call.result = "failed: the request could not be sent";
      return;
    } else if (!waitFor(socket.fd(), POLLOUT, start)) {
      call.result = "failed: the request could not be sent within 5 seconds";
      return;
    }
  }
  char chunk[1024];
  bool timedOut = false;
  while (call.response.size() < kNotifyAnswerMax) {
    ssize_t n = ::recv(socket.fd(), chunk, std::min(sizeof chunk, kNotifyAnswerMax - call.response.size()), 0);
    if (n > 0) {
      call.response.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno == EAGAIN || errno == EINTR) {
      if (!waitFor(socket.fd(), POLLIN, start)) {
        timedOut = true;
        break;
      }
    } else {
      break;
    }
  }
  if (call.response.empty()) {
    call.result = timedOut ? "failed: no answer within 5 seconds" : "failed: the connection closed without an answer";
    return;
  }
  call.answered = true;
  std::string_view line = std::string_view(call.response).substr(0, call.response.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  call.result = std::string(line);
}

// The first value of the request field `name` ("" when absent).
std::string_view firstFieldValue(const revozi::FormFieldList& fields, std::string_view name) {
  for (const revozi::FormField& field : fields) {
    if (field.name == name) return field.value ? std::string_view(*field.value) : std::string_view();
  }
  return {};
}

// Plays the answer asked for in the query string, for a valid block.
void playOutcome(Answer& answer, std::string_view query) {
  std::optional<std::string_view> word = queryItem(query, "answer");
  if (!word) return;
  for (const Outcome& outcome : kOutcomes) {
    if (*word == outcome.word) answer.outcome = &outcome;
  }
  if (answer.outcome == nullptr) {
    fail(answer, 400, "Bad Request", "answer must be accept, refuse or cancel");
    return;
  }
  const Outcome& outcome = *answer.outcome;
  answer.plan = returnPlan(answer.data, answer.block, outcome);
  answer.notify = queryItem(query, "notify") == "1";
  if (answer.notify) {
    if (answer.data.repondreA.empty()) {
      answer.notified.result = "not called: the block has no KWT_REPONDRE_A";
    } else {
      UrlResult url = buildReturnUrl(answer.data.repondreA, answer.plan.variables, "KWT_REPONDRE_A");
      if (url.ok) {
        answer.notified.url = url.url;
        callNotifyUrl(answer.notified);
      } else {
        answer.notified.result = "not called: " + url.reason;
      }
    }
  }
  std::string_view base = firstFieldValue(answer.fields, outcome.urlField);
  if (base.empty()) {
    answer.message = "no " + std::string(outcome.urlField) + " in the request: no page to send the shopper to";
    return;
  }
  UrlResult url = buildReturnUrl(base, answer.plan.variables, outcome.urlField);
  if (!url.ok) {
    fail(answer, 400, "Bad Request", url.reason);
    return;
  }
  answer.location = std::move(url.url);
  answer.message = "the shopper is sent to " + std::string(outcome.urlField);
  if (!answer.notify) {
    answer.status = 303;
    answer.statusText = "See Other";
  }
}

Answer examine() {
  Answer answer;
  std::string text;
  if (!requestText(answer, text)) return answer;
  revozi::splitRequestText(text, answer.fields);

  const revozi::FormField* block = nullptr;
  int blocks = 0;
  for (const revozi::FormField& field : answer.fields) {
    if (field.name != "KWT_DATA") continue;
    ++blocks;
    if (block == nullptr) block = &field;
  }
  if (blocks == 0) {
    fail(answer, 400, "Bad Request", "no KWT_DATA field in the request");
    return answer;
  }
  if (blocks > 1) {
    fail(answer, 400, "Bad Request",
         "KWT_DATA given " + std::to_string(blocks) + " times; the payment page sends it once");
    return answer;
  }
  if (!block->value) {
    fail(answer, 400, "Bad Request", "KWT_DATA is empty");
    return answer;
  }
  revozi::DecodeResult decoded = revozi::decodeDataBlock(*block->value);
  if (!decoded.ok) {
    fail(answer, 400, "Bad Request", "KWT_DATA invalid: " + decoded.reason);
    return answer;
  }
  answer.valid = true;
  answer.message = std::string(kValidMessage);
  answer.data = std::move(decoded.fields);
  answer.block = *block->value;
  playOutcome(answer, envView("QUERY_STRING"));
  return answer;
}

// True for a field that the module writes as a hidden field beside KWT_DATA.
bool isForwardedName(std::string_view name) {
  int index = revozi::ParamTable::findByName(name);
  if (index < 0) return false;
  const revozi::ParamEntry& entry = revozi::paramEntries()[static_cast<std::size_t>(index)];
  return entry.forward && name == entry.name;
}

void appendTextValue(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '%' || byte < 0x20 || byte == 0x7F) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
}

void appendHeader(std::string& out, const Answer& answer, std::string_view contentType) {
  if (answer.status != 200) {
    out += "Status: " + std::to_string(answer.status) + " " + answer.statusText + "\n";
  }
  if (answer.status == 405) out += "Allow: GET, POST\n";
  // Built by buildReturnUrl: printable ASCII without blanks, one line.
  if (answer.status == 303) out += "Location: " + answer.location + "\n";
  out += "Content-type: ";
  out += contentType;
  out += "\nCache-Control: no-cache, no-store\n\n";
}

void appendTextLine(std::string& out, std::string_view label, std::string_view value) {
  out += label;
  out += ": ";
  appendTextValue(out, value);
  out += '\n';
}

std::string textAnswer(const Answer& answer) {
  std::string out;
  appendHeader(out, answer, "text/plain");
  out += answer.valid ? "verdict: valid\n" : "verdict: invalid\n";
  appendTextLine(out, "message", answer.message);
  if (answer.valid && answer.outcome != nullptr) {
    appendTextLine(out, "answer", answer.outcome->word);
    for (const ReturnVariable& variable : answer.plan.variables) {
      out += "return: ";
      appendTextValue(out, variable.name);
      out += '=';
      appendTextValue(out, variable.value);
      out += '\n';
    }
    for (const std::string& item : answer.plan.ignored) appendTextLine(out, "ignored", item);
    if (answer.notify) {
      // The URLs are printable ASCII without blanks (buildReturnUrl): as they are.
      if (!answer.notified.url.empty()) out += "notify: " + answer.notified.url + "\n";
      appendTextLine(out, "notify-result", answer.notified.result);
    }
    if (!answer.location.empty()) out += "location: " + answer.location + "\n";
    return out;
  }
  if (answer.valid) {
    for (const auto& field : answer.data.named()) {
      out += "data: ";
      out += field.name;
      out += '=';
      appendTextValue(out, field.value);
      out += '\n';
    }
  }
  for (const revozi::FormField& field : answer.fields) {
    if (field.name == "KWT_DATA") continue;
    out += isForwardedName(field.name) ? "forwarded: " : "other: ";
    appendTextValue(out, field.name);
    out += '=';
    appendTextValue(out, field.value.value_or(""));
    out += '\n';
  }
  return out;
}

void appendPageStart(std::string& out, const Answer& answer) {
  using revozi::appendHtmlEscaped;
  out +=
      "<!DOCTYPE html>\n<html>\n<head>\n<title>Payment sandbox</title>\n"
      "<style>table{border-collapse:collapse}td,th{border:1px solid #999;padding:2px 6px;"
      "text-align:left;vertical-align:top}td{font-family:monospace;white-space:pre-wrap;"
      "word-break:break-all}.valid{color:#060}.invalid{color:#a00}"
      "a.button{display:inline-block;padding:4px 10px;border:1px solid #666;border-radius:3px;"
      "background:#eee;color:#000;text-decoration:none;font-family:sans-serif}</style>\n"
      "</head>\n<body>\n<h1>Payment sandbox</h1>\n"
      "<p>A test stand-in for the payment server: it decodes what the payment page posted. "
      "No payment is made.</p>\n";
  out += answer.valid ? "<p id=\"verdict\" class=\"valid\"><b>" : "<p id=\"verdict\" class=\"invalid\"><b>";
  out += answer.valid ? "valid" : "invalid";
  out += "</b>: <span id=\"message\">";
  appendHtmlEscaped(out, answer.message);
  out += "</span></p>\n";
}

// The link that plays `outcome` for this request: the block and the return
// URLs travel %-encoded in the query string, relative to the sandbox's URL.
std::string answerLink(const Answer& answer, const Outcome& outcome, bool notify) {
  std::string link = "?answer=";
  link += outcome.word;
  if (notify) link += "&notify=1";
  link += "&KWT_DATA=";
  appendQueryEncoded(link, answer.block);
  for (const Outcome& each : kOutcomes) {
    std::string_view value = firstFieldValue(answer.fields, each.urlField);
    if (value.empty()) continue;
    link += '&';
    link += each.urlField;
    link += '=';
    appendQueryEncoded(link, value);
  }
  return link;
}

void appendAnswerButtons(std::string& out, const Answer& answer) {
  using revozi::appendHtmlEscaped;
  out +=
      "<h2>Answer as the payment server</h2>\n"
      "<p>Each button sends the shopper back to the merchant's page for that answer, with the "
      "return variables that KWT_RETOUR asks for.</p>\n"
      "<table id=\"answers\">\n<tr><th>Answer</th><th>The shopper goes to</th></tr>\n";
  for (const Outcome& outcome : kOutcomes) {
    out += "<tr><th><a class=\"button\" id=\"answer-";
    out += outcome.word;
    out += "\" href=\"";
    appendHtmlEscaped(out, answerLink(answer, outcome, false));
    out += "\">";
    out += outcome.label;
    out += "</a></th><td id=\"return-url-";
    out += outcome.word;
    out += "\">";
    std::string_view base = firstFieldValue(answer.fields, outcome.urlField);
    if (base.empty()) {
      out += "(no ";
      out += outcome.urlField;
      out += ": the sandbox shows the return variables)";
    } else {
      UrlResult url = buildReturnUrl(base, returnPlan(answer.data, answer.block, outcome).variables,
                                     outcome.urlField);
      appendHtmlEscaped(out, url.ok ? url.url : "refused: " + url.reason);
    }
    out += "</td></tr>\n";
  }
  out += "</table>\n";
  if (!answer.data.repondreA.empty()) {
    out += "<p>Or call KWT_REPONDRE_A (";
    appendHtmlEscaped(out, answer.data.repondreA);
    out += ") from server to server first:";
    for (const Outcome& outcome : kOutcomes) {
      out += " <a class=\"button\" id=\"notify-";
      out += outcome.word;
      out += "\" href=\"";
      appendHtmlEscaped(out, answerLink(answer, outcome, true));
      out += "\">";
      out += outcome.word;
      out += "</a>";
    }
    out += "</p>\n";
  }
  ReturnPlan plan = returnPlan(answer.data, answer.block, acceptOutcome());
  if (!plan.ignored.empty()) {
    out += "<p>Items of KWT_RETOUR left out (the form is NAME:LETTER, with the letter M, R, A, E or T):"
           " <span id=\"retour-ignored\">";
    for (std::size_t i = 0; i < plan.ignored.size(); ++i) {
      if (i > 0) out += "; ";
      appendHtmlEscaped(out, plan.ignored[i]);
    }
    out += "</span></p>\n";
  }
}

std::string outcomePage(const Answer& answer) {
  using revozi::appendHtmlEscaped;
  std::string out;
  appendHeader(out, answer, "text/html");
  appendPageStart(out, answer);
  out += "<h2>Answer: <span id=\"answer\">";
  out += answer.outcome->word;
  out += "</span></h2>\n<table id=\"return-variables\">\n<tr><th>Return variable</th><th>Value</th></tr>\n";
  std::size_t number = 0;
  for (const ReturnVariable& variable : answer.plan.variables) {
    std::string id = "return-" + std::to_string(++number);
    out += "<tr><td id=\"" + id + "-name\">";
    appendHtmlEscaped(out, variable.name);
    out += "</td><td id=\"" + id + "-value\">";
    appendHtmlEscaped(out, variable.value);
    out += "</td></tr>\n";
  }
  out += "</table>\n";
  if (answer.notify) {
    out += "<h2>KWT_REPONDRE_A</h2>\n<p>Called: <span id=\"notify-url\">";
    appendHtmlEscaped(out, answer.notified.url.empty() ? "nothing" : answer.notified.url);
    out += "</span><br>Result: <span id=\"notify-result\">";
    appendHtmlEscaped(out, answer.notified.result);
    out += "</span></p>\n";
    if (answer.notified.answered) {
      out += "<pre id=\"notify-response\">";
      appendHtmlEscaped(out, answer.notified.response);
      out += "</pre>\n";
    }
  }
  if (!answer.location.empty()) {
    out += "<p><a class=\"button\" id=\"continue\" href=\"";
    appendHtmlEscaped(out, answer.location);
    out += "\">Continue to the merchant's page</a></p>\n";
  }
  out += "</body>\n</html>\n";
  return out;
}

std::string htmlAnswer(const Answer& answer) {
  using revozi::appendHtmlEscaped;
  if (answer.valid && answer.outcome != nullptr) return outcomePage(answer);
  std::string out;
  appendHeader(out, answer, "text/html");
  appendPageStart(out, answer);

  if (answer.valid) {
    out +=
        "<h2>Payment fields (decoded from KWT_DATA)</h2>\n<table id=\"payment-fields\">\n"
        "<tr><th>Field</th><th>Value</th></tr>\n";
    for (const auto& field : answer.data.named()) {
      out += "<tr><th>";
      out += field.name;
      out += "</th><td id=\"data-";
      out += field.name;
      out += "\">";
      appendHtmlEscaped(out, field.value);
      out += "</td></tr>\n";
    }
    out += "</table>\n";
  }

  out +=
      "<h2>Fields received beside KWT_DATA</h2>\n<table id=\"other-fields\">\n"
      "<tr><th>Name</th><th>Value</th><th>Note</th></tr>\n";
  std::size_t number = 0;
  for (const revozi::FormField& field : answer.fields) {
    if (field.name == "KWT_DATA") continue;
    std::string id = "field-" + std::to_string(++number);
    bool forwarded = isForwardedName(field.name);
    out += forwarded ? "<tr class=\"forwarded\"><td id=\"" : "<tr class=\"other\"><td id=\"";
    out += id + "-name\">";
    appendHtmlEscaped(out, field.name);
    out += "</td><td id=\"" + id + "-value\">";
    appendHtmlEscaped(out, field.value.value_or(""));
    out += forwarded ? "</td><td>forwarded by the module</td></tr>\n"
                     : "</td><td>not a field the module forwards</td></tr>\n";
  }
  out += "</table>\n";
  if (answer.valid) appendAnswerButtons(out, answer);
  out += "</body>\n</html>\n";
  return out;
}

bool writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(1, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

int main() {
  const Format format = chooseFormat();
  Answer answer;
  try {
    answer = examine();
  } catch (const std::exception&) {
    // Out of memory while splitting or decoding: still a readable answer.
    answer = Answer();
    fail(answer, 500, "Internal Server Error", "the sandbox ran out of memory");
  }
  const std::string page = format == Format::kText ? textAnswer(answer) : htmlAnswer(answer);
  if (!writeAll(page)) return 1;
  return answer.valid ? 0 : 1;
}

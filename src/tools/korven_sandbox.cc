// korven-sandbox.cgi: a stand-in for the payment server, for a merchant's
// integration tests. It decodes the KWT_DATA that the payment page posts
// (verifying both check values), shows the payment fields and every other
// field that came with it, and plays the payment server's answer: accept,
// refuse or cancel sends the browser back to the merchant's page with the
// return variables of KWT_RETOUR, optionally after calling KWT_REPONDRE_A on
// this host. It keeps nothing. Its requests, answers (HTML and plain text),
// the KWT_RETOUR convention and the exit status are described in
// docs/merchant.md, "The payment sandbox".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datablock/decode.h"
#include "datablock/symbols.h"
#include "pages/page_output.h"
#include "params/form_fields.h"
#include "params/text.h"
#include "params/param_table.h"
#include "params/validate.h"
#include "platform/system_platform.h"

namespace {

using revozi::equalsIgnoringCase;
using revozi::Html;
using revozi::lowerAscii;
using revozi::PageOutput;
using revozi::pagePrint;
using revozi::Platform;
using revozi::startsWithIgnoringCase;

// Far more than any payment page posts (KWT_CMD is at most 2048 bytes).
constexpr std::size_t kMaxBody = 1024 * 1024;

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
  std::string url;       // what was (or would have been) called
  std::string result;    // the status line, or why there is none
  std::string response;  // the start of the answer; empty when none came
};

struct Answer {
  int status = 200;
  std::string statusText = "OK";
  std::string message;
  bool valid = false;
  // For a valid block that the module could not have written: which field
  // its validation refuses.
  std::string warning;
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

std::string_view envView(const Platform& platform, const char* name) {
  const char* value = platform.getEnv(name);
  return value != nullptr ? std::string_view(value) : std::string_view();
}


std::string_view trimBlanks(std::string_view text) {
  text.remove_prefix(std::min(text.find_first_not_of(" \t"), text.size()));
  return text.substr(0, text.find_last_not_of(" \t") + 1);
}

// Cuts the first item of a `separator`-separated list off `list`.
std::string_view nextItem(std::string_view& list, char separator) {
  std::size_t end = list.find(separator);
  std::string_view item = list.substr(0, end);
  list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
  return item;
}

// The value of `text` when it is 1 to `maxDigits` decimal digits and nothing
// else: no sign, no blank.
std::optional<std::uint64_t> digitsValue(std::string_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return n;
}

// True when the comma-separated header list names `mediaType` (parameters
// such as ";q=0.9" are ignored, so is a zero quality).
bool acceptNames(std::string_view accept, std::string_view mediaType) {
  while (!accept.empty()) {
    std::string_view item = nextItem(accept, ',');
    if (equalsIgnoringCase(trimBlanks(item.substr(0, item.find(';'))), mediaType)) return true;
  }
  return false;
}

// The raw value of the first query-string item "name=value"; the sandbox's
// own controls are plain words, never encoded.
std::optional<std::string_view> queryItem(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    std::string_view item = nextItem(query, '&');
    if (item.size() > name.size() && item.substr(0, name.size()) == name && item[name.size()] == '=') {
      return item.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

Format chooseFormat(const Platform& platform) {
  if (queryItem(envView(platform, "QUERY_STRING"), "format") == "text") return Format::kText;
  std::string_view accept = envView(platform, "HTTP_ACCEPT");
  if (acceptNames(accept, "text/plain") && !acceptNames(accept, "text/html")) return Format::kText;
  return Format::kHtml;
}

// Fills in a failure; false, for the callers to return.
bool fail(Answer& answer, int status, const char* statusText, std::string message) {
  answer.status = status;
  answer.statusText = statusText;
  answer.message = std::move(message);
  answer.valid = false;
  return false;
}

// The media type of CONTENT_TYPE without its parameters, lower case.
std::string mediaTypeOf(std::string_view contentType) {
  std::string type(trimBlanks(contentType.substr(0, contentType.find(';'))));
  for (char& c : type) c = lowerAscii(c);
  return type;
}

// Gets the request text (body or query string); false after filling in the
// failure.
bool requestText(Platform& platform, Answer& answer, std::string& text) {
  const char* method = platform.getEnv("REQUEST_METHOD");
  if (method == nullptr) {
    // From a shell: the body is standard input, read to its end (one byte
    // more than the limit tells an oversized input).
    revozi::readBody(platform, kMaxBody + 1, text);
    if (text.size() > kMaxBody) return fail(answer, 413, "Payload Too Large", "the input is larger than 1 MiB");
    return true;
  }
  std::string_view methodName = method;
  if (methodName == "GET") {
    text.assign(envView(platform, "QUERY_STRING"));
    return true;
  }
  if (methodName != "POST") {
    return fail(answer, 405, "Method Not Allowed",
                "method " + std::string(methodName) + " not accepted: the payment page posts its form (POST)");
  }
  std::string type = mediaTypeOf(envView(platform, "CONTENT_TYPE"));
  if (!type.empty() && type != "application/x-www-form-urlencoded") {
    return fail(answer, 400, "Bad Request",
                "the body is " + type + "; the payment form posts application/x-www-form-urlencoded");
  }
  std::optional<std::uint64_t> length = digitsValue(envView(platform, "CONTENT_LENGTH"), 18);
  if (!length) return fail(answer, 400, "Bad Request", "POST without a valid CONTENT_LENGTH");
  if (*length > kMaxBody) return fail(answer, 413, "Payload Too Large", "the body is larger than 1 MiB");
  // Exactly CONTENT_LENGTH bytes: the web server need not close the input.
  revozi::readBody(platform, static_cast<std::size_t>(*length), text);
  if (text.size() < *length) {
    return fail(answer, 400, "Bad Request",
                "the body ended after " + std::to_string(text.size()) + " of " + std::to_string(*length) + " bytes");
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

// `value` (below 10 to the power `width`) in `width` digits.
std::string zeroPadded(std::uint32_t value, std::size_t width) {
  std::string digits = std::to_string(value);
  return std::string(width - digits.size(), '0') + digits;
}

// The variables that KWT_RETOUR asks for, filled in for `outcome`.
ReturnPlan returnPlan(const revozi::DataBlockFields& data, std::string_view block, const Outcome& outcome) {
  ReturnPlan plan;
  std::string_view list = data.retour;
  while (!list.empty()) {
    std::string_view item = nextItem(list, ';');
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

// `text` with every byte for which `escape` holds written as %XX.
template <typename Escape>
void appendPercentEncoded(std::string& out, std::string_view text, Escape escape) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (escape(byte)) {
      out += '%';
      out += revozi::datablock::symbolOf(byte >> 4);
      out += revozi::datablock::symbolOf(byte & 0x0F);
    } else {
      out += c;
    }
  }
}

// A name or value in a query: every byte but the unreserved ones as %XX.
void appendQueryEncoded(std::string& out, std::string_view text) {
  appendPercentEncoded(out, text, [](unsigned char b) {
    return !((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
             b == '_' || b == '~');
  });
}

// The merchant's URL as given, with the bytes that a URL cannot hold as they
// are (blank, quotes, angle brackets, ...; above 0x7E) %-encoded. Control
// bytes are refused before.
void appendUrlText(std::string& out, std::string_view text) {
  appendPercentEncoded(out, text, [](unsigned char b) {
    return b > 0x7E || std::string_view(" \"<>\\^`{|}").find(static_cast<char>(b)) != std::string_view::npos;
  });
}

// A value of the text answer: '%', the bytes below 0x20 and 0x7F as %XX, so
// that a line stays a line.
std::string textValue(std::string_view value) {
  std::string out;
  appendPercentEncoded(out, value, [](unsigned char b) { return b == '%' || b < 0x20 || b == 0x7F; });
  return out;
}

// `base` (the value of field `what`) with the variables appended; every byte
// of the result is printable ASCII other than the blank.
UrlResult buildReturnUrl(std::string_view base, const std::vector<ReturnVariable>& variables,
                         std::string_view what) {
  if (!startsWithIgnoringCase(base, "http://") && !startsWithIgnoringCase(base, "https://")) {
    return {false, {}, std::string(what) + " does not begin with http:// or https://"};
  }
  if (revozi::hasControlByte(base)) return {false, {}, std::string(what) + " holds a control byte"};
  UrlResult result;
  std::string_view fragment;
  std::size_t hash = base.find('#');
  if (hash != std::string_view::npos) {
    fragment = base.substr(hash);
    base = base.substr(0, hash);
  }
  appendUrlText(result.url, base);
  for (std::size_t i = 0; i < variables.size(); ++i) {
    if (i > 0) {
      result.url += '&';
    } else if (base.find('?') == std::string_view::npos) {
      result.url += '?';
    } else if (base.back() != '?' && base.back() != '&') {
      result.url += '&';
    }
    appendQueryEncoded(result.url, variables[i].name);
    result.url += '=';
    appendQueryEncoded(result.url, variables[i].value);
  }
  appendUrlText(result.url, fragment);
  result.ok = true;
  return result;
}

// ---------------------------------------------- the call to KWT_REPONDRE_A

using Clock = std::chrono::steady_clock;

// Waits for `events` on `fd` until the call's time is up; false then.
bool waitFor(int fd, short events, Clock::time_point start) {
  for (;;) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    const long left = kNotifyMilliseconds - static_cast<long>(spent);
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// Closes the call's socket however the call ends.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { if (fd_ >= 0) ::close(fd_); }
  int fd() const { return fd_; }

 private:
  const int fd_;
};

// Calls `url` (already built, printable ASCII) with a GET, if it is a plain
// http:// URL on this host: 127.x.x.x or localhost, any port. Returns the
// status line, or why there is none; the start of the answer goes to
// `response`.
std::string callNotifyUrl(std::string_view url, std::string& response) {
  if (!startsWithIgnoringCase(url, "http://")) return "not called: only plain http:// URLs on this host are called";
  url.remove_prefix(7);
  std::size_t end = url.find_first_of("/?#");
  std::string_view authority = url.substr(0, end);
  std::string_view rest = end == std::string_view::npos ? std::string_view() : url.substr(end);
  rest = rest.substr(0, rest.find('#'));
  std::string target = rest.empty() || rest.front() != '/' ? "/" + std::string(rest) : std::string(rest);

  std::string_view host = authority;
  std::uint64_t port = 80;
  std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = digitsValue(authority.substr(colon + 1), 5).value_or(0);
    if (port == 0 || port > 65535) return "not called: the port is not a number from 1 to 65535";
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string hostText = equalsIgnoringCase(host, "localhost") ? "127.0.0.1" : std::string(host);
  if (inet_pton(AF_INET, hostText.c_str(), &address.sin_addr) != 1 ||
      (ntohl(address.sin_addr.s_addr) >> 24) != 127) {
    return "not called: the sandbox calls 127.x.x.x and localhost only";
  }

  const Clock::time_point start = Clock::now();
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket.fd() < 0) return "failed: no socket";
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS || !waitFor(socket.fd(), POLLOUT, start)) {
      return errno == EINPROGRESS ? "failed: no connection within 5 seconds" : "failed: connection refused";
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      return "failed: connection refused";
    }
  }
  std::string request = "GET " + target + " HTTP/1.0\r\nHost: " + std::string(authority) +
                        "\r\nUser-Agent: korven-sandbox\r\nConnection: close\r\n\r\n";
  std::string_view pending = request;
  while (!pending.empty()) {
    ssize_t n = ::send(socket.fd(), pending.data(), pending.size(), MSG_NOSIGNAL);
    if (n > 0) {
      pending.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) return "failed: the request could not be sent"; else if (!waitFor(socket.fd(), POLLOUT, start)) return "failed: the request could not be sent within 5 seconds";
  }
  char chunk[1024];
  bool timedOut = false;
  while (response.size() < kNotifyAnswerMax) {
    ssize_t n = ::recv(socket.fd(), chunk, std::min(sizeof chunk, kNotifyAnswerMax - response.size()), 0);
    if (n > 0) {
      response.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    } else if (!waitFor(socket.fd(), POLLIN, start)) {
      timedOut = true;
      break;
    }
  }
  if (response.empty()) {
    return timedOut ? "failed: no answer within 5 seconds" : "failed: the connection closed without an answer";
  }
  std::string_view line = std::string_view(response).substr(0, response.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return std::string(line);
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
  if (answer.notify && answer.data.repondreA.empty()) {
    answer.notified.result = "not called: the block has no KWT_REPONDRE_A";
  } else if (answer.notify) {
    UrlResult url = buildReturnUrl(answer.data.repondreA, answer.plan.variables, "KWT_REPONDRE_A");
    if (url.ok) {
      answer.notified.url = url.url;
      answer.notified.result = callNotifyUrl(url.url, answer.notified.response);
    } else {
      answer.notified.result = "not called: " + url.reason;
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

// Reads the request and decodes its one KWT_DATA; false after filling in the
// failure.
bool decodeRequestBlock(Platform& platform, Answer& answer) {
  std::string text;
  if (!requestText(platform, answer, text)) return false;
  revozi::splitRequestText(text, answer.fields);
  const auto isBlock = [](const revozi::FormField& field) { return field.name == "KWT_DATA"; };
  const auto blocks = std::count_if(answer.fields.begin(), answer.fields.end(), isBlock);
  if (blocks == 0) return fail(answer, 400, "Bad Request", "no KWT_DATA field in the request");
  if (blocks > 1) {
    return fail(answer, 400, "Bad Request",
                "KWT_DATA given " + std::to_string(blocks) + " times; the payment page sends it once");
  }
  const revozi::FormField& block = *std::find_if(answer.fields.begin(), answer.fields.end(), isBlock);
  if (!block.value) return fail(answer, 400, "Bad Request", "KWT_DATA is empty");
  revozi::DecodeResult decoded = revozi::decodeDataBlock(*block.value);
  if (!decoded.ok) return fail(answer, 400, "Bad Request", "KWT_DATA invalid: " + decoded.reason);
  answer.valid = true;
  answer.message = "KWT_DATA valid: both check values verified";
  answer.data = std::move(decoded.fields);
  answer.warning = revozi::moduleRefusalWarning(answer.data);
  answer.block = *block.value;
  return true;
}

// True for a field that the module writes as a hidden field beside KWT_DATA.
bool isForwardedName(std::string_view name) {
  int index = revozi::ParamTable::findByName(name);
  if (index < 0) return false;
  const revozi::ParamEntry& entry = revozi::paramEntries()[static_cast<std::size_t>(index)];
  return entry.forward && name == entry.name;
}

// ------------------------------------------------------------- the answers

// "valid", "invalid", or "suspect" for a valid block that the module could
// not have written (the warning says why).
const char* verdictWord(const Answer& answer) {
  if (!answer.valid) return "invalid";
  return answer.warning.empty() ? "valid" : "suspect";
}

void printHeader(PageOutput& out, const Answer& answer, const char* contentType) {
  if (answer.status != 200) pagePrint(out, "Status: %d %s\n", answer.status, answer.statusText);
  if (answer.status == 405) pagePrint(out, "Allow: GET, POST\n");
  // Built by buildReturnUrl: printable ASCII without blanks, one line.
  if (answer.status == 303) pagePrint(out, "Location: %s\n", answer.location);
  pagePrint(out, "Content-type: %s\nCache-Control: no-cache, no-store\n\n", contentType);
}

void printTextAnswer(PageOutput& out, const Answer& answer) {
  printHeader(out, answer, "text/plain");
  pagePrint(out, "verdict: %s\nmessage: %s\n", verdictWord(answer), textValue(answer.message));
  if (answer.valid && !answer.warning.empty()) pagePrint(out, "warning: %s\n", textValue(answer.warning));
  if (answer.valid && answer.outcome != nullptr) {
    pagePrint(out, "answer: %s\n", answer.outcome->word);
    for (const ReturnVariable& variable : answer.plan.variables) {
      pagePrint(out, "return: %s=%s\n", textValue(variable.name), textValue(variable.value));
    }
    for (const std::string& item : answer.plan.ignored) pagePrint(out, "ignored: %s\n", textValue(item));
    if (answer.notify) {
      // The URLs are printable ASCII without blanks (buildReturnUrl): as they are.
      if (!answer.notified.url.empty()) pagePrint(out, "notify: %s\n", answer.notified.url);
      pagePrint(out, "notify-result: %s\n", textValue(answer.notified.result));
    }
    if (!answer.location.empty()) pagePrint(out, "location: %s\n", answer.location);
    return;
  }
  if (answer.valid) {
    for (const auto& field : answer.data.named()) pagePrint(out, "data: %s=%s\n", field.name, textValue(field.value));
  }
  for (const revozi::FormField& field : answer.fields) {
    if (field.name == "KWT_DATA") continue;
    pagePrint(out, "%s: %s=%s\n", isForwardedName(field.name) ? "forwarded" : "other", textValue(field.name),
              textValue(field.value.value_or("")));
  }
}

void printPageStart(PageOutput& out, const Answer& answer) {
  printHeader(out, answer, "text/html");
  const char* verdict = verdictWord(answer);
  pagePrint(out,
            "<!DOCTYPE html>\n<html>\n<head>\n<title>Payment sandbox</title>\n"
            "<style>table{border-collapse:collapse}td,th{border:1px solid #999;padding:2px 6px;"
            "text-align:left;vertical-align:top}td{font-family:monospace;white-space:pre-wrap;"
            "word-break:break-all}.valid{color:#060}.invalid,.suspect{color:#a00}"
            "a.button{display:inline-block;padding:4px 10px;border:1px solid #666;border-radius:3px;"
            "background:#eee;color:#000;text-decoration:none;font-family:sans-serif}</style>\n"
            "</head>\n<body>\n<h1>Payment sandbox</h1>\n"
            "<p>A test stand-in for the payment server: it decodes what the payment page posted. "
            "No payment is made.</p>\n"
            "<p id=\"verdict\" class=\"%s\"><b>%s</b>: <span id=\"message\">%s</span></p>\n",
            verdict, verdict, Html{answer.message});
  // Above the fields and the answer buttons.
  if (answer.valid && !answer.warning.empty()) {
    pagePrint(out, "<p id=\"warning\" class=\"suspect\"><b>%s</b></p>\n", Html{answer.warning});
  }
}

// The link that plays `outcome` for this request: the block and the return
// URLs travel %-encoded in the query string, relative to the sandbox's URL.
std::string answerLink(const Answer& answer, const Outcome& outcome, bool notify) {
  std::string link = "?answer=" + std::string(outcome.word) + (notify ? "&notify=1" : "") + "&KWT_DATA=";
  appendQueryEncoded(link, answer.block);
  for (const Outcome& each : kOutcomes) {
    std::string_view value = firstFieldValue(answer.fields, each.urlField);
    if (value.empty()) continue;
    link += "&" + std::string(each.urlField) + "=";
    appendQueryEncoded(link, value);
  }
  return link;
}

void printAnswerButtons(PageOutput& out, const Answer& answer) {
  pagePrint(out,
            "<h2>Answer as the payment server</h2>\n"
            "<p>Each button sends the shopper back to the merchant's page for that answer, with the "
            "return variables that KWT_RETOUR asks for.</p>\n"
            "<table id=\"answers\">\n<tr><th>Answer</th><th>The shopper goes to</th></tr>\n");
  for (const Outcome& outcome : kOutcomes) {
    pagePrint(out, "<tr><th><a class=\"button\" id=\"answer-%s\" href=\"%s\">%s</a></th><td id=\"return-url-%s\">",
              outcome.word, Html{answerLink(answer, outcome, false)}, outcome.label, outcome.word);
    std::string_view base = firstFieldValue(answer.fields, outcome.urlField);
    if (base.empty()) {
      pagePrint(out, "(no %s: the sandbox shows the return variables)", outcome.urlField);
    } else {
      UrlResult url = buildReturnUrl(base, returnPlan(answer.data, answer.block, outcome).variables,
                                     outcome.urlField);
      pagePrint(out, "%s", Html{url.ok ? url.url : "refused: " + url.reason});
    }
    pagePrint(out, "</td></tr>\n");
  }
  pagePrint(out, "</table>\n");
  if (!answer.data.repondreA.empty()) {
    pagePrint(out, "<p>Or call KWT_REPONDRE_A (%s) from server to server first:", Html{answer.data.repondreA});
    for (const Outcome& outcome : kOutcomes) {
      pagePrint(out, " <a class=\"button\" id=\"notify-%s\" href=\"%s\">%s</a>", outcome.word,
                Html{answerLink(answer, outcome, true)}, outcome.word);
    }
    pagePrint(out, "</p>\n");
  }
  ReturnPlan plan = returnPlan(answer.data, answer.block, acceptOutcome());
  if (!plan.ignored.empty()) {
    pagePrint(out,
              "<p>Items of KWT_RETOUR left out (the form is NAME:LETTER, with the letter M, R, A, E or T):"
              " <span id=\"retour-ignored\">");
    for (std::size_t i = 0; i < plan.ignored.size(); ++i) {
      pagePrint(out, "%s%s", i > 0 ? "; " : "", Html{plan.ignored[i]});
    }
    pagePrint(out, "</span></p>\n");
  }
}

void printOutcomePage(PageOutput& out, const Answer& answer) {
  printPageStart(out, answer);
  pagePrint(out,
            "<h2>Answer: <span id=\"answer\">%s</span></h2>\n<table id=\"return-variables\">\n"
            "<tr><th>Return variable</th><th>Value</th></tr>\n",
            answer.outcome->word);
  std::size_t number = 0;
  for (const ReturnVariable& variable : answer.plan.variables) {
    ++number;
    pagePrint(out, "<tr><td id=\"return-%d-name\">%s</td><td id=\"return-%d-value\">%s</td></tr>\n", number,
              Html{variable.name}, number, Html{variable.value});
  }
  pagePrint(out, "</table>\n");
  if (answer.notify) {
    pagePrint(out,
              "<h2>KWT_REPONDRE_A</h2>\n<p>Called: <span id=\"notify-url\">%s</span><br>"
              "Result: <span id=\"notify-result\">%s</span></p>\n",
              Html{answer.notified.url.empty() ? "nothing" : answer.notified.url}, Html{answer.notified.result});
    if (!answer.notified.response.empty()) {
      pagePrint(out, "<pre id=\"notify-response\">%s</pre>\n", Html{answer.notified.response});
    }
  }
  if (!answer.location.empty()) {
    pagePrint(out, "<p><a class=\"button\" id=\"continue\" href=\"%s\">Continue to the merchant's page</a></p>\n",
              Html{answer.location});
  }
  pagePrint(out, "</body>\n</html>\n");
}

void printHtmlAnswer(PageOutput& out, const Answer& answer) {
  if (answer.valid && answer.outcome != nullptr) return printOutcomePage(out, answer);
  printPageStart(out, answer);
  if (answer.valid) {
    pagePrint(out,
              "<h2>Payment fields (decoded from KWT_DATA)</h2>\n<table id=\"payment-fields\">\n"
              "<tr><th>Field</th><th>Value</th></tr>\n");
    for (const auto& field : answer.data.named()) {
      pagePrint(out, "<tr><th>%s</th><td id=\"data-%s\">%s</td></tr>\n", field.name, field.name,
                Html{field.value});
    }
    pagePrint(out, "</table>\n");
  }
  pagePrint(out,
            "<h2>Fields received beside KWT_DATA</h2>\n<table id=\"other-fields\">\n"
            "<tr><th>Name</th><th>Value</th><th>Note</th></tr>\n");
  std::size_t number = 0;
  for (const revozi::FormField& field : answer.fields) {
    if (field.name == "KWT_DATA") continue;
    ++number;
    const bool forwarded = isForwardedName(field.name);
    pagePrint(out, "<tr class=\"%s\"><td id=\"field-%d-name\">%s</td><td id=\"field-%d-value\">%s</td><td>%s</td></tr>\n",
              forwarded ? "forwarded" : "other", number, Html{field.name}, number,
              Html{field.value.value_or("")},
              forwarded ? "forwarded by the module" : "not a field the module forwards");
  }
  pagePrint(out, "</table>\n");
  if (answer.valid) printAnswerButtons(out, answer);
  pagePrint(out, "</body>\n</html>\n");
}

}  // namespace

int runSandbox(Platform& platform) {
  const Format format = chooseFormat(platform);
  Answer answer;
  try {
    if (decodeRequestBlock(platform, answer)) playOutcome(answer, envView(platform, "QUERY_STRING"));
  } catch (const std::exception&) {
    // Out of memory while splitting or decoding: still a readable answer.
    answer = Answer();
    fail(answer, 500, "Internal Server Error", "the sandbox ran out of memory");
  }
  PageOutput out(platform);
  if (format == Format::kText) {
    printTextAnswer(out, answer);
  } else {
    printHtmlAnswer(out, answer);
  }
  out.flush();
  if (!out.delivered() || !answer.valid) return 1;
  return answer.warning.empty() ? 0 : 2;
}

int main() {
  revozi::SystemPlatform platform;
  return runSandbox(platform);
}

// korven-sandbox.cgi: a stand-in for the payment server, for a merchant's
// integration tests. Installed beside revozi.cgi and named in KWT_KORVEN, it
// receives what the shopper's browser posts from the payment page, decodes
// KWT_DATA (verifying both check values) and answers a page that shows the
// payment fields the block carries, every other field that came with it, and
// a verdict. It never contacts anything and keeps nothing.
//
// Request: POST, application/x-www-form-urlencoded (what the payment page's
// form sends), or GET with the fields in the query string. Only KWT_ and
// VEL_ fields are read, split and decoded exactly as the module decodes its
// own requests. Run from a shell (no REQUEST_METHOD), standard input is the
// body.
//
// Answer formats:
//   HTML (default): a table per group; the verdict is <p id="verdict"
//     class="valid|invalid">, each payment field is <td id="data-KWT_NAME">,
//     the other fields <td id="field-N-name"> and <td id="field-N-value">
//     (N counts from 1 in request order). Every value is HTML-escaped.
//   Plain text: with "format=text" in the query string, or an Accept header
//     that names text/plain and not text/html. One line each:
//       verdict: valid | invalid
//       message: <the verdict in words, or the reason of the failure>
//       data: KWT_NAME=value          one per payment field, record order
//       forwarded: KWT_NAME=value     a field the module forwards
//       other: NAME=value             any other field received
//     Values are written byte for byte except '%', the bytes below 0x20 and
//     0x7F, which become %XX (upper-case hexadecimal), so a line is a line.
//
// A request without a valid block gets "Status: 400 Bad Request" and the
// reason (405 for another method, 413 for a body over 1 MiB). Exit status:
// 0 when the block is valid, 1 otherwise.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "datablock/decode.h"
#include "pages/page_output.h"
#include "params/form_fields.h"
#include "params/param_table.h"

namespace {

// Far more than any payment page posts (KWT_CMD is at most 2048 bytes).
constexpr std::size_t kMaxBody = 1024 * 1024;

constexpr std::string_view kValidMessage = "KWT_DATA valid: both check values verified";

enum class Format { kHtml, kText };

struct Answer {
  int status = 200;
  std::string statusText = "OK";
  std::string message;
  bool valid = false;
  revozi::FormFieldList fields;
  revozi::DataBlockFields data;
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

bool queryAsksForText(std::string_view query) {
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item == "format=text") return true;
  }
  return false;
}

Format chooseFormat() {
  if (queryAsksForText(envView("QUERY_STRING"))) return Format::kText;
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
  out += "Content-type: ";
  out += contentType;
  out += "\nCache-Control: no-cache, no-store\n\n";
}

std::string textAnswer(const Answer& answer) {
  std::string out;
  appendHeader(out, answer, "text/plain");
  out += answer.valid ? "verdict: valid\n" : "verdict: invalid\n";
  out += "message: ";
  appendTextValue(out, answer.message);
  out += '\n';
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

std::string htmlAnswer(const Answer& answer) {
  using revozi::appendHtmlEscaped;
  std::string out;
  appendHeader(out, answer, "text/html");
  out +=
      "<!DOCTYPE html>\n<html>\n<head>\n<title>Payment sandbox</title>\n"
      "<style>table{border-collapse:collapse}td,th{border:1px solid #999;padding:2px 6px;"
      "text-align:left;vertical-align:top}td{font-family:monospace;white-space:pre-wrap;"
      "word-break:break-all}.valid{color:#060}.invalid{color:#a00}</style>\n"
      "</head>\n<body>\n<h1>Payment sandbox</h1>\n"
      "<p>A test stand-in for the payment server: it decodes what the payment page posted. "
      "No payment is made.</p>\n";
  out += answer.valid ? "<p id=\"verdict\" class=\"valid\"><b>" : "<p id=\"verdict\" class=\"invalid\"><b>";
  out += answer.valid ? "valid" : "invalid";
  out += "</b>: <span id=\"message\">";
  appendHtmlEscaped(out, answer.message);
  out += "</span></p>\n";

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
  out += "</table>\n</body>\n</html>\n";
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

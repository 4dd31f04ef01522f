// korven-sandbox.cgi: a stand-in for the payment server, for a merchant's
// integration tests. It decodes the KWT_DATA that the payment page posts
// (verifying both check values), shows the payment fields and every other
// field that came with it, and plays the payment server's answer: accept,
// refuse or cancel sends the browser back to the merchant's page with the
// return variables of KWT_RETOUR, signed with the sandbox's private key
// (KORVEN_SANDBOX_KEY), optionally after calling KWT_REPONDRE_A on this host.
// It keeps nothing but the last notifications it sent, for a replay from a
// shell. Its requests, answers (HTML and plain text), the KWT_RETOUR
// convention and the exit status are described in docs/merchant.md, "The
// payment sandbox".
#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datablock/decode.h"
#include "pages/page_output.h"
#include "params/form_fields.h"
#include "params/text.h"
#include "params/param_table.h"
#include "params/validate.h"
#include "platform/system_platform.h"
#include "sandbox/sandbox_commands.h"
#include "sandbox/sandbox_notify.h"
#include "signing/signing.h"
#include "tools/tool_text.h"

namespace {

using revozi::equalsIgnoringCase;
using revozi::Html;
using revozi::lowerAscii;
using revozi::PageOutput;
using revozi::pagePrint;
using revozi::Platform;
using revozi::startsWithIgnoringCase;
using revozi::tools::appendPercentEncoded;
using revozi::tools::appendUrlText;
using revozi::tools::digitsValue;
using revozi::tools::lineText;
using revozi::tools::trimBlanks;

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

// What the page says of a return without a signature.
constexpr char kUnsignedWarning[] = "This return is not signed: a shop must refuse it.";
// The digits of the transaction number (letter T), drawn for every answer.
constexpr std::size_t kTransactionDigits = 8;

struct ReturnVariable {
  std::string name;
  std::string value;
  bool placeholder = false;  // a text in place of a value drawn later, as it is
};

// The items of KWT_RETOUR as applied, and the variables they give.
struct ReturnPlan : revozi::signing::ReturnList {
  std::vector<ReturnVariable> variables;
};

struct UrlResult {
  bool ok = false;
  std::string url;     // when ok
  std::string reason;  // when not
};

struct NotifyResult {
  std::string url;                          // what was called; empty when nothing
  std::string refused;                      // why nothing was called
  std::vector<revozi::sandbox::NotifyCall> calls;  // one, or two for a duplicate
  std::string kept;                         // why it was not kept for replay
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
  int notifyCalls = 0;    // calls to KWT_REPONDRE_A: 0, 1, or 2 (a duplicate)
  bool notifyOnly = false;  // the shopper never comes back
  NotifyResult notified;
};

std::string_view envView(const Platform& platform, const char* name) {
  const char* value = platform.getEnv(name);
  return value != nullptr ? std::string_view(value) : std::string_view();
}

// Cuts the first item of a `separator`-separated list off `list`.
std::string_view nextItem(std::string_view& list, char separator) {
  std::size_t end = list.find(separator);
  std::string_view item = list.substr(0, end);
  list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
  return item;
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

// The variables that KWT_RETOUR asks for, filled in for `outcome` with the
// transaction number `transaction` (empty: a placeholder, for a preview).
// The signature item must be the last one: elsewhere it is left out, and
// the return is then not signed at all.
ReturnPlan returnPlan(const revozi::DataBlockFields& data, std::string_view block, const Outcome& outcome,
                      std::string_view transaction) {
  ReturnPlan plan;
  static_cast<revozi::signing::ReturnList&>(plan) = revozi::signing::parseReturnList(data.retour);
  for (const revozi::signing::ReturnItem& item : plan.items) {
    std::string value;
    bool placeholder = false;
    switch (item.letter) {
      case 'M': value = data.total; break;
      case 'R': value = data.cmd; break;
      case 'A':
        if (&outcome == &acceptOutcome()) value = zeroPadded(fnv1a(block) % 1000000u, 6);
        break;
      case 'E': value = outcome.code; break;
      default:  // 'T'
        placeholder = transaction.empty();
        value = placeholder ? "(random)" : transaction;
        break;
    }
    plan.variables.push_back({item.name, std::move(value), placeholder});
  }
  return plan;
}

// A name or value in a query: every byte but the unreserved ones as %XX.
void appendQueryEncoded(std::string& out, std::string_view text) { out += revozi::signing::queryEncode(text); }

// Appends to `url` the signature by `signer` (or a placeholder without one)
// of the variables of `plan`, sent as the bytes from `appended` on, as the
// variable `name`.
void appendSignature(std::string& url, std::size_t appended, const ReturnPlan& plan,
                     const revozi::signing::Signer* signer) {
  const std::string signature =
      signer != nullptr ? signer->sign(revozi::signing::signedMessage(plan, std::string_view(url).substr(appended)))
                        : "(signature)";
  if (url.back() != '?' && url.back() != '&') url += '&';
  appendQueryEncoded(url, plan.signatureName);
  url += '=';
  url += signature;
}

// `base` (the value of field `what`) with the variables of `plan` appended,
// and its signature last when the plan asks for one; every byte of the
// result is printable ASCII other than the blank (placeholders excepted).
UrlResult buildReturnUrl(std::string_view base, const ReturnPlan& plan, std::string_view what,
                         const revozi::signing::Signer* signer) {
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
  const bool appending = !plan.variables.empty() || !plan.signatureName.empty();
  if (appending && base.find('?') == std::string_view::npos) {
    result.url += '?';
  } else if (appending && base.back() != '?' && base.back() != '&') {
    result.url += '&';
  }
  // Where the variables of the payment server begin: only they are signed.
  const std::size_t appended = result.url.size();
  for (std::size_t i = 0; i < plan.variables.size(); ++i) {
    if (i > 0) result.url += '&';
    const ReturnVariable& variable = plan.variables[i];
    appendQueryEncoded(result.url, variable.name);
    result.url += '=';
    if (variable.placeholder) {
      result.url += variable.value;
    } else {
      appendQueryEncoded(result.url, variable.value);
    }
  }
  if (!plan.signatureName.empty()) appendSignature(result.url, appended, plan, signer);
  appendUrlText(result.url, fragment);
  result.ok = true;
  return result;
}

// The first value of the request field `name` ("" when absent).
std::string_view firstFieldValue(const revozi::FormFieldList& fields, std::string_view name) {
  for (const revozi::FormField& field : fields) {
    if (field.name == name) return field.value ? std::string_view(*field.value) : std::string_view();
  }
  return {};
}

// Calls KWT_REPONDRE_A for the answer being played, once or twice (a
// duplicate delivery), and keeps the notification for a replay.
void notifyMerchant(Answer& answer, const revozi::signing::Signer& signer, const std::string& stateDir) {
  NotifyResult& notified = answer.notified;
  if (answer.data.repondreA.empty()) {
    notified.refused = "not called: the block has no KWT_REPONDRE_A";
    return;
  }
  UrlResult url = buildReturnUrl(answer.data.repondreA, answer.plan, "KWT_REPONDRE_A", &signer);
  if (!url.ok) {
    notified.refused = "not called: " + url.reason;
    return;
  }
  notified.url = std::move(url.url);
  for (int i = 0; i < answer.notifyCalls; ++i) {
    revozi::sandbox::NotifyCall call = revozi::sandbox::callNotifyUrl(notified.url);
    if (call.result.rfind("not called: ", 0) == 0) {
      notified.refused = std::move(call.result);
      return;
    }
    notified.calls.push_back(std::move(call));
  }
  notified.kept = revozi::sandbox::recordNotification(stateDir, notified.url, notified.calls);
}

// Plays the answer asked for in the query string, for a valid block.
void playOutcome(Answer& answer, std::string_view query, const revozi::signing::Signer& signer,
                 const std::string& stateDir) {
  std::optional<std::string_view> word = queryItem(query, "answer");
  if (!word) return;
  for (const Outcome& outcome : kOutcomes) {
    if (*word == outcome.word) answer.outcome = &outcome;
  }
  if (answer.outcome == nullptr) {
    fail(answer, 400, "Bad Request", "answer must be accept, refuse or cancel");
    return;
  }
  if (std::optional<std::string_view> notify = queryItem(query, "notify")) {
    answer.notifyCalls = *notify == "1" || *notify == "only" ? 1 : *notify == "2" ? 2 : 0;
    answer.notifyOnly = *notify == "only";
    if (answer.notifyCalls == 0) {
      fail(answer, 400, "Bad Request", "notify must be 1, 2 (sent twice) or only (the shopper never comes back)");
      return;
    }
  }
  const Outcome& outcome = *answer.outcome;
  // A transaction of its own for every answer: each attempt is its own event.
  answer.plan = returnPlan(answer.data, answer.block, outcome, revozi::signing::randomDigits(kTransactionDigits));
  if (answer.notifyCalls > 0) notifyMerchant(answer, signer, stateDir);
  if (answer.notifyOnly) {
    answer.message = "the notification only: the shopper never comes back";
    return;
  }
  std::string_view base = firstFieldValue(answer.fields, outcome.urlField);
  if (base.empty()) {
    answer.message = "no " + std::string(outcome.urlField) + " in the request: no page to send the shopper to";
    return;
  }
  UrlResult url = buildReturnUrl(base, answer.plan, outcome.urlField, &signer);
  if (!url.ok) {
    fail(answer, 400, "Bad Request", url.reason);
    return;
  }
  answer.location = std::move(url.url);
  answer.message = "the shopper is sent to " + std::string(outcome.urlField);
  if (answer.notifyCalls == 0) {
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

void printTextNotification(PageOutput& out, const NotifyResult& notified) {
  // The URLs are printable ASCII without blanks (buildReturnUrl): as they are.
  if (!notified.url.empty()) pagePrint(out, "notify: %s\n", notified.url);
  if (!notified.refused.empty()) pagePrint(out, "notify-result: %s\n", lineText(notified.refused));
  for (const revozi::sandbox::NotifyCall& call : notified.calls) {
    pagePrint(out, "notify-result: %s\n", lineText(call.result));
    if (call.textPlain) pagePrint(out, "notify-answer: %s\n", lineText(call.excerpt));
    pagePrint(out, "notify-delivered: %s\n", call.delivered ? "yes" : "no");
  }
  if (!notified.calls.empty() && !notified.kept.empty()) {
    pagePrint(out, "notify-not-kept: %s\n", lineText(notified.kept));
  }
}

void printTextAnswer(PageOutput& out, const Answer& answer) {
  printHeader(out, answer, "text/plain");
  pagePrint(out, "verdict: %s\nmessage: %s\n", verdictWord(answer), lineText(answer.message));
  if (answer.valid && !answer.warning.empty()) pagePrint(out, "warning: %s\n", lineText(answer.warning));
  if (answer.valid && answer.outcome != nullptr) {
    pagePrint(out, "answer: %s\n", answer.outcome->word);
    for (const ReturnVariable& variable : answer.plan.variables) {
      pagePrint(out, "return: %s=%s\n", lineText(variable.name), lineText(variable.value));
    }
    for (const std::string& item : answer.plan.ignored) pagePrint(out, "ignored: %s\n", lineText(item));
    if (answer.plan.signatureName.empty()) {
      pagePrint(out, "unsigned: %s\n", kUnsignedWarning);
    } else {
      pagePrint(out, "signature: %s\n", lineText(answer.plan.signatureName));
    }
    if (answer.notifyCalls > 0) printTextNotification(out, answer.notified);
    if (!answer.location.empty()) pagePrint(out, "location: %s\n", answer.location);
    return;
  }
  if (answer.valid) {
    for (const auto& field : answer.data.named()) pagePrint(out, "data: %s=%s\n", field.name, lineText(field.value));
  }
  for (const revozi::FormField& field : answer.fields) {
    if (field.name == "KWT_DATA") continue;
    pagePrint(out, "%s: %s=%s\n", isForwardedName(field.name) ? "forwarded" : "other", lineText(field.name),
              lineText(field.value.value_or("")));
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
std::string answerLink(const Answer& answer, const Outcome& outcome, std::string_view notify) {
  std::string link = "?answer=" + std::string(outcome.word);
  if (!notify.empty()) link += "&notify=" + std::string(notify);
  link += "&KWT_DATA=";
  appendQueryEncoded(link, answer.block);
  for (const Outcome& each : kOutcomes) {
    std::string_view value = firstFieldValue(answer.fields, each.urlField);
    if (value.empty()) continue;
    link += "&" + std::string(each.urlField) + "=";
    appendQueryEncoded(link, value);
  }
  return link;
}

// Whether the returns of `plan` are signed, in words.
void printSignatureNote(PageOutput& out, const ReturnPlan& plan) {
  if (!plan.signatureName.empty()) {
    pagePrint(out,
              "<p id=\"signature\" class=\"valid\">Signed: the last variable of every return, "
              "<code>%s</code>, is the signature of the bytes before it (<code>kwtdata verify</code>).</p>\n",
              Html{plan.signatureName});
    return;
  }
  pagePrint(out, "<p id=\"signature\" class=\"invalid\"><b>%s</b> %s</p>\n", kUnsignedWarning,
            plan.misplacedSignature ? "The signature item (NAME:S) must be the last item of KWT_RETOUR."
                                    : "Add a signature item, for example Sig:S, as the last item of KWT_RETOUR.");
}

// The notification scenarios: how KWT_REPONDRE_A is called, for each answer.
struct NotifyScenario {
  std::string_view value;  // of notify= in the link
  std::string_view label;
};
constexpr NotifyScenario kNotifyScenarios[] = {
    {"1", "Notification, then the shopper comes back"},
    {"2", "Duplicate: the notification sent twice, then the shopper comes back"},
    {"only", "Notification only: the shopper never comes back"},
};

void printNotifyButtons(PageOutput& out, const Answer& answer) {
  pagePrint(out,
            "<h2>Notify the shop first (KWT_REPONDRE_A)</h2>\n"
            "<p>These call <code>%s</code> from server to server, as the payment server confirms a payment, "
            "then show the shop's answer. A shop must answer 2xx; anything else is shown as not delivered and sent again "
            "later by <code>korven-sandbox.cgi --deliver</code>; <code>--replay</code> sends one again from a shell.</p>\n"
            "<table id=\"notifications\">\n<tr><th>Scenario</th>",
            Html{answer.data.repondreA});
  for (const Outcome& outcome : kOutcomes) pagePrint(out, "<th>%s</th>", outcome.word);
  pagePrint(out, "</tr>\n");
  for (const NotifyScenario& scenario : kNotifyScenarios) {
    pagePrint(out, "<tr><th>%s</th>", scenario.label);
    for (const Outcome& outcome : kOutcomes) {
      const std::string id = scenario.value == "1"   ? "notify-" + std::string(outcome.word)
                             : scenario.value == "2" ? "notify-twice-" + std::string(outcome.word)
                                                     : "notify-only-" + std::string(outcome.word);
      pagePrint(out, "<td><a class=\"button\" id=\"%s\" href=\"%s\">%s</a></td>", id,
                Html{answerLink(answer, outcome, scenario.value)}, outcome.word);
    }
    pagePrint(out, "</tr>\n");
  }
  pagePrint(out, "</table>\n");
}

void printAnswerButtons(PageOutput& out, const Answer& answer) {
  pagePrint(out,
            "<h2>Answer as the payment server</h2>\n"
            "<p>Each button sends the shopper back to the merchant's page for that answer, with the "
            "return variables that KWT_RETOUR asks for.</p>\n");
  const ReturnPlan plan = returnPlan(answer.data, answer.block, acceptOutcome(), {});
  printSignatureNote(out, plan);
  pagePrint(out, "<table id=\"answers\">\n<tr><th>Answer</th><th>The shopper goes to</th></tr>\n");
  for (const Outcome& outcome : kOutcomes) {
    pagePrint(out, "<tr><th><a class=\"button\" id=\"answer-%s\" href=\"%s\">%s</a></th><td id=\"return-url-%s\">",
              outcome.word, Html{answerLink(answer, outcome, {})}, outcome.label, outcome.word);
    std::string_view base = firstFieldValue(answer.fields, outcome.urlField);
    if (base.empty()) {
      pagePrint(out, "(no %s: the sandbox shows the return variables)", outcome.urlField);
    } else {
      UrlResult url = buildReturnUrl(base, returnPlan(answer.data, answer.block, outcome, {}), outcome.urlField,
                                     nullptr);
      pagePrint(out, "%s", Html{url.ok ? url.url : "refused: " + url.reason});
    }
    pagePrint(out, "</td></tr>\n");
  }
  pagePrint(out, "</table>\n");
  if (!answer.data.repondreA.empty()) printNotifyButtons(out, answer);
  if (!plan.ignored.empty()) {
    pagePrint(out,
              "<p>Items of KWT_RETOUR left out (the form is NAME:LETTER, with the letter M, R, A, E, T, or S "
              "last): <span id=\"retour-ignored\">");
    for (std::size_t i = 0; i < plan.ignored.size(); ++i) {
      pagePrint(out, "%s%s", i > 0 ? "; " : "", Html{plan.ignored[i]});
    }
    pagePrint(out, "</span></p>\n");
  }
}

void printNotification(PageOutput& out, const NotifyResult& notified, bool notifyOnly) {
  pagePrint(out, "<h2>KWT_REPONDRE_A</h2>\n<p>Called: <span id=\"notify-url\">%s</span></p>\n",
            Html{notified.url.empty() ? "nothing" : notified.url});
  if (!notified.refused.empty()) {
    pagePrint(out, "<p>Result: <span id=\"notify-result\">%s</span></p>\n", Html{notified.refused});
  }
  std::size_t number = 0;
  for (const revozi::sandbox::NotifyCall& call : notified.calls) {
    const std::string suffix = ++number == 1 ? "" : "-" + std::to_string(number);
    pagePrint(out, "<p>%s: <span id=\"notify-result%s\">%s</span><br><span id=\"notify-delivered%s\" class=\"%s\">%s"
              "</span></p>\n",
              number == 1 ? "Result" : "Sent again, result", suffix, Html{call.result}, suffix,
              call.delivered ? "valid" : "invalid",
              call.delivered ? "Delivered: the shop answered 2xx."
                             : "Not delivered: the shop did not answer 2xx. The sandbox calls again later, as a "
                               "payment server does: korven-sandbox.cgi --deliver, run by a timer.");
    if (call.textPlain) {
      pagePrint(out, "<pre id=\"notify-response%s\">%s</pre>\n", suffix, Html{call.excerpt});
    } else if (call.result.rfind("HTTP/", 0) == 0) {
      pagePrint(out, "<p>(The answer is not text/plain: nothing of it is shown.)</p>\n");
    }
  }
  if (!notified.calls.empty()) {
    pagePrint(out, "<p id=\"notify-kept\">%s</p>\n",
              Html{notified.kept.empty() ? "Kept for a replay: korven-sandbox.cgi --list, --replay N (from a shell)."
                                         : "Not kept for a replay: " + notified.kept});
  }
  if (notifyOnly) {
    pagePrint(out, "<p id=\"never-back\">The shopper never comes back to the shop: "
                   "the notification is all the shop gets.</p>\n");
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
  printSignatureNote(out, answer.plan);
  if (answer.notifyCalls > 0) printNotification(out, answer.notified, answer.notifyOnly);
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

// The sandbox's private key, from the file that KORVEN_SANDBOX_KEY names;
// false after filling in the failure.
bool loadKey(const Platform& platform, Answer& answer, std::optional<revozi::signing::Signer>& signer) {
  std::string path(envView(platform, revozi::sandbox::kKeyVariable));
  if (path.empty()) path = revozi::sandbox::kDefaultKeyFile;
  if (!revozi::signing::start()) {
    return fail(answer, 500, "Internal Server Error", "the signature library cannot start (no source of randomness)");
  }
  revozi::signing::Seed seed;
  const std::string why = revozi::signing::readKeyFile(path, seed.data(), seed.size());
  const std::string loose = why.empty() ? revozi::signing::looseKeyMode(path) : "";
  if (!loose.empty()) {
    revozi::signing::wipe(seed);
    return fail(answer, 500, "Internal Server Error", "no signing key: " + loose);
  }
  if (!why.empty()) {
    return fail(answer, 500, "Internal Server Error",
                "no signing key: " + why + ". Create the sandbox's key pair from a shell with " +
                    revozi::sandbox::kNewKeyCommand + " and name its private key file in " +
                    revozi::sandbox::kKeyVariable);
  }
  signer.emplace(seed);
  revozi::signing::wipe(seed);
  return true;
}

}  // namespace

int runSandbox(Platform& platform) {
  const Format format = chooseFormat(platform);
  Answer answer;
  try {
    std::optional<revozi::signing::Signer> signer;
    std::string stateDir(envView(platform, revozi::sandbox::kStateVariable));
    if (stateDir.empty()) stateDir = revozi::sandbox::kDefaultStateDir;
    if (loadKey(platform, answer, signer) && decodeRequestBlock(platform, answer)) {
      playOutcome(answer, envView(platform, "QUERY_STRING"), *signer, stateDir);
    }
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

int main(int argc, char** argv) {
  if (std::optional<int> status = revozi::sandbox::runSandboxCommand(argc, argv)) return *status;
  revozi::SystemPlatform platform;
  return runSandbox(platform);
}

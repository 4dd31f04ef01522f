// The payment sandbox's pages: its answers in HTML and in plain text.
#include "sandbox/sandbox_internal.h"

#include <string>
#include <string_view>

namespace revozi::sandbox {

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace revozi::sandbox

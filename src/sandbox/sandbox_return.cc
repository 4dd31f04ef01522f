// The payment sandbox's answer: the return plan that KWT_RETOUR asks for,
// the signed return URL, the notification of the merchant, and the outcome
// played.
#include "sandbox/sandbox_internal.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "params/validate.h"

namespace revozi::sandbox {

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace revozi::sandbox

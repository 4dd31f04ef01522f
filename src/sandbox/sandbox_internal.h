// What the payment sandbox's files share: the request and its answer as the
// sandbox reads and plays it, and the functions that pass them from one file
// to another (the request and the block, the return plan and its URL, the
// pages).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datablock/decode.h"
#include "pages/page_output.h"
#include "params/form_fields.h"
#include "params/text.h"
#include "platform/platform.h"
#include "sandbox/sandbox_notify.h"
#include "signing/signing.h"
#include "tools/tool_text.h"

namespace revozi::sandbox {

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
inline constexpr std::size_t kMaxBody = 1024 * 1024;

enum class Format { kHtml, kText };

// The three answers of the payment server, with the forwarded field that
// holds the merchant's page for each and the outcome code (letter E).
struct Outcome {
  std::string_view word;
  std::string_view urlField;
  std::string_view code;
  std::string_view label;
};
inline constexpr Outcome kOutcomes[] = {
    {"accept", "KWT_EFFECTUE", "00000", "Accept the payment"},
    {"refuse", "KWT_REFUSE", "00100", "Refuse the payment"},
    {"cancel", "KWT_ANNULE", "00200", "Cancel (the shopper gives up)"},
};
inline const Outcome& acceptOutcome() { return kOutcomes[0]; }

// What the page says of a return without a signature.
inline constexpr char kUnsignedWarning[] = "This return is not signed: a shop must refuse it.";
// The digits of the transaction number (letter T), drawn for every answer.
inline constexpr std::size_t kTransactionDigits = 8;

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

// sandbox_request.cc: the request, the block and the key.
std::string_view envView(const Platform& platform, const char* name);
std::optional<std::string_view> queryItem(std::string_view query, std::string_view name);
Format chooseFormat(const Platform& platform);
bool fail(Answer& answer, int status, const char* statusText, std::string message);
bool decodeRequestBlock(Platform& platform, Answer& answer);
bool isForwardedName(std::string_view name);
bool loadKey(const Platform& platform, Answer& answer, std::optional<revozi::signing::Signer>& signer);

// sandbox_return.cc: the return plan, its URL and the answer played.
ReturnPlan returnPlan(const revozi::DataBlockFields& data, std::string_view block, const Outcome& outcome,
                      std::string_view transaction);
void appendQueryEncoded(std::string& out, std::string_view text);
UrlResult buildReturnUrl(std::string_view base, const ReturnPlan& plan, std::string_view what,
                         const revozi::signing::Signer* signer);
std::string_view firstFieldValue(const revozi::FormFieldList& fields, std::string_view name);
void playOutcome(Answer& answer, std::string_view query, const revozi::signing::Signer& signer,
                 const std::string& stateDir);

// sandbox_pages.cc: the answers, as HTML or plain text.
void printTextAnswer(PageOutput& out, const Answer& answer);
void printHtmlAnswer(PageOutput& out, const Answer& answer);

}  // namespace revozi::sandbox

// The payment sandbox's reading of a request: its format, its text (body or
// query string), its one KWT_DATA block, and the sandbox's signing key.
#include "sandbox/sandbox_internal.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "params/param_table.h"
#include "params/validate.h"
#include "sandbox/sandbox_commands.h"
#include "sandbox/sandbox_run.h"

namespace revozi::sandbox {

std::string_view envView(const Platform& platform, const char* name) {
  const char* value = platform.getEnv(name);
  return value != nullptr ? std::string_view(value) : std::string_view();
}

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace revozi::sandbox

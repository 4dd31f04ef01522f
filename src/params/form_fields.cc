#include "params/form_fields.h"

#include "params/error_codes.h"
#include "params/numbers.h"

#include <algorithm>
#include <new>

namespace revozi {

namespace {

bool hasFormPrefix(std::string_view name) {
  return name.substr(0, 4) == "KWT_" || name.substr(0, 4) == "VEL_";
}

// Under a web server (REQUEST_METHOD set), a body of at most
// kMaxRequestBody bytes that the module does not decode (every method but
// POST) is read and dropped: a server that writes it to the module must not
// meet a closed pipe. From a shell standard input is never read.
void dropUndecodedBody(Platform& platform) {
  const char* lengthText = platform.getEnv("CONTENT_LENGTH");
  if (lengthText == nullptr) return;
  const long long length = atoiValue(lengthText);
  if (length <= 0 || length > kMaxRequestBody) return;
  char chunk[65536];
  for (auto left = static_cast<std::size_t>(length); left > 0;) {
    const std::size_t got = platform.readInput(chunk, std::min(sizeof chunk, left));
    if (got == 0) return;
    left -= got;
  }
}

}  // namespace

bool readBody(Platform& platform, std::size_t length, std::string& body) {
  char chunk[65536];
  while (body.size() < length) {
    std::size_t got = platform.readInput(chunk, std::min(sizeof chunk, length - body.size()));
    if (got == 0) return false;
    body.append(chunk, got);
  }
  return true;
}

unsigned char hexPairValue(unsigned char first, unsigned char second) {
  auto nibble = [](unsigned char b) -> int {
    if (b >= 0x41 && b <= 0x7F) return (b & 0xDF) - 0x37;
    return b - 0x30;
  };
  int v = 16 * nibble(first) + nibble(second);
  return static_cast<unsigned char>(v & 0xFF);
}

void urlDecode(std::string& text) {
  std::size_t w = 0;
  for (std::size_t r = 0; r < text.size();) {
    char c = text[r];
    if (c == '%' && text.size() - r >= 3) {
      text[w++] = static_cast<char>(hexPairValue(static_cast<unsigned char>(text[r + 1]),
                                                 static_cast<unsigned char>(text[r + 2])));
      r += 3;
    } else if (c == '+') {
      text[w++] = ' ';
      ++r;
    } else {
      // Also a '%' with fewer than two characters after it: kept as it is.
      text[w++] = c;
      ++r;
    }
  }
  text.resize(w);
  // A decoded zero byte ends the value.
  std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
}

int splitRequestText(std::string_view text, FormFieldList& list) {
  list.clear();
  int count = 0;
  std::size_t pos = 0;
  // A zero byte ends the request text.
  std::size_t end = text.find('\0');
  if (end == std::string_view::npos) end = text.size();
  while (pos < end) {
    // The name runs up to the first '='; a '&' does not end it.
    std::size_t eq = text.find('=', pos);
    if (eq > end) eq = end;
    std::string_view name = text.substr(pos, eq - pos);
    std::string_view value;
    if (eq < end) {
      std::size_t amp = text.find('&', eq + 1);
      if (amp > end) amp = end;
      value = text.substr(eq + 1, amp - eq - 1);
      pos = amp < end ? amp + 1 : end;
    } else {
      pos = end;
    }
    if (!hasFormPrefix(name)) continue;
    FormField field;
    field.name.assign(name);
    if (!value.empty()) {
      field.value.emplace(value);
      urlDecode(*field.value);
    }
    list.push_back(std::move(field));
    ++count;
  }
  return count;
}

int decodeRequest(Platform& platform, FormFieldList& list) {
  try {
    const char* method = platform.getEnv("REQUEST_METHOD");
    if (method != nullptr && std::string_view(method) != "POST") dropUndecodedBody(platform);
    std::string text;
    if (method != nullptr && std::string_view(method) == "POST") {
      const char* lengthText = platform.getEnv("CONTENT_LENGTH");
      if (lengthText == nullptr) return kErrNoRequest;
      // The digits' value saturates: no length wraps round to a small one.
      long long length = atoiValue(lengthText);
      if (length > kMaxRequestBody) return kErrBodyTooLarge;
      // A negative length gives a request without fields; nothing is read.
      if (length <= 0) return 0;
      if (!readBody(platform, static_cast<std::size_t>(length), text)) return 0;
    } else if (method != nullptr && std::string_view(method) == "GET") {
      const char* query = platform.getEnv("QUERY_STRING");
      if (query == nullptr || *query == '\0') return kErrNoRequest;
      text.assign(query);
    } else {
      return 0;
    }
    return splitRequestText(text, list);
  } catch (const std::bad_alloc&) {
    list.clear();
    list.shrink_to_fit();
    return kErrNoMemory;
  }
}

std::optional<std::string> findFormValue(const FormFieldList& list,
                                         std::string_view name,
                                         std::string_view altName) {
  if (name.empty()) return std::nullopt;
  for (const FormField& field : list) {
    if (field.name == name || field.name == altName) return field.value;
  }
  return std::nullopt;
}

}  // namespace revozi

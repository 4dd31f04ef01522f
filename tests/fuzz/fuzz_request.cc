// Request decoding on any bytes.
//
// The whole input is split as a request text (splitRequestText); then the
// first byte chooses how the rest reaches decodeRequest through the CGI
// environment and standard input:
//   bits 0-1  REQUEST_METHOD: GET, POST, unset, or HEAD
//   bits 2-3  POST: CONTENT_LENGTH unset, the body's exact length, the text
//             of the body's first line (the body then being the rest), or the
//             body's length plus (bits 4-5) - 2
//             GET: bit 2 set leaves QUERY_STRING unset
//   bits 6-7  standard input delivers at most 1, 7, 64 or any number of bytes
//             per read
#include <cstdint>
#include <string>

#include "params/error_codes.h"
#include "params/form_fields.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using revozi::FormField;
using revozi::FormFieldList;
using revozi::fuzzing::atoiLike;

bool sameFields(const FormFieldList& a, const FormFieldList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].value != b[i].value) return false;
  }
  return true;
}

// What every split must give, whatever the text.
void checkSplit(std::string_view text, const FormFieldList& list, int count) {
  FUZZ_CHECK(count >= 0);
  FUZZ_CHECK(static_cast<std::size_t>(count) == list.size());
  // A zero byte ends the request text.
  const std::string_view visible = text.substr(0, text.find('\0'));
  std::size_t rawBytes = 0;
  for (const FormField& field : list) {
    FUZZ_CHECK(field.name.compare(0, 4, "KWT_") == 0 || field.name.compare(0, 4, "VEL_") == 0);
    FUZZ_CHECK(field.name.find('=') == std::string::npos);
    // Names are taken as they stand in the request, never decoded.
    FUZZ_CHECK(visible.find(field.name) != std::string_view::npos);
    rawBytes += field.name.size();
    if (field.value) {
      // Decoding never lengthens a value, and a decoded zero byte ends it.
      FUZZ_CHECK(field.value->size() <= visible.size());
      FUZZ_CHECK(field.value->find('\0') == std::string::npos);
      rawBytes += field.value->size();
    }
  }
  FUZZ_CHECK(rawBytes <= visible.size());
  // The first field of a name is the one a lookup finds.
  for (std::size_t i = 0; i < list.size(); ++i) {
    bool first = true;
    for (std::size_t j = 0; j < i && first; ++j) first = list[j].name != list[i].name;
    if (first) FUZZ_CHECK(revozi::findFormValue(list, list[i].name, list[i].name) == list[i].value);
  }
  FUZZ_CHECK(!revozi::findFormValue(list, "", "KWT_SITE"));
}

void checkDecodeRequest(std::string_view input) {
  if (input.empty()) return;
  const auto control = static_cast<unsigned char>(input[0]);
  std::string_view rest = input.substr(1);

  revozi::testing::FakePlatform platform;
  static constexpr std::size_t kChunks[] = {1, 7, 64, 0};
  platform.inputChunk = kChunks[control >> 6];
  const int method = control & 3;
  const int lengthForm = (control >> 2) & 3;
  std::string_view body = rest;
  bool lengthSet = false;

  if (method == 0) {
    platform.env["REQUEST_METHOD"] = "GET";
    if ((lengthForm & 1) == 0) platform.env["QUERY_STRING"] = std::string(rest);
  } else if (method == 1) {
    platform.env["REQUEST_METHOD"] = "POST";
    lengthSet = lengthForm != 0;
    if (lengthForm == 1) {
      platform.env["CONTENT_LENGTH"] = std::to_string(rest.size());
    } else if (lengthForm == 2) {
      const std::size_t eol = rest.find('\n');
      const std::string_view lengthText = rest.substr(0, eol);
      body = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
      platform.env["CONTENT_LENGTH"] = std::string(lengthText);
    } else if (lengthForm == 3) {
      const long long delta = static_cast<long long>((control >> 4) & 3) - 2;
      platform.env["CONTENT_LENGTH"] = std::to_string(static_cast<long long>(rest.size()) + delta);
    }
  } else if (method == 3) {
    platform.env["REQUEST_METHOD"] = "HEAD";
  }
  platform.input = std::string(body);

  FormFieldList list;
  const int result = revozi::decodeRequest(platform, list);
  FUZZ_CHECK(result >= 0 || result == -2 || result == -3 || result == revozi::kErrBodyTooLarge);
  if (result >= 0) FUZZ_CHECK(static_cast<std::size_t>(result) == list.size());
  FUZZ_CHECK(platform.output.empty() && platform.error.empty());

  FormFieldList expected;
  if (method == 0) {
    FUZZ_CHECK(platform.inputConsumed() == 0);  // a GET body is never read
    // The environment holds C texts: a zero byte ends the query string.
    const std::string_view query = rest.substr(0, rest.find('\0'));
    if ((lengthForm & 1) != 0 || query.empty()) {
      FUZZ_CHECK(result == -3);
      return;
    }
    revozi::splitRequestText(query, expected);
    FUZZ_CHECK(result >= 0 && sameFields(list, expected));
  } else if (method == 1) {
    if (!lengthSet) {
      FUZZ_CHECK(result == -3);
      FUZZ_CHECK(platform.inputConsumed() == 0);
      return;
    }
    const std::string& lengthText = platform.env["CONTENT_LENGTH"];
    const long long length = atoiLike(std::string_view(lengthText).substr(0, lengthText.find('\0')));
    if (length <= 0) {
      // Nothing to read, no fields, no error.
      FUZZ_CHECK(result == 0);
      FUZZ_CHECK(platform.inputConsumed() == 0);
      return;
    }
    if (length > revozi::kMaxRequestBody) {
      // Refused before a byte of the body is read.
      FUZZ_CHECK(result == revozi::kErrBodyTooLarge && list.empty());
      FUZZ_CHECK(platform.inputConsumed() == 0);
      return;
    }
    // Bytes beyond the announced length are never read.
    FUZZ_CHECK(platform.inputConsumed() <= static_cast<unsigned long long>(length));
    if (static_cast<unsigned long long>(length) > body.size()) {
      // A body shorter than announced: no fields, no error.
      FUZZ_CHECK(result == 0 && list.empty());
      return;
    }
    FUZZ_CHECK(platform.inputConsumed() == static_cast<std::size_t>(length));
    revozi::splitRequestText(body.substr(0, static_cast<std::size_t>(length)), expected);
    FUZZ_CHECK(result >= 0 && sameFields(list, expected));
  } else {
    // No method, or one that is neither GET nor POST: nothing is read.
    FUZZ_CHECK(result == 0 && list.empty());
    FUZZ_CHECK(platform.inputConsumed() == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = revozi::fuzzing::asText(data, size);

  FormFieldList list;
  const int count = revozi::splitRequestText(input, list);
  checkSplit(input, list, count);
  // Splitting starts afresh: a second split of the same text gives the same.
  FormFieldList again = list;
  FUZZ_CHECK(revozi::splitRequestText(input, again) == count && sameFields(again, list));

  // URL decoding of the whole input as one value.
  std::string value(input);
  revozi::urlDecode(value);
  FUZZ_CHECK(value.size() <= input.size());
  FUZZ_CHECK(value.find('\0') == std::string::npos);

  checkDecodeRequest(input);
  return 0;
}

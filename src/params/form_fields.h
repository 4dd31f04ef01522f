// Decoding of the CGI request into the FormFieldList.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace revozi {

struct FormField {
  std::string name;                   // as it stood in the request, undecoded
  std::optional<std::string> value;   // URL-decoded; absent when the raw value is empty
};

// The decoded request fields in request order, duplicates kept.
using FormFieldList = std::vector<FormField>;

// The largest POST body the module reads, in bytes.
inline constexpr long long kMaxRequestBody = 1048576;

// Reads the GET query string or the POST body and keeps the fields whose name
// begins with "KWT_" or "VEL_". Returns the number of fields kept, or -2 (no
// memory), -3 (request data missing) or -15 (a body announced larger than
// kMaxRequestBody, refused before a byte of it is read). Under a web server
// the body of any other method, announced by CONTENT_LENGTH, is read and
// dropped when it is at most kMaxRequestBody bytes.
int decodeRequest(Platform& platform, FormFieldList& list);

// Reads standard input until `body` holds `length` bytes; false when the
// input ends before that. The body grows with what arrives, never with what
// is announced.
bool readBody(Platform& platform, std::size_t length, std::string& body);

// Splits a request text into `list` (which is emptied first); returns the
// count. Used by decodeRequest once it has the text.
int splitRequestText(std::string_view text, FormFieldList& list);

// The value of the first field whose name equals `name` or `altName`;
// absent when there is none, when its value is absent, or when `name` is empty.
std::optional<std::string> findFormValue(const FormFieldList& list,
                                         std::string_view name,
                                         std::string_view altName);

// In place: %XY escapes by the nibble rule, '+' to blank; a decoded zero byte
// ends the value.
void urlDecode(std::string& text);
unsigned char hexPairValue(unsigned char first, unsigned char second);

}  // namespace revozi

// Text helpers of kwtdata and the payment sandbox: strict decimal numbers,
// blanks trimmed, and %XX escapes written with the block's one hex table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "datablock/symbols.h"

namespace revozi::tools {

// The value of `text` when it is 1 to `maxDigits` (at most 18) decimal digits
// and nothing else: no sign, no blank.
inline std::optional<std::uint64_t> digitsValue(std::string_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return n;
}

// `text` without the blanks and tabs at either end.
inline std::string_view trimBlanks(std::string_view text) {
  text.remove_prefix(std::min(text.find_first_not_of(" \t"), text.size()));
  return text.substr(0, text.find_last_not_of(" \t") + 1);
}

// Appends `text` with every byte for which `escape` holds written as %XX.
template <typename Escape>
void appendPercentEncoded(std::string& out, std::string_view text, Escape escape) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (escape(byte)) {
      out += '%';
      out += datablock::symbolOf(byte >> 4);
      out += datablock::symbolOf(byte & 0x0F);
    } else {
      out += c;
    }
  }
}

// `text` on one line: '%', the bytes below 0x20 and 0x7F as %XX, so that a
// line stays a line and the text can be read back.
inline std::string lineText(std::string_view text) {
  std::string out;
  appendPercentEncoded(out, text, [](unsigned char b) { return b == '%' || b < 0x20 || b == 0x7F; });
  return out;
}

// A merchant's URL as given, with the bytes that a URL cannot hold as they
// are (blank, quotes, angle brackets, ...; above 0x7E) %-encoded: a browser
// then sends the query exactly as signed. Control bytes are refused before.
inline void appendUrlText(std::string& out, std::string_view text) {
  appendPercentEncoded(out, text, [](unsigned char b) {
    return b > 0x7E || std::string_view(" \"'<>\\^`{|}").find(static_cast<char>(b)) != std::string_view::npos;
  });
}

// A URL read back from a file, for a terminal: every byte that is not
// printable ASCII, the blank included, as %XX; '%' stays as it is.
inline std::string urlText(std::string_view text) {
  std::string out;
  appendPercentEncoded(out, text, [](unsigned char b) { return b <= 0x20 || b >= 0x7F; });
  return out;
}

}  // namespace revozi::tools

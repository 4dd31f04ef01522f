// Text helpers of kwtdata and the payment sandbox: %XX escapes, written with
// the block's one hex table.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "datablock/symbols.h"

namespace revozi::tools {

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

}  // namespace revozi::tools

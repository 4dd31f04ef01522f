// Number conversion as atoi does it: leading white space, an optional sign,
// then decimal digits up to the first other character; no digits give 0.
// Values beyond the range saturate instead of overflowing.
#pragma once

#include <climits>
#include <string_view>

namespace revozi {

inline long long atoiValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long n = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    n = n > (LLONG_MAX - digit) / 10 ? LLONG_MAX : n * 10 + digit;
  }
  return negative ? -n : n;
}

}  // namespace revozi

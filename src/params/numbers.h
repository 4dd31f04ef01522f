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
  // Accumulated negatively, so that both ends of the range are reached.
  long long n = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    n = n < (LLONG_MIN + digit) / 10 ? LLONG_MIN : n * 10 - digit;
  }
  if (negative) return n;
  return n == LLONG_MIN ? LLONG_MAX : -n;
}

}  // namespace revozi

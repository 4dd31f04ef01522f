// Shared by the fuzz targets: property checks that stop the fuzzer with a
// message, and the splitting of an input into sections.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// A property that must hold for every input: a violation is reported like a
// crash, so libFuzzer keeps the input that shows it.
#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__,      \
                   #condition);                                                       \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace revozi::fuzzing {

inline std::string_view asText(const unsigned char* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input cut at every `separator` byte (the separators dropped); an input
// without one is a single section.
inline std::vector<std::string_view> splitSections(std::string_view input, char separator) {
  std::vector<std::string_view> sections;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = input.find(separator, start);
    if (at == std::string_view::npos) {
      sections.push_back(input.substr(start));
      return sections;
    }
    sections.push_back(input.substr(start, at - start));
    start = at + 1;
  }
}

// atoi as the C library reads it (leading white space, a sign, digits up to
// the first other byte; no digits give 0), saturating instead of
// overflowing. Written here independently of the module's own reading.
inline long long atoiLike(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long n = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (n < 1'000'000'000'000LL) n = n * 10 + (text[i] - '0');
  }
  return negative ? -n : n;
}

}  // namespace revozi::fuzzing

// The characters of a KWT_DATA block: one table is the alphabet 0-9 A-Z and,
// in its first sixteen places, the upper-case hexadecimal digits.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace revozi::datablock {

inline constexpr std::string_view kSymbols = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
inline constexpr int kAlphabetSize = 36;

// The value of every byte as a symbol (or hexadecimal digit): '0'-'9' give
// 0-9, 'A'-'Z' give 10-35, any other byte -1.
inline constexpr auto kSymbolValues = [] {
  std::array<signed char, 256> values{};
  values.fill(-1);
  for (std::size_t v = 0; v < kSymbols.size(); ++v) {
    values[static_cast<unsigned char>(kSymbols[v])] = static_cast<signed char>(v);
  }
  return values;
}();
constexpr int symbolValue(char c) { return kSymbolValues[static_cast<unsigned char>(c)]; }
constexpr bool isDigit(char c) { return static_cast<unsigned>(symbolValue(c)) < 10; }
constexpr bool isUpper(char c) { return symbolValue(c) >= 10; }

// The symbol of value 0 to 35; below 16, the hexadecimal digit.
constexpr char symbolOf(int value) { return kSymbols[static_cast<std::size_t>(value)]; }

}  // namespace revozi::datablock

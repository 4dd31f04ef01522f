#include "datablock/crc16.h"

#include <cstdint>

#include "datablock/symbols.h"

namespace revozi {

namespace {
constexpr std::uint16_t kPolynomial = 0x1021;
}  // namespace

std::array<unsigned char, 2> crc16(std::string_view data) {
  std::uint16_t reg = 0;
  for (char c : data) {
    reg = static_cast<std::uint16_t>(reg ^ (static_cast<unsigned char>(c) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      if (reg & 0x8000u) {
        reg = static_cast<std::uint16_t>((reg << 1) ^ kPolynomial);
      } else {
        reg = static_cast<std::uint16_t>(reg << 1);
      }
    }
  }
  return {static_cast<unsigned char>(reg >> 8), static_cast<unsigned char>(reg & 0xFFu)};
}

std::string crc16Text(std::string_view data) {
  using datablock::symbolOf;
  const auto value = crc16(data);
  return {symbolOf(value[0] >> 4), symbolOf(value[0] & 0x0F), symbolOf(value[1] >> 4),
          symbolOf(value[1] & 0x0F)};
}

}  // namespace revozi

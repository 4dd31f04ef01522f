#include "datablock/crc16.h"

#include <cstdint>

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
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto value = crc16(data);
  std::string text(4, '0');
  text[0] = kHex[value[0] >> 4];
  text[1] = kHex[value[0] & 0x0F];
  text[2] = kHex[value[1] >> 4];
  text[3] = kHex[value[1] & 0x0F];
  return text;
}

}  // namespace revozi

#include "datablock/crc16.h"

#include <cstdint>

#include "datablock/symbols.h"

namespace revozi {

std::array<unsigned char, 2> crc16(std::string_view data) {
  // The polynomial 0x1021 (x^16 + x^12 + x^5 + 1) applied a byte at a time:
  // the eight bits that leave the register, folded with their own top half,
  // come back in shifted by 12, by 5 and by 0. Same values as shifting bit by
  // bit, without the wait on each bit.
  std::uint16_t reg = 0;
  for (char c : data) {
    unsigned out = (static_cast<unsigned>(reg >> 8) ^ static_cast<unsigned char>(c)) & 0xFFu;
    out ^= out >> 4;
    reg = static_cast<std::uint16_t>((unsigned{reg} << 8) ^ (out << 12) ^ (out << 5) ^ out);
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

// CRC-16/XMODEM check values for the KWT_DATA block: polynomial 0x1021,
// register cleared to 0x0000, bits most significant first, no reflection, no
// final XOR. "123456789" gives 0x31C3.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace revozi {

// The check value of `data` (every byte taken as unsigned), as two bytes,
// high byte first. Empty input gives {0x00, 0x00}.
std::array<unsigned char, 2> crc16(std::string_view data);

// The same check value as four upper-case hexadecimal characters, high byte
// first ("%02X%02X"); leading zeros are kept.
std::string crc16Text(std::string_view data);

}  // namespace revozi

#include "datablock/crc16.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace revozi {
namespace {

std::uint16_t value(std::string_view data) {
  const auto bytes = crc16(data);
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

// A second formulation of the same check value: reflected register with the
// reversed polynomial, then a 16-bit bit reversal of the result.
std::uint16_t reflectedReference(std::string_view data) {
  auto reflect8 = [](unsigned v) {
    unsigned r = 0;
    for (int i = 0; i < 8; ++i) r |= ((v >> i) & 1u) << (7 - i);
    return r;
  };
  unsigned reg = 0;
  for (char c : data) {
    reg ^= reflect8(static_cast<unsigned char>(c));
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1u) ? (reg >> 1) ^ 0x8408u : reg >> 1;
  }
  unsigned out = 0;
  for (int i = 0; i < 16; ++i) out |= ((reg >> i) & 1u) << (15 - i);
  return static_cast<std::uint16_t>(out);
}

TEST(Crc16, KnownValues) {
  EXPECT_EQ(value("123456789"), 0x31C3);
  EXPECT_EQ(value(""), 0x0000);
  EXPECT_EQ(value("A"), 0x58E5);
  EXPECT_EQ(value("0000"), 0xDA8A);
  EXPECT_EQ(value(std::string(1, '\xFF')), 0x1EF0);  // bytes are unsigned
}

TEST(Crc16, TwoBytesHighFirst) {
  const auto bytes = crc16("123456789");
  EXPECT_EQ(bytes[0], 0x31);
  EXPECT_EQ(bytes[1], 0xC3);
}

TEST(Crc16, TextForm) {
  EXPECT_EQ(crc16Text("123456789"), "31C3");
  EXPECT_EQ(crc16Text(""), "0000");
  EXPECT_EQ(crc16Text("A"), "58E5");
  EXPECT_EQ(crc16Text("0000"), "DA8A");
  EXPECT_EQ(crc16Text(std::string(1, '\xFF')), "1EF0");
}

TEST(Crc16, NulBytesAreData) {
  // A NUL inside the data is hashed like any other byte.
  EXPECT_NE(value(std::string("A\0", 2)), value("A"));
  EXPECT_EQ(value(std::string("A\0", 2)), reflectedReference(std::string("A\0", 2)));
}

TEST(Crc16, NoStateCarriesOverBetweenCalls) {
  const std::string first = crc16Text("A");
  const std::string second = crc16Text("123456789");
  EXPECT_EQ(first, "58E5");  // the first text is not overwritten by the second call
  EXPECT_EQ(second, "31C3");
  EXPECT_EQ(crc16Text("A"), first);
}

TEST(Crc16, AgreesWithReflectedFormulationAndKeepsLeadingZeros) {
  // Every one- and two-byte input, plus some longer ones.
  bool sawLeadingZero = false;
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; b += 7) {
      std::string data{static_cast<char>(a), static_cast<char>(b)};
      const std::uint16_t v = value(data);
      ASSERT_EQ(v, reflectedReference(data)) << a << "," << b;
      const std::string text = crc16Text(data);
      ASSERT_EQ(text.size(), 4u);
      char expected[5];
      std::snprintf(expected, sizeof expected, "%04X", v);
      ASSERT_EQ(text, expected);
      if (v < 0x1000) {
        sawLeadingZero = true;
        EXPECT_EQ(text[0], '0');
      }
    }
    std::string one(1, static_cast<char>(a));
    ASSERT_EQ(value(one), reflectedReference(one));
  }
  EXPECT_TRUE(sawLeadingZero);
  std::string longer;
  for (int i = 0; i < 5000; ++i) {
    longer += static_cast<char>(i * 31 % 251);
    if (i % 997 == 0) {
      EXPECT_EQ(value(longer), reflectedReference(longer));
    }
  }
}

}  // namespace
}  // namespace revozi

#include "datablock/encode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "datablock/crc16.h"
#include "datablock/encode_steps.h"
#include "tests/worked_example.h"

namespace revozi {
namespace {

using namespace datablock;
using testing::exampleTable;
using testing::kExampleBlock;
using testing::kExampleRecord;



bool onlySymbols(std::string_view text) {
  for (char c : text) {
    if (symbolValue(c) < 0) return false;
  }
  return true;
}

TEST(AmountField, DigitsRaisedRightAlignedFreePositionsHoldTheirDigit) {
  EXPECT_EQ(amountField("1500"), "012345HLGG");
  EXPECT_EQ(amountField("100"), "0123456HGG");
  EXPECT_EQ(amountField("9876543210"), "PONMLKJIHG");
  EXPECT_EQ(amountField(""), "0123456789");
  EXPECT_EQ(amountField("0"), "012345678G");
}

TEST(AmountField, OnlyTheLastTenCharactersAreUsed) {
  EXPECT_EQ(amountField("12345678901"), amountField("2345678901"));
  EXPECT_EQ(amountField("12345678901"), "IJKLMNOPGH");
  EXPECT_EQ(amountField(std::string(5000, '7') + "0123456789"), "GHIJKLMNOP");
}

TEST(MarkerLetter, SecondAsciiLowerCaseLetterUpperCased) {
  EXPECT_EQ(markerLetter("abc.def"), 'B');
  EXPECT_EQ(markerLetter("xAy.z"), 'Y');          // upper case does not count
  EXPECT_EQ(markerLetter("\xE9x\xE8z@"), 'Z');    // bytes above 0x7F are skipped
  EXPECT_EQ(markerLetter("12.z@X.COM"), 'F');     // a single lower-case letter
  EXPECT_EQ(markerLetter(""), 'F');
  EXPECT_EQ(markerLetter("ABC@DEF.GH"), 'F');
  EXPECT_EQ(markerLetter("a{b"), 'B');            // '{' (0x7B) is not a letter
  EXPECT_EQ(markerLetter("`a`z"), 'Z');           // nor is '`' (0x60)
}

TEST(DataRecord, CompleteExample) {
  const std::string record = buildDataRecord(exampleTable());
  EXPECT_EQ(record, kExampleRecord);
  EXPECT_EQ(record.size(), 99u);
}

TEST(DataRecord, AbsentAndEmptyOptionalEntriesAreAlike) {
  ParamTable withEmpty = exampleTable();
  for (int i : {kRepondreA, kPaiement, kCodeFamille, k2Mont1, kDate1, k2Mont2, kDate2, k2Mont3,
                kDate3, kDiff}) {
    withEmpty.set(i, std::string());
  }
  EXPECT_EQ(buildDataRecord(withEmpty), buildDataRecord(exampleTable()));
  EXPECT_EQ(encodeDataBlock(withEmpty), encodeDataBlock(exampleTable()));
}

TEST(DataRecord, FieldOrderAndLengthPrefixes) {
  ParamTable t = exampleTable();
  t.set(kRepondreA, "R");
  t.set(kPaiement, "PA");
  t.set(kCodeFamille, "CF3");
  t.set(k2Mont1, "a");
  t.set(kDate1, "bb");
  t.set(k2Mont2, "ccc");
  t.set(kDate2, "dddd");
  t.set(k2Mont3, "eeeee");
  t.set(kDate3, "ffffff");
  t.set(kDiff, "ggggggg");
  EXPECT_EQ(buildDataRecord(t),
            "012345HLGG=978=1234567=010007abc.def0007ORDER420001R0003M:M0002PA0003CF300017"
            "0001a0002bb0003ccc0004dddd0005eeeee0006ffffff0007ggggggg");
}

TEST(DataRecord, LongValuesAreNotCut) {
  ParamTable t = exampleTable();
  t.set(kCmd, std::string(2048, 'c'));
  t.set(kPaiement, std::string(12345, 'p'));
  const std::string record = buildDataRecord(t);
  EXPECT_NE(record.find("2048" + std::string(2048, 'c')), std::string::npos);
  // A length of five digits is written in full.
  EXPECT_NE(record.find("12345" + std::string(12345, 'p')), std::string::npos);
  EXPECT_EQ(lengthPrefix(0), "0000");
  EXPECT_EQ(lengthPrefix(7), "0007");
  EXPECT_EQ(lengthPrefix(9999), "9999");
  EXPECT_EQ(lengthPrefix(10000), "10000");
}

TEST(HexText, PrefixedAndUpperCaseHighDigitFirst) {
  EXPECT_EQ(hexText(""), "0000");
  EXPECT_EQ(hexText("=\xE9\x01 z"), "00003DE901207A");
}

TEST(NibbleSwap, EachPairExchanged) {
  std::string text = hexText("=");
  swapNibbles(text);
  EXPECT_EQ(text, "0000D3");
  text = hexText("\xE9");
  swapNibbles(text);
  EXPECT_EQ(text, "00009E");
  text = "ABCDE";
  swapNibbles(text);
  EXPECT_EQ(text, "BADCE");
}

TEST(CheckValues, CompleteExampleGivesC1AndC2) {
  std::string text = hexText(kExampleRecord);
  swapNibbles(text);
  const std::string swapped = text.substr(4);
  EXPECT_EQ(crc16Text(swapped), "8C52");
  addCheckValues(text);
  ASSERT_EQ(text.size(), 2 * kExampleRecord.size() + 8);
  EXPECT_EQ(text.substr(0, 4), "8CA7");  // C1 high, C2 high
  EXPECT_EQ(text.substr(text.size() - 4), "52E8");  // C1 low, C2 low
  EXPECT_EQ(text.substr(4, swapped.size()), swapped);
  // C2 covers C1's first half, the two zeros, the digits and C1's second half.
  EXPECT_EQ(crc16Text("8C00" + swapped + "52"), "A7E8");
}

TEST(DigitLift, EvenRaisedBy23OddBy33LettersStay) {
  std::string text = "30A1";
  digitLift(text);
  EXPECT_EQ(text, "JQAR");
  text = "0909FEDCBA";
  digitLift(text);
  EXPECT_EQ(text, "GZGZFEDCBA");
}

TEST(PackRuns, RunsOfAlignedPairs) {
  EXPECT_EQ(packRuns("GTGTGTAB"), "3GTAB");
  std::string tenAndTwo;
  for (int i = 0; i < 10; ++i) tenAndTwo += "GT";
  tenAndTwo += "ABAB";
  EXPECT_EQ(packRuns(tenAndTwo), "10GT2AB");
  EXPECT_EQ(packRuns("AGTGTA"), "AGTGTA");  // repetition straddles the pairs
  std::string many;
  for (int i = 0; i < 28; ++i) many += "GT";
  EXPECT_EQ(packRuns(many), "28GT");
  EXPECT_EQ(packRuns("ABCDAB"), "ABCDAB");
  EXPECT_EQ(packRuns("AAAA"), "2AA");
  EXPECT_EQ(packRuns(""), "");
}

TEST(Rotation, StartFromFirstCharacter) {
  EXPECT_EQ(rotationStart("IX2"), 8);
  EXPECT_EQ(rotationStart("A"), 0);
  EXPECT_EQ(rotationStart("ZZ"), 25);
  EXPECT_EQ(rotationStart("3GT"), 13);  // begins with a run count
  EXPECT_EQ(rotationStart("28GT"), 13);
}

TEST(Substitution, RotatedAlphabet) {
  std::string packed = "IX2";
  substitute(packed, rotationStart(packed));
  EXPECT_EQ(packed, "IPU");
  packed = "3GT";
  substitute(packed, rotationStart(packed));
  // G (16) -> 3, T (29) -> 16 (G).
  EXPECT_EQ(packed, "33G");
  packed = "A0Z";
  substitute(packed, 0);
  EXPECT_EQ(packed, "A0Z");  // start 0 changes nothing
}

TEST(Substitution, IsAPermutationOfTheAlphabet) {
  for (int start = 0; start < 26; ++start) {
    std::string all = "X0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    substitute(all, start);
    std::string seen(36, '.');
    for (std::size_t i = 1; i < all.size(); ++i) {
      const int v = symbolValue(all[i]);
      ASSERT_GE(v, 0);
      EXPECT_EQ(v, ((static_cast<int>(i) - 1 - start) % 36 + 36) % 36);
      seen[static_cast<std::size_t>(v)] = all[i];
    }
    EXPECT_EQ(seen.find('.'), std::string::npos) << start;
  }
}

TEST(EvenLength, NinesAppendedToOddLength) {
  std::string odd = "ABCDEFG";
  padEven(odd);
  EXPECT_EQ(odd, "ABCDEFG999");
  std::string even = "ABCDEF";
  padEven(even);
  EXPECT_EQ(even, "ABCDEF");
}

TEST(Interleave, SecondHalfLeads) {
  EXPECT_EQ(interleave("ABCDEF"), "DAEBFC");
  EXPECT_EQ(interleave("ABCDEFG999"), "FAGB9C9D9E");
  EXPECT_EQ(interleave(""), "");
}

TEST(FinalText, FillersAfterMarkerLetters) {
  const std::string fillers = fillerText("1234567", "01");
  EXPECT_EQ(fillers, "HIJKLMNGH");
  EXPECT_EQ(finalText("XBYBZ", 'B', fillers), "v401XBHYBIZBJ");
  EXPECT_EQ(finalText("XYZ", 'B', fillers), "v401XYZBH");
  EXPECT_EQ(finalText("BBBBBBBBBB", 'B', fillers), "v401BHBIBJBKBLBMBNBGBHBHBI");
}

TEST(FinalText, FillerOfNonDigitsCountsAsZero) {
  EXPECT_EQ(fillerText("12a4567", "0"), "HIGKLMNGG");
  EXPECT_EQ(fillerText("", ""), "GGGGGGGGG");
  EXPECT_EQ(fillerText("123456789", "99"), "HIJKLMNOP");
}

TEST(EncodeDataBlock, CompleteExample) {
  const ParamTable t = exampleTable();
  // Intermediate facts of the example.
  std::string text = hexText(buildDataRecord(t));
  swapNibbles(text);
  addCheckValues(text);
  digitLift(text);
  std::string packed = packRuns(text);
  EXPECT_EQ(packed[0], 'O');
  EXPECT_EQ(rotationStart(packed), 14);
  EXPECT_EQ(packed.size(), 118u);
  substitute(packed, rotationStart(packed));
  padEven(packed);
  EXPECT_EQ(packed.size(), 118u);
  const std::string interleaved = interleave(packed);
  EXPECT_EQ(std::count(interleaved.begin(), interleaved.end(), 'B'), 1);

  const std::string block = encodeDataBlock(t);
  EXPECT_EQ(block, kExampleBlock);
  EXPECT_EQ(block.size(), 125u);
  EXPECT_EQ(encodeDataBlock(t), block);  // nothing carries over between calls
}

TEST(EncodeDataBlock, LengthAndAlphabetOfTheResult) {
  ParamTable t = exampleTable();
  t.set(kCmd, std::string(2048, '\xE9'));
  t.set(kPaiement, std::string(4000, '='));
  t.set(kDiff, "d\x01\x7F\xFF");
  const std::string block = encodeDataBlock(t);
  ASSERT_EQ(block.substr(0, 4), "v401");
  EXPECT_TRUE(onlySymbols(std::string_view(block).substr(4)));

  // 4 + n + k + 2, n the interleaved length and k its marker letters.
  std::string text = hexText(buildDataRecord(t));
  swapNibbles(text);
  addCheckValues(text);
  digitLift(text);
  std::string packed = packRuns(text);
  substitute(packed, rotationStart(packed));
  padEven(packed);
  const std::string interleaved = interleave(packed);
  const auto k = static_cast<std::size_t>(
      std::count(interleaved.begin(), interleaved.end(), markerLetter(t.text(kPorteur))));
  EXPECT_EQ(block.size(), 4 + interleaved.size() + k + 2);
}

TEST(EncodeDataBlock, UnvalidatedTablesStillGiveOnlySymbols) {
  ParamTable empty;
  const std::string block = encodeDataBlock(empty);
  EXPECT_EQ(block.substr(0, 4), "v401");
  EXPECT_TRUE(onlySymbols(std::string_view(block).substr(4)));
  EXPECT_EQ(block.substr(block.size() - 2), "FG");  // default marker, filler of '0'

  ParamTable odd = exampleTable();
  odd.set(kSite, "ab;\xFF");
  odd.set(kRang, "");
  odd.set(kTotal, "12.50 EUR");
  const std::string oddBlock = encodeDataBlock(odd);
  EXPECT_TRUE(onlySymbols(std::string_view(oddBlock).substr(4)));
}

TEST(EncodeDataBlock, EveryFieldChangesTheBlock) {
  const std::string base = encodeDataBlock(exampleTable());
  for (int i : {kTotal, kDevise, kSite, kRang, kPorteur, kCmd, kRepondreA, kRetour, kPaiement,
                kCodeFamille, kIdentifiant, k2Mont1, kDate1, k2Mont2, kDate2, k2Mont3, kDate3,
                kDiff}) {
    ParamTable t = exampleTable();
    t.set(i, std::string(t.text(i)) + "9");
    EXPECT_NE(encodeDataBlock(t), base) << i;
  }
  // Entries outside the data block play no part.
  ParamTable other = exampleTable();
  other.set(kLangue, "FRA");
  other.set(kAnnule, "http://x.invalid/");
  EXPECT_EQ(encodeDataBlock(other), base);
}

}  // namespace
}  // namespace revozi

// The steps of the KWT_DATA encoder, one function each, in the order
// encodeDataBlock runs them. Exposed for the unit tests and for the decoder,
// which undoes them; nothing else should need them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "datablock/symbols.h"
#include "params/param_table.h"

namespace revozi::datablock {

// Every block begins with this version text.
inline constexpr std::string_view kVersionText = "v401";
// Width of the amount field at the head of the DataRecord.
inline constexpr std::size_t kAmountWidth = 10;
// Number of filler characters (KWT_SITE followed by KWT_RANG).
inline constexpr std::size_t kFillerCount = 9;
// Rotation start used when the packed text begins with a run count.
inline constexpr int kRunRotationStart = 13;

// Step 1. The second ASCII lower-case letter of KWT_PORTEUR, upper-cased; 'F'
// when there are fewer than two. Other bytes (upper case, above 0x7F) are
// skipped.
char markerLetter(std::string_view porteur);

// Step 2. Ten characters: the last (at most ten) characters of KWT_TOTAL,
// right-aligned and raised by 23 (digits become G-P); every free position p on
// the left holds the digit of p. "1500" gives "012345HLGG".
std::string amountField(std::string_view total);

// Step 3. The plain DataRecord: amount field, "=" devise "=" site "=" rang,
// then KWT_PORTEUR, KWT_CMD, KWT_REPONDRE_A, KWT_RETOUR, KWT_PAIEMENT,
// KWT_CODEFAMILLE, KWT_IDENTIFIANT, KWT_2MONT1, KWT_DATE1, KWT_2MONT2,
// KWT_DATE2, KWT_2MONT3, KWT_DATE3, KWT_DIFF, each prefixed by its length in
// bytes as "%04d" (more digits once a value reaches 10000 bytes). Absent and
// empty values both give "0000".
std::string buildDataRecord(const ParamTable& table);

// The length prefix of one field: "%04d" of `length`.
std::string lengthPrefix(std::size_t length);

// Step 4. "0000" followed by every record byte as two upper-case hexadecimal
// digits of its unsigned value, high digit first.
std::string hexText(std::string_view record);

// Step 5. Exchanges the two characters of every aligned pair in place (an odd
// last character stays where it is).
void swapNibbles(std::string& text);

// Steps 6 and 7. Seals the swapped hex text ("0000" + 2L digits) with the two
// check values. C1 covers the 2L digits: its first two characters go to
// positions 0-1, its last two are appended. C2 covers the whole text as it
// then stands: its first two go to positions 2-3, its last two are appended.
// Requires a text of at least four characters.
void addCheckValues(std::string& text);

// Step 8. Every byte up to 0x40 (the digits here) is raised by 23 at an even
// position and by 33 at an odd one; A-F stay.
void digitLift(std::string& text);

// Step 9. Run-length packing of aligned pairs: a pair followed by at least one
// equal aligned pair is written as the count of the run and the pair ("%d%s"),
// any other pair as itself. "GTGTGTAB" gives "3GTAB".
std::string packRuns(std::string_view lifted);

// Step 10. The rotation start: the place of the first character in A-Z when
// it is a letter, else 13 (the packed text begins with a run count).
int rotationStart(std::string_view packed);

// Step 11. Every character from position 1 on, of value v, becomes the symbol
// of value (v - start) mod 36. Position 0 keeps its character.
void substitute(std::string& packed, int start);

// Step 12. Appends "999" when the length is odd.
void padEven(std::string& text);

// Step 13. With h = half the (even) length, writes for each i the characters
// at h + i and at i. "ABCDEF" gives "DAEBFC".
std::string interleave(std::string_view text);

// The nine filler characters: KWT_SITE followed by KWT_RANG, each digit raised
// by 23 (G-P). The block only carries digits here: a missing position (a text
// shorter than nine) or a byte that is not a digit counts as '0'.
std::string fillerText(std::string_view site, std::string_view rang);

// Step 14. "v401", the interleaved text with the next filler inserted after
// every marker letter, then the marker letter and the next filler. The
// filler position starts at 0 and wraps after the ninth.
std::string finalText(std::string_view interleaved, char marker, std::string_view fillers);

}  // namespace revozi::datablock

// The inverse steps of the KWT_DATA encoder, used by decodeDataBlock and
// exposed for its unit tests. Each returns false (with a reason) on a text
// that the corresponding encoder step cannot have written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "datablock/decode.h"

namespace revozi::datablock {

// Undoes the interleave: an even-length text written as
// t[h], t[0], t[h+1], t[1], ... gives back t.
std::string deinterleave(std::string_view text);

// Undoes the substitution with the rotation start taken from position 0.
// Every character must be an alphabet symbol.
void unsubstitute(std::string& text);

// Undoes the run-length packing into `lifted`. Rejects what packRuns never
// writes: a count below 2 or with a leading zero, a count or pair that is cut
// off, a digit inside a pair, two equal pairs in a row that are not one run,
// and more than `maxPairs` pairs in all.
bool unpackRuns(std::string_view packed, std::size_t maxPairs, std::string& lifted,
                std::string& reason);

// Undoes the digit lift in place: G-P at even and Q-Z at odd positions become
// 0-9; A-F stay. Any other character is rejected.
bool digitUnlift(std::string& text, std::string& reason);

// Reads KWT_TOTAL back from a ten-character amount field (see decodeDataBlock).
bool decodeAmount(std::string_view field, std::string& total, std::string& reason);

// Splits a DataRecord into its fields.
bool parseDataRecord(std::string_view record, DataBlockFields& fields, std::string& reason);

}  // namespace revozi::datablock

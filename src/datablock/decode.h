// Reading a KWT_DATA block back into the payment fields it carries. The
// decoder undoes every step of encodeDataBlock and verifies both check values,
// the filler characters and the marker letter; it accepts exactly the texts
// the encoder can write. It never reads outside its input and bounds its work,
// so any text may be handed to it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "params/param_table.h"

namespace revozi {

// The fields of a DataRecord, in record order. `total` is given as KWT_TOTAL
// (the digits, not the amount field); the others are the values as they stand
// in the record.
struct DataBlockFields {
  std::string total;
  std::string devise;
  std::string site;
  std::string rang;
  std::string porteur;
  std::string cmd;
  std::string repondreA;
  std::string retour;
  std::string paiement;
  std::string codeFamille;
  std::string identifiant;
  std::string mont1;
  std::string date1;
  std::string mont2;
  std::string date2;
  std::string mont3;
  std::string date3;
  std::string diff;

  struct Named {
    std::string_view name;   // the KWT_ parameter name
    std::string_view value;
  };
  static constexpr std::size_t kCount = 18;

  // (KWT_ name, value) for every field, in record order.
  std::array<Named, kCount> named() const;
  // A table holding every field under its entry (empty values included).
  ParamTable toTable() const;
  // What a block built from `table` carries: the entries' texts, absent giving
  // empty, KWT_TOTAL cut to its last ten characters.
  static DataBlockFields fromTable(const ParamTable& table);

  // A field the module's validation refuses, with the code it gives.
  struct Refusal {
    std::string_view name;  // the KWT_ parameter name
    int code;
  };
  // The first field that the module would refuse, in the order in which it
  // checks them (its validation pass, then the length prefixes), or nothing
  // when the module could have written these fields.
  std::optional<Refusal> moduleRefusal() const;

  bool operator==(const DataBlockFields&) const = default;
};

// "this block could not have been written by the module: KWT_TOTAL fails
// with -11" for fields the module would refuse; empty for any other.
std::string moduleRefusalWarning(const DataBlockFields& fields);

// Why a text is not a valid block.
enum class DecodeError {
  kNone,
  kBadPrefix,        // does not begin with "v401"
  kBadCharacter,     // a character that no step of the encoder writes there
  kBadLayout,        // marker/filler layout, odd length, text too short
  kBrokenPacking,    // run-length packing that the encoder does not write
  kCheckMismatch,    // a check value does not match
  kMalformedRecord,  // the DataRecord does not have its field layout
  kFillerMismatch,   // fillers or marker letter disagree with the record
};

struct DecodeResult {
  bool ok = false;
  DecodeError error = DecodeError::kNone;
  std::string reason;  // empty when ok
  DataBlockFields fields;  // meaningful only when ok
};

// Upper bound of the unpacked text, in pairs of characters: a longer text
// (DataRecords of up to 999,996 bytes fit) is reported as broken packing.
inline constexpr std::size_t kMaxUnpackedPairs = 1'000'000;

// Decodes a block. The amount field is read from the right: a byte at
// position p that is not the digit of p is a character of KWT_TOTAL raised by
// 23 (G-P give 0-9); the first position p that holds the digit of p ends the
// total, and every position left of it must hold its own digit. This gives
// back every KWT_TOTAL of up to ten digits (ten digits fill every position).
// KWT_DEVISE, KWT_SITE and KWT_RANG are read in their validated widths (3, 7
// and 2 bytes); the other fields by their length prefixes.
DecodeResult decodeDataBlock(std::string_view block);

}  // namespace revozi

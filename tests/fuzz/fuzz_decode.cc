// The KWT_DATA decoder and encoder.
//
// Forward: the whole input is handed to decodeDataBlock, which must give the
// fields or a reason, and whose fields must encode to the very input.
// Backward: the input, cut at every byte 0x1F, gives the values of a
// DataRecord (KWT_TOTAL, KWT_DEVISE, KWT_SITE, KWT_RANG, KWT_PORTEUR,
// KWT_CMD, ... in record order), shaped as validation shapes them: the total
// as up to ten digits, the currency as three bytes, the site and rank as
// seven and two digits. Their block must decode back to the same values.
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "datablock/decode.h"
#include "datablock/encode.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using revozi::DataBlockFields;

bool isBlockText(std::string_view block) {
  if (block.substr(0, 4) != "v401") return false;
  for (char c : block.substr(4)) {
    // One comparison per range: below the range start wraps to a large value.
    if (static_cast<unsigned char>(c - '0') > 9 && static_cast<unsigned char>(c - 'A') > 25) {
      return false;
    }
  }
  return true;
}

void checkForward(std::string_view input) {
  const revozi::DecodeResult result = revozi::decodeDataBlock(input);
  if (!result.ok) {
    FUZZ_CHECK(!result.reason.empty());
    FUZZ_CHECK(result.error != revozi::DecodeError::kNone);
    return;
  }
  FUZZ_CHECK(result.reason.empty());
  FUZZ_CHECK(result.error == revozi::DecodeError::kNone);
  FUZZ_CHECK(isBlockText(input));
  FUZZ_CHECK(revozi::encodeDataBlock(result.fields.toTable()) == input);
}

// `width` bytes of `raw` as decimal digits (each byte modulo 10), padded with
// '0' when `raw` is shorter; at most `width` digits and no padding when
// `pad` is false.
std::string digits(std::string_view raw, std::size_t width, bool pad) {
  std::string out;
  for (std::size_t i = 0; i < raw.size() && out.size() < width; ++i) {
    out += static_cast<char>('0' + static_cast<unsigned char>(raw[i]) % 10);
  }
  while (pad && out.size() < width) out += '0';
  return out;
}

void checkBackward(std::string_view input) {
  const std::vector<std::string_view> parts = revozi::fuzzing::splitSections(input, '\x1f');
  auto part = [&](std::size_t i) { return i < parts.size() ? parts[i] : std::string_view(); };

  DataBlockFields fields;
  fields.total = digits(part(0), 10, false);
  fields.devise = std::string(part(1).substr(0, 3));
  fields.devise.resize(3, 'X');
  fields.site = digits(part(2), 7, true);
  fields.rang = digits(part(3), 2, true);
  std::string* rest[] = {&fields.porteur, &fields.cmd,   &fields.repondreA,   &fields.retour,
                         &fields.paiement, &fields.codeFamille, &fields.identifiant,
                         &fields.mont1,   &fields.date1, &fields.mont2,       &fields.date2,
                         &fields.mont3,   &fields.date3, &fields.diff};
  bool shortValues = true;
  for (std::size_t i = 0; i < std::size(rest); ++i) {
    *rest[i] = std::string(part(4 + i));
    shortValues = shortValues && rest[i]->size() < 10000;
  }

  const revozi::ParamTable table = fields.toTable();
  FUZZ_CHECK(DataBlockFields::fromTable(table) == fields);
  const std::string block = revozi::encodeDataBlock(table);
  FUZZ_CHECK(isBlockText(block));

  const revozi::DecodeResult result = revozi::decodeDataBlock(block);
  if (!result.ok) std::fprintf(stderr, "decoder refused an encoded block: %s\n", result.reason.c_str());
  FUZZ_CHECK(result.ok);
  // Lengths of 10000 bytes or more make the length prefixes ambiguous; the
  // fields found then still encode to the same block.
  if (shortValues) {
    FUZZ_CHECK(result.fields == fields);
  } else {
    FUZZ_CHECK(revozi::encodeDataBlock(result.fields.toTable()) == block);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = revozi::fuzzing::asText(data, size);
  checkForward(input);
  checkBackward(input);
  return 0;
}

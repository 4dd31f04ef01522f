#include "datablock/decode.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "datablock/crc16.h"
#include "datablock/decode_steps.h"
#include "datablock/encode.h"
#include "datablock/encode_steps.h"
#include "datablock/symbols.h"

namespace revozi {

namespace {

struct FieldSlot {
  ParamIndex index;
  std::string DataBlockFields::*member;
};

// Record order. The first four have fixed places; the others carry length
// prefixes.
constexpr std::array<FieldSlot, DataBlockFields::kCount> kSlots = {{
    {kTotal, &DataBlockFields::total},
    {kDevise, &DataBlockFields::devise},
    {kSite, &DataBlockFields::site},
    {kRang, &DataBlockFields::rang},
    {kPorteur, &DataBlockFields::porteur},
    {kCmd, &DataBlockFields::cmd},
    {kRepondreA, &DataBlockFields::repondreA},
    {kRetour, &DataBlockFields::retour},
    {kPaiement, &DataBlockFields::paiement},
    {kCodeFamille, &DataBlockFields::codeFamille},
    {kIdentifiant, &DataBlockFields::identifiant},
    {k2Mont1, &DataBlockFields::mont1},
    {kDate1, &DataBlockFields::date1},
    {k2Mont2, &DataBlockFields::mont2},
    {kDate2, &DataBlockFields::date2},
    {k2Mont3, &DataBlockFields::mont3},
    {kDate3, &DataBlockFields::date3},
    {kDiff, &DataBlockFields::diff},
}};
constexpr std::size_t kFirstPrefixed = 4;
constexpr std::size_t kPrefixedCount = DataBlockFields::kCount - kFirstPrefixed;

// Widths of the fixed part: amount "=" devise "=" site "=" rang.
constexpr std::size_t kDeviseAt = datablock::kAmountWidth + 1;
constexpr std::size_t kDeviseWidth = 3;
constexpr std::size_t kSiteAt = kDeviseAt + kDeviseWidth + 1;
constexpr std::size_t kSiteWidth = 7;
constexpr std::size_t kRangAt = kSiteAt + kSiteWidth + 1;
constexpr std::size_t kRangWidth = 2;
constexpr std::size_t kFixedPart = kRangAt + kRangWidth;

std::string describe(const char* format, std::size_t number) {
  char text[160];
  std::snprintf(text, sizeof text, format, number);
  return text;
}

std::string describeChar(const char* format, char c, std::size_t number) {
  char text[160];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(static_cast<unsigned char>(c)),
                number);
  return text;
}

// Length-prefixed fields from `pos` on, field `field` (0 = KWT_PORTEUR)
// onwards; the last one must end exactly at the end of the record. A prefix
// has four digits, or more without a leading zero once the length reaches
// 10000, so a record with very long values may allow more than one split:
// the first one found (shortest prefixes first) is taken, and `failed`
// remembers dead ends so the search stays linear.
class PrefixedParser {
 public:
  explicit PrefixedParser(std::string_view record)
      : record_(record), failed_(kPrefixedCount * (record.size() + 1), false) {}

  bool parse(std::size_t field, std::size_t pos) {
    const std::size_t memo = field * (record_.size() + 1) + pos;
    if (failed_[memo]) return false;
    const std::size_t remaining = record_.size() - pos;
    std::size_t length = 0;
    for (std::size_t width = 1; width <= remaining && datablock::isDigit(record_[pos + width - 1]);
         ++width) {
      length = length * 10 + static_cast<std::size_t>(record_[pos + width - 1] - '0');
      if (width < 4) continue;
      if (width > 4 && record_[pos] == '0') break;  // "%04d" pads only to four
      if (length > remaining - width) break;        // grows with every further digit
      const std::size_t end = pos + width + length;
      values_[field] = record_.substr(pos + width, length);
      if (field + 1 == kPrefixedCount ? end == record_.size() : parse(field + 1, end)) return true;
    }
    failed_[memo] = true;
    return false;
  }

  std::string_view value(std::size_t field) const { return values_[field]; }

 private:
  std::string_view record_;
  std::vector<bool> failed_;
  std::array<std::string_view, kPrefixedCount> values_{};
};

struct Attempt {
  DecodeResult result;
  int stage = 0;  // how far this reading got before it failed
};

Attempt fail(int stage, DecodeError error, std::string reason) {
  Attempt attempt;
  attempt.stage = stage;
  attempt.result.error = error;
  attempt.result.reason = std::move(reason);
  return attempt;
}

// Decodes one reading of the de-interleaved text (with or without the "999"
// padding) against the marker letter and the fillers that were taken out.
// Every step accepts only what its encoder step writes (length prefixes and
// amount field included) and undoes it one to one, so a reading that passes
// them all is the block the encoder writes for its fields: nothing is encoded
// again.
Attempt decodeReading(std::string_view packed, char marker, std::string_view fillers) {
  using namespace datablock;
  std::string text;
  std::string reason;
  if (!unpackRuns(packed, kMaxUnpackedPairs, text, reason)) {
    return fail(1, DecodeError::kBrokenPacking, "broken packing: " + reason);
  }
  if (text.size() < 8) {
    return fail(2, DecodeError::kBadLayout, "unpacked text too short to hold the check values");
  }
  if (!digitUnlift(text, reason)) return fail(2, DecodeError::kBadCharacter, reason);

  // text: C1 high, C2 high, 2L swapped digits, C1 low, C2 low.
  const std::size_t digits = text.size() - 8;
  const std::string_view swapped = std::string_view(text).substr(4, digits);
  const std::string c1 = text.substr(0, 2) + text.substr(4 + digits, 2);
  if (crc16Text(swapped) != c1) {
    return fail(3, DecodeError::kCheckMismatch, "first check value does not match");
  }
  // C2 sealed the text as it stood before C2 went in: "00" in its place and
  // nothing after C1's last two characters.
  const std::string c2 = text.substr(2, 2) + text.substr(6 + digits, 2);
  text[2] = text[3] = '0';
  if (crc16Text(std::string_view(text).substr(0, 6 + digits)) != c2) {
    return fail(3, DecodeError::kCheckMismatch, "second check value does not match");
  }

  std::string record(digits / 2, '\0');
  for (std::size_t i = 0; i < record.size(); ++i) {
    // Each byte stands low digit first.
    record[i] =
        static_cast<char>(symbolValue(swapped[2 * i + 1]) * 16 + symbolValue(swapped[2 * i]));
  }

  Attempt attempt;
  DataBlockFields& fields = attempt.result.fields;
  if (!parseDataRecord(record, fields, reason)) {
    return fail(4, DecodeError::kMalformedRecord, "malformed record: " + reason);
  }

  const char expectedMarker = markerLetter(fields.porteur);
  if (expectedMarker != marker) {
    return fail(5, DecodeError::kFillerMismatch,
                std::string("closing marker letter ") + marker + " does not match KWT_PORTEUR (" +
                    expectedMarker + ")");
  }
  const std::string expectedFillers = fillerText(fields.site, fields.rang);
  for (std::size_t k = 0; k < fillers.size(); ++k) {
    if (fillers[k] != expectedFillers[k % kFillerCount]) {
      return fail(5, DecodeError::kFillerMismatch,
                  describe("filler %zu does not match KWT_SITE and KWT_RANG", k + 1));
    }
  }
  attempt.result.ok = true;
  return attempt;
}

}  // namespace

std::array<DataBlockFields::Named, DataBlockFields::kCount> DataBlockFields::named() const {
  std::array<Named, kCount> list{};
  for (std::size_t i = 0; i < kCount; ++i) {
    list[i] = Named{paramEntries()[static_cast<std::size_t>(kSlots[i].index)].name,
                    this->*(kSlots[i].member)};
  }
  return list;
}

ParamTable DataBlockFields::toTable() const {
  ParamTable table;
  for (const FieldSlot& slot : kSlots) table.set(slot.index, this->*(slot.member));
  return table;
}

DataBlockFields DataBlockFields::fromTable(const ParamTable& table) {
  DataBlockFields fields;
  for (const FieldSlot& slot : kSlots) fields.*(slot.member) = std::string(table.text(slot.index));
  if (fields.total.size() > datablock::kAmountWidth) {
    fields.total.erase(0, fields.total.size() - datablock::kAmountWidth);
  }
  return fields;
}

std::optional<DataBlockFields::Refusal> DataBlockFields::moduleRefusal() const {
  const ParamTable table = toTable();
  for (int i = 0; i < kParamCount; ++i) {
    const bool inRecord =
        std::any_of(kSlots.begin(), kSlots.end(), [i](const FieldSlot& slot) { return slot.index == i; });
    if (!inRecord) continue;
    if (const int code = validateEntry(table, i); code != 0) {
      return Refusal{paramEntries()[static_cast<std::size_t>(i)].name, code};
    }
  }
  // Then what checkDataRecord refuses: a value too long for its prefix.
  for (std::size_t i = kFirstPrefixed; i < kCount; ++i) {
    if ((this->*(kSlots[i].member)).size() > kDataFieldMax) {
      return Refusal{paramEntries()[static_cast<std::size_t>(kSlots[i].index)].name, kErrDataFieldTooLong};
    }
  }
  return std::nullopt;
}

std::string moduleRefusalWarning(const DataBlockFields& fields) {
  const auto refusal = fields.moduleRefusal();
  if (!refusal) return {};
  return "this block could not have been written by the module: " + std::string(refusal->name) + " fails with " +
         std::to_string(refusal->code);
}

namespace datablock {

std::string deinterleave(std::string_view text) {
  const std::size_t half = text.size() / 2;
  std::string out(2 * half, '\0');
  for (std::size_t i = 0; i < half; ++i) {
    out[half + i] = text[2 * i];
    out[i] = text[2 * i + 1];
  }
  return out;
}

void unsubstitute(std::string& text) {
  const int start = rotationStart(text);
  for (std::size_t i = 1; i < text.size(); ++i) {
    const int value = symbolValue(text[i]);
    if (value >= 0) text[i] = symbolOf((value + start) % kAlphabetSize);
  }
}

bool unpackRuns(std::string_view packed, std::size_t maxPairs, std::string& lifted,
                std::string& reason) {
  lifted.clear();
  lifted.reserve(packed.size());
  std::size_t pairs = 0;
  std::size_t i = 0;
  char previous[2] = {0, 0};
  while (i < packed.size()) {
    const std::size_t tokenAt = i;
    std::size_t count = 1;
    if (isDigit(packed[i])) {
      if (packed[i] == '0') {
        reason = describe("run count with a leading zero at position %zu", tokenAt);
        return false;
      }
      count = 0;
      while (i < packed.size() && isDigit(packed[i])) {
        count = count * 10 + static_cast<std::size_t>(packed[i] - '0');
        if (count > maxPairs) {
          reason = describe("run count at position %zu is too large", tokenAt);
          return false;
        }
        ++i;
      }
      if (count < 2) {
        reason = describe("run count below 2 at position %zu", tokenAt);
        return false;
      }
    }
    if (packed.size() - i < 2) {
      reason = describe("pair cut off at position %zu", i);
      return false;
    }
    const char a = packed[i];
    const char b = packed[i + 1];
    if (!isUpper(a) || !isUpper(b)) {
      reason = describe("digit inside the pair at position %zu", i);
      return false;
    }
    if (a == previous[0] && b == previous[1]) {
      reason = describe("repeated pair at position %zu not packed into one run", i);
      return false;
    }
    if (count > maxPairs - pairs) {
      reason = describe("unpacked text would exceed %zu pairs", maxPairs);
      return false;
    }
    pairs += count;
    // A run doubles what it has written so far until it is complete.
    const std::size_t runAt = lifted.size();
    lifted += a;
    lifted += b;
    while (lifted.size() < 2 * pairs) {
      lifted.append(lifted, runAt, std::min(lifted.size() - runAt, 2 * pairs - lifted.size()));
    }
    previous[0] = a;
    previous[1] = b;
    i += 2;
  }
  return true;
}

bool digitUnlift(std::string& text, std::string& reason) {
  // A-F stay; `low` and the nine letters after it stand for 0-9.
  auto unlift = [](char& c, char low) {
    if (static_cast<unsigned char>(c - 'A') <= 'F' - 'A') return true;
    if (static_cast<unsigned char>(c - low) > 9) return false;
    c = static_cast<char>('0' + (c - low));
    return true;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (unlift(text[i], i % 2 == 0 ? 'G' : 'Q')) continue;
    reason = describeChar("byte 0x%02X at position %zu of the unpacked text is no lifted hex digit",
                          text[i], i);
    return false;
  }
  return true;
}

bool decodeAmount(std::string_view field, std::string& total, std::string& reason) {
  std::size_t start = field.size();  // first position of the total
  while (start > 0 && field[start - 1] != static_cast<char>('0' + (start - 1))) --start;
  for (std::size_t p = 0; p < start; ++p) {
    if (field[p] != static_cast<char>('0' + p)) {
      reason = describe("amount field position %zu holds neither its digit nor part of the total",
                        p);
      return false;
    }
  }
  total.clear();
  for (std::size_t p = start; p < field.size(); ++p) {
    total += static_cast<char>(static_cast<unsigned char>(field[p]) - 23);
  }
  return true;
}

bool parseDataRecord(std::string_view record, DataBlockFields& fields, std::string& reason) {
  if (record.size() < kFixedPart) {
    reason = describe("record of %zu bytes is shorter than its fixed part", record.size());
    return false;
  }
  if (record[kDeviseAt - 1] != '=' || record[kSiteAt - 1] != '=' || record[kRangAt - 1] != '=') {
    reason = "no '=' between amount, KWT_DEVISE, KWT_SITE and KWT_RANG";
    return false;
  }
  if (!decodeAmount(record.substr(0, kAmountWidth), fields.total, reason)) return false;
  fields.devise = record.substr(kDeviseAt, kDeviseWidth);
  fields.site = record.substr(kSiteAt, kSiteWidth);
  fields.rang = record.substr(kRangAt, kRangWidth);
  PrefixedParser parser(record);
  if (!parser.parse(0, kFixedPart)) {
    reason = "length-prefixed fields do not fill the record exactly";
    return false;
  }
  for (std::size_t i = 0; i < kPrefixedCount; ++i) {
    fields.*(kSlots[kFirstPrefixed + i].member) = std::string(parser.value(i));
  }
  return true;
}

}  // namespace datablock

DecodeResult decodeDataBlock(std::string_view block) {
  using namespace datablock;
  auto failWith = [](DecodeError error, std::string reason) {
    DecodeResult result;
    result.error = error;
    result.reason = std::move(reason);
    return result;
  };
  if (block.substr(0, kVersionText.size()) != kVersionText) {
    return failWith(DecodeError::kBadPrefix, "block does not begin with \"v401\"");
  }
  for (std::size_t i = kVersionText.size(); i < block.size(); ++i) {
    if (symbolValue(block[i]) < 0) {
      return failWith(DecodeError::kBadCharacter,
                      describeChar("byte 0x%02X at position %zu is not one of 0-9 and A-Z",
                                   block[i], i));
    }
  }
  if (block.size() < kVersionText.size() + 4) {
    return failWith(DecodeError::kBadLayout, "block too short");
  }

  // The closing marker letter and its filler end the block; inside, the
  // character after every marker letter is a filler.
  const char marker = block[block.size() - 2];
  if (!isUpper(marker)) {
    return failWith(DecodeError::kBadLayout, "block does not end with a marker letter and a filler");
  }
  const std::string_view body =
      block.substr(kVersionText.size(), block.size() - kVersionText.size() - 2);
  std::string interleaved;
  std::string fillers;
  interleaved.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    interleaved += body[i];
    if (body[i] != marker) continue;
    if (i + 1 == body.size()) {
      return failWith(DecodeError::kBadLayout, "marker letter without its filler");
    }
    fillers += body[++i];
  }
  fillers += block.back();
  if (interleaved.empty() || interleaved.size() % 2 != 0) {
    return failWith(DecodeError::kBadLayout,
                    describe("interleaved text of odd length %zu", interleaved.size()));
  }

  std::string packed = deinterleave(interleaved);
  // A trailing "999" is padding (odd packed length) or part of the packed
  // text: the whole text is the answer when it decodes, else the shorter one;
  // when neither does, the reading that got further tells why (on a tie, the
  // whole one). One undoing of the substitution serves both.
  const bool padding = packed.size() > 3 && packed.compare(packed.size() - 3, 3, "999") == 0;
  unsubstitute(packed);
  const std::string_view whole = packed;
  auto read = [&](std::string_view text) { return decodeReading(text, marker, fillers); };
  if (!padding) return read(whole).result;
  auto readShorter = [&] { return read(whole.substr(0, whole.size() - 3)); };
  // Cheap test first: a text that decodes ends in C2's last two characters,
  // lifted at an even and an odd position; behind padding the whole text
  // mostly does not, and is then read only for its error.
  const char a = whole[whole.size() - 2];
  const char b = whole.back();
  const bool wholeMayDecode = a >= 'A' && a <= 'P' && ((b >= 'A' && b <= 'F') || b >= 'Q');
  Attempt padded = wholeMayDecode ? Attempt{} : readShorter();
  if (padded.result.ok) return std::move(padded.result);
  Attempt best = read(whole);
  if (best.result.ok) return std::move(best.result);
  if (wholeMayDecode) padded = readShorter();
  if (padded.result.ok || padded.stage > best.stage) best = std::move(padded);
  return std::move(best.result);
}

}  // namespace revozi

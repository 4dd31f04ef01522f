#include "datablock/encode.h"

#include <charconv>
#include <cstdio>
#include <utility>

#include "datablock/crc16.h"
#include "datablock/encode_steps.h"

namespace revozi {

namespace datablock {

char markerLetter(std::string_view porteur) {
  int seen = 0;
  for (char c : porteur) {
    if (c >= 'a' && c <= 'z') {
      if (++seen == 2) return static_cast<char>(c - 32);
    }
  }
  return 'F';
}

std::string amountField(std::string_view total) {
  if (total.size() > kAmountWidth) total.remove_prefix(total.size() - kAmountWidth);
  std::string field(kAmountWidth, '0');
  const std::size_t free = kAmountWidth - total.size();
  for (std::size_t p = 0; p < free; ++p) field[p] = static_cast<char>('0' + p);
  for (std::size_t k = 0; k < total.size(); ++k) {
    field[free + k] = static_cast<char>(static_cast<unsigned char>(total[k]) + 23);
  }
  return field;
}

std::string lengthPrefix(std::size_t length) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%04zu", length);
  return digits;
}

namespace {

// The fields the record writes after a 4-digit length prefix, in order.
constexpr ParamIndex kPrefixed[] = {
    kPorteur, kCmd,   kRepondreA, kRetour, kPaiement, kCodeFamille, kIdentifiant,
    k2Mont1,  kDate1, k2Mont2,    kDate2,  k2Mont3,   kDate3,       kDiff};

void appendField(std::string& record, std::string_view value) {
  record += lengthPrefix(value.size());
  record += value;
}

}  // namespace

std::string buildDataRecord(const ParamTable& table) {
  std::string record = amountField(table.text(kTotal));
  record += '=';
  record += table.text(kDevise);
  record += '=';
  record += table.text(kSite);
  record += '=';
  record += table.text(kRang);
  for (ParamIndex index : kPrefixed) appendField(record, table.text(index));
  return record;
}

std::string hexText(std::string_view record) {
  std::string text(4 + 2 * record.size(), '0');
  text.reserve(text.size() + 4);  // the check values' last characters follow
  for (std::size_t i = 0; i < record.size(); ++i) {
    const auto byte = static_cast<unsigned char>(record[i]);
    text[4 + 2 * i] = symbolOf(byte >> 4);
    text[5 + 2 * i] = symbolOf(byte & 0x0F);
  }
  return text;
}

void swapNibbles(std::string& text) {
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) std::swap(text[i], text[i + 1]);
}

void addCheckValues(std::string& text) {
  const std::string c1 = crc16Text(std::string_view(text).substr(4));
  text[0] = c1[0];
  text[1] = c1[1];
  text.append(c1, 2, 2);
  const std::string c2 = crc16Text(text);
  text[2] = c2[0];
  text[3] = c2[1];
  text.append(c2, 2, 2);
}

void digitLift(std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte <= 0x40) text[i] = static_cast<char>(byte + (i % 2 == 0 ? 23 : 33));
  }
}

std::string packRuns(std::string_view lifted) {
  // A run of n >= 2 pairs takes at most 2n characters packed: the packed text
  // is never longer than the lifted one.
  std::string packed(lifted.size(), '\0');
  char* out = packed.data();
  std::size_t i = 0;
  while (i + 1 < lifted.size()) {
    const char a = lifted[i];
    const char b = lifted[i + 1];
    std::size_t next = i + 2;
    while (next + 1 < lifted.size() && lifted[next] == a && lifted[next + 1] == b) next += 2;
    if (next - i > 2) out = std::to_chars(out, packed.data() + packed.size(), (next - i) / 2).ptr;
    *out++ = a;
    *out++ = b;
    i = next;
  }
  if (i < lifted.size()) *out++ = lifted[i];  // odd length: never produced by the encoder
  packed.resize(static_cast<std::size_t>(out - packed.data()));
  return packed;
}

int rotationStart(std::string_view packed) {
  if (!packed.empty() && isUpper(packed[0])) return packed[0] - 'A';
  return kRunRotationStart;
}

void substitute(std::string& packed, int start) {
  for (std::size_t i = 1; i < packed.size(); ++i) {
    const int value = symbolValue(packed[i]);
    if (value < 0) continue;  // not produced by the encoder
    packed[i] = symbolOf(((value - start) % kAlphabetSize + kAlphabetSize) % kAlphabetSize);
  }
}

void padEven(std::string& text) {
  if (text.size() % 2 != 0) text += "999";
}

std::string interleave(std::string_view text) {
  const std::size_t half = text.size() / 2;
  std::string out(2 * half, '\0');
  for (std::size_t i = 0; i < half; ++i) {
    out[2 * i] = text[half + i];
    out[2 * i + 1] = text[i];
  }
  return out;
}

std::string fillerText(std::string_view site, std::string_view rang) {
  std::string fillers(kFillerCount, 'G');
  for (std::size_t i = 0; i < kFillerCount; ++i) {
    char digit = '0';
    if (i < site.size()) {
      digit = site[i];
    } else if (i - site.size() < rang.size()) {
      digit = rang[i - site.size()];
    }
    if (!isDigit(digit)) digit = '0';
    fillers[i] = static_cast<char>(digit + 23);
  }
  return fillers;
}

std::string finalText(std::string_view interleaved, char marker, std::string_view fillers) {
  // Room for a filler after every character; trimmed at the end.
  std::string out(kVersionText.size() + 2 * interleaved.size() + 2, '\0');
  kVersionText.copy(out.data(), kVersionText.size());
  std::size_t at = kVersionText.size();
  std::size_t position = 0;
  auto nextFiller = [&]() {
    if (fillers.empty()) return 'G';  // fillerText always gives nine
    const char filler = fillers[position];
    position = (position + 1) % fillers.size();
    return filler;
  };
  for (char c : interleaved) {
    out[at++] = c;
    if (c == marker) out[at++] = nextFiller();
  }
  out[at++] = marker;
  out[at++] = nextFiller();
  out.resize(at);
  return out;
}

}  // namespace datablock

int checkDataRecord(const ParamTable& table) {
  // A longer value would get a 5-digit prefix and shift every field after
  // it: a reader would take bytes of this value for the next fields.
  for (ParamIndex index : datablock::kPrefixed) {
    if (table.text(index).size() > kDataFieldMax) return kErrDataFieldTooLong;
  }
  return 0;
}

std::string encodeDataBlock(const ParamTable& table) {
  using namespace datablock;
  const char marker = markerLetter(table.text(kPorteur));
  std::string text = hexText(buildDataRecord(table));
  swapNibbles(text);
  addCheckValues(text);
  digitLift(text);
  std::string packed = packRuns(text);
  substitute(packed, rotationStart(packed));
  padEven(packed);
  return finalText(interleave(packed), marker, fillerText(table.text(kSite), table.text(kRang)));
}

}  // namespace revozi

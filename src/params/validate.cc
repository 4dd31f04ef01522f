#include "params/validate.h"

#include <algorithm>
#include <string>

namespace revozi {

namespace {

// The length rule of the entry's row.
int checkLength(const ParamTable& table, int index) {
  const LengthRule& rule = table.entry(index).length;
  const std::size_t n = table.text(index).size();
  return (rule.code == 0 || (n >= rule.min && n <= rule.max)) ? 0 : rule.code;
}

}  // namespace

int validateDigits(const ParamTable& table, int index) {
  for (char c : table.text(index)) {
    if (c < '0' || c > '9') return kErrNotDigits;
  }
  return checkLength(table, index);
}

int validateCode3(const ParamTable& table, int index) { return checkLength(table, index); }

int validateOrderRef(const ParamTable& table, int index) { return checkLength(table, index); }

int validateEmail(const ParamTable& table, int index) {
  if (!table.present(index)) return 0;
  std::string_view v = table.text(index);
  const bool form = v.find('@') != std::string_view::npos && v.find('.') != std::string_view::npos &&
                    v.find('=') == std::string_view::npos;
  return form ? checkLength(table, index) : kErrEmail;
}

bool hasControlByte(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

int validateUrl(const ParamTable& table, int index) {
  return hasControlByte(table.text(index)) ? kErrBadUrl : checkLength(table, index);
}

int validateKey(const ParamTable& table, int index) {
  // Every byte of both texts is looked at, whatever they hold, so the time
  // taken does not tell where a guess first differs from the key.
  const std::string key = keySlotKey();
  std::string_view given = table.text(index);
  const std::size_t n = std::max(key.size(), given.size());
  unsigned difference = key.size() == given.size() ? 0u : 1u;
  for (std::size_t i = 0; i < n; ++i) {
    const auto a = static_cast<unsigned char>(i < key.size() ? key[i] : 0);
    const auto b = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    difference |= static_cast<unsigned>(a ^ b);
  }
  return difference == 0 ? 0 : kErrKey;
}

int validateEntry(const ParamTable& table, int index) {
  const ParamEntry& entry = table.entry(index);
  if (table.empty(index)) {
    // The merchant key is required only once a key has been written into
    // the KeySlot.
    return entry.required && (index != kCle || keySlotHasKey()) ? kErrMissing : 0;
  }
  return entry.validator != nullptr ? entry.validator(table, index) : 0;
}

int validateParameters(const ParamTable& table) {
  for (int i = 0; i < kParamCount; ++i) {
    if (int rc = validateEntry(table, i); rc != 0) return rc;
  }
  return 0;
}

}  // namespace revozi

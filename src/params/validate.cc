#include "params/validate.h"

#include <algorithm>
#include <string>

namespace revozi {

int validateDigits(const ParamTable& table, int index) {
  std::string_view v = table.text(index);
  for (char c : v) {
    if (c < '0' || c > '9') return kErrNotDigits;
  }
  std::size_t n = v.size();
  switch (index) {
    case kSite: return n == 7 ? 0 : kErrSiteLength;
    case kRang: return n == 2 ? 0 : kErrRangLength;
    case kTotal: return (n >= 3 && n <= 10) ? 0 : kErrTotalLength;
    case kBanque: return n == 5 ? 0 : kErrBanqueLength;
    default: return 0;
  }
}

int validateCode3(const ParamTable& table, int index) {
  return table.text(index).size() == 3 ? 0 : kErrCode3Length;
}

int validateOrderRef(const ParamTable& table, int index) {
  std::size_t n = table.text(index).size();
  return (n >= 1 && n <= 2048) ? 0 : kErrCmdLength;
}

int validateEmail(const ParamTable& table, int index) {
  if (!table.present(index)) return 0;
  std::string_view v = table.text(index);
  if (v.size() < 6 || v.size() > 80) return kErrEmail;
  if (v.find('@') == std::string_view::npos) return kErrEmail;
  if (v.find('.') == std::string_view::npos) return kErrEmail;
  if (v.find('=') != std::string_view::npos) return kErrEmail;
  return 0;
}

bool hasControlByte(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

int validateUrl(const ParamTable& table, int index) {
  std::string_view v = table.text(index);
  return (v.size() <= kUrlMax && !hasControlByte(v)) ? 0 : kErrBadUrl;
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

int validateParameters(const ParamTable& table) {
  for (int i = 0; i < kParamCount; ++i) {
    const ParamEntry& entry = table.entry(i);
    if (entry.required && table.empty(i)) {
      // The merchant key is required only once a key has been written into
      // the KeySlot.
      if (i != kCle || keySlotHasKey()) return kErrMissing;
    }
    if (!table.empty(i) && entry.validator != nullptr) {
      int rc = entry.validator(table, i);
      if (rc != 0) return rc;
    }
  }
  return 0;
}

}  // namespace revozi

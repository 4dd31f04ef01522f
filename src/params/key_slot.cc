// The KeySlot. It must stay writable data in the binary, initialised with its
// marker, so that revozi-setkey can find it and write a merchant key at byte
// 6. As shipped the key is empty. Nothing else in the module spells out the
// marker, so it occurs exactly once in the binary.
#include <cstddef>
#include <string>

#include "params/param_table.h"

extern "C" {
// Not static and not const: the compiler may not assume it is never written.
__attribute__((used)) char revozi_key_slot[revozi::kKeySlotSize] = "rvzkey";
}

namespace revozi {

namespace {
// Reads through a volatile pointer so no build folds the shipped contents in.
const volatile char* slot() { return revozi_key_slot; }
}  // namespace

bool keySlotHasKey() { return slot()[kKeyOffset] != '\0'; }

std::string keySlotKey() {
  std::string key;
  for (int i = kKeyOffset; i < kKeySlotSize && slot()[i] != '\0'; ++i) key.push_back(slot()[i]);
  return key;
}

}  // namespace revozi

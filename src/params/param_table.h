// The fixed, ordered table of the 58 named parameters and the KeySlot.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace revozi {

class ParamTable;

// A validator reads the value of entry `index` and returns 0 or a negative
// error code.
using Validator = int (*)(const ParamTable& table, int index);

// A length rule: a value of fewer than `min` or more than `max` bytes fails
// with `code`. No rule when `code` is 0.
struct LengthRule {
  std::size_t min = 0;
  std::size_t max = 0;
  int code = 0;
};

struct ParamEntry {
  const char* name;      // always KWT_...
  const char* altName;   // VEL_... for entries 0 to 25, else the same as name
  bool required;
  bool forward;
  Validator validator;   // may be null
  // An operator's setting (servers, time-outs, mode, options file, output,
  // ping, trace, error URL): under the lock the form never supplies it.
  bool setting;
  LengthRule length;     // applied by the entry's validator
};

// Entry indices. The position of an entry carries meaning (validator length
// rules, order of the hidden fields, first match of a lookup by name).
enum ParamIndex : int {
  kMode = 0, kOpt, kSite, kRang, kTotal, kDevise, kLangue, kCmd, kPorteur,
  kAnnule, kEffectue, kRefuse, kRetour, kKorven, kRepondreA, kOutput, kBouton,
  kBkgd, kCle, kErreur, kIdentifiant, kPaiement, kCodeFamille, kWait, kTxt,
  kBoutpi, kSource, kBackup1, kBackup2, kBackup3, kBackup4, kVersion, kPing,
  kPathRw, kPort, kTotalMajore, kRuf1, kRuf2, kDemo, kTypePaiement,
  kTypeCarte, kTraitement, kBanque, kAutoSeule, kTrace, kTimeout, kTimeout1,
  kTimeout2, kTimeout3, kTimeout4, kEntite, k2Mont1, k2Mont2, k2Mont3, kDate1,
  kDate2, kDate3, kDiff,
  kParamCount  // 58
};

// The static description of every entry, in index order.
const std::array<ParamEntry, kParamCount>& paramEntries();

class ParamTable {
 public:
  const ParamEntry& entry(int index) const { return paramEntries()[static_cast<std::size_t>(index)]; }
  // The value, or nothing when it is absent.
  std::optional<std::string> value(int index) const {
    const Slot& s = slot(index);
    return s.present ? std::optional<std::string>(s.text) : std::nullopt;
  }
  // The value, or the empty text when it is absent.
  std::string_view text(int index) const { return slot(index).text; }
  bool present(int index) const { return slot(index).present; }
  // Empty means absent or of length zero.
  bool empty(int index) const { return slot(index).text.empty(); }

  // Stores `text` only when the current value is empty; the first source to
  // supply a value wins.
  void setIfEmpty(int index, std::optional<std::string> text) {
    if (empty(index)) set(index, std::move(text));
  }
  // Unconditional store (the mode string and the version tag).
  void set(int index, std::optional<std::string> text) {
    Slot& s = slots_[static_cast<std::size_t>(index)];
    s.present = text.has_value();
    if (text) {
      s.text = std::move(*text);
    } else {
      s.text.clear();
    }
  }

  // The first entry whose name or alternate name equals `name` byte for byte,
  // or -1.
  static int findByName(std::string_view name);

 private:
  // A value and whether it is present: absent and empty differ where the
  // presence of a parameter is what counts (KWT_BKGD, KWT_ERREUR, KWT_OPT).
  struct Slot {
    std::string text;
    bool present = false;
  };
  const Slot& slot(int index) const { return slots_[static_cast<std::size_t>(index)]; }
  std::array<Slot, kParamCount> slots_{};
};

// The KeySlot (key_slot.cc): a 6-letter marker, then the merchant key as NUL-terminated
// text from byte 6 on. It lives in writable data so that a key can be
// written into a delivered binary (revozi-setkey finds it by its marker).
inline constexpr int kKeySlotSize = 20;
inline constexpr int kKeyOffset = 6;

// True while byte 6 of the key area is not NUL (a key has been written).
bool keySlotHasKey();
// The key text at the key offset (at most 13 bytes).
std::string keySlotKey();

}  // namespace revozi

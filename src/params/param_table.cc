#include "params/param_table.h"

#include <algorithm>
#include <utility>

#include "params/validate.h"

namespace revozi {

namespace {

constexpr ParamEntry e(const char* name, const char* alt, bool required,
                       bool forward, Validator v = nullptr, LengthRule length = {}) {
  return ParamEntry{name, alt, required, forward, v, false, length};
}

constexpr LengthRule kUrlLength{0, kUrlMax, kErrBadUrl};

// An operator's setting: see ParamEntry::setting.
constexpr ParamEntry setting(ParamEntry entry) {
  entry.setting = true;
  return entry;
}

// The first 26 entries also answer to the VEL_ prefix.
constexpr std::array<ParamEntry, kParamCount> kEntries = {{
    setting(e("KWT_MODE", "VEL_MODE", true, false)),
    setting(e("KWT_OPT", "VEL_OPT", false, false)),
    e("KWT_SITE", "VEL_SITE", true, false, validateDigits, {7, 7, kErrSiteLength}),
    e("KWT_RANG", "VEL_RANG", true, false, validateDigits, {2, 2, kErrRangLength}),
    e("KWT_TOTAL", "VEL_TOTAL", true, false, validateDigits, {3, 10, kErrTotalLength}),
    e("KWT_DEVISE", "VEL_DEVISE", true, false, validateCode3, {3, 3, kErrCode3Length}),
    e("KWT_LANGUE", "VEL_LANGUE", false, true, validateCode3, {3, 3, kErrCode3Length}),
    e("KWT_CMD", "VEL_CMD", true, false, validateOrderRef, {1, 2048, kErrCmdLength}),
    e("KWT_PORTEUR", "VEL_PORTEUR", true, false, validateEmail, {6, 80, kErrEmail}),
    e("KWT_ANNULE", "VEL_ANNULE", false, true, validateUrl, kUrlLength),
    e("KWT_EFFECTUE", "VEL_EFFECTUE", false, true, validateUrl, kUrlLength),
    e("KWT_REFUSE", "VEL_REFUSE", false, true, validateUrl, kUrlLength),
    e("KWT_RETOUR", "VEL_RETOUR", true, false, validateUrl, kUrlLength),
    setting(e("KWT_KORVEN", "VEL_KORVEN", false, false, validateUrl, kUrlLength)),
    e("KWT_REPONDRE_A", "VEL_REPONDRE_A", false, false, validateUrl, kUrlLength),
    setting(e("KWT_OUTPUT", "VEL_OUTPUT", false, false)),
    e("KWT_BOUTON", "VEL_BOUTON", false, false),
    e("KWT_BKGD", "VEL_BKGD", false, false),
    e("KWT_CLE", "VEL_CLE", true, false, validateKey),
    setting(e("KWT_ERREUR", "VEL_ERREUR", false, false, validateUrl, kUrlLength)),
    e("KWT_IDENTIFIANT", "VEL_IDENTIFIANT", true, false, validateDigits),
    e("KWT_PAIEMENT", "VEL_PAIEMENT", false, true),
    e("KWT_CODEFAMILLE", "VEL_CODEFAMILLE", false, true),
    e("KWT_WAIT", "VEL_WAIT", false, false),
    e("KWT_TXT", "VEL_TXT", false, false),
    e("KWT_BOUTPI", "VEL_BOUTPI", false, false),
    e("KWT_SOURCE", "KWT_SOURCE", false, true),
    setting(e("KWT_BACKUP1", "KWT_BACKUP1", false, false)),
    setting(e("KWT_BACKUP2", "KWT_BACKUP2", false, false)),
    setting(e("KWT_BACKUP3", "KWT_BACKUP3", false, false)),
    setting(e("KWT_BACKUP4", "KWT_BACKUP4", false, false)),
    e("KWT_VERSION", "KWT_VERSION", false, true),
    setting(e("KWT_PING", "KWT_PING", false, false)),
    setting(e("KWT_PATH_RW", "KWT_PATH_RW", false, false)),
    setting(e("KWT_PORT", "KWT_PORT", false, false)),
    e("KWT_TOTAL_MAJORE", "KWT_TOTAL_MAJORE", false, true),
    e("KWT_RUF1", "KWT_RUF1", false, true),
    e("KWT_RUF2", "KWT_RUF2", false, true),
    e("KWT_DEMO", "KWT_DEMO", false, true),
    e("KWT_TYPEPAIEMENT", "KWT_TYPEPAIEMENT", false, true),
    e("KWT_TYPECARTE", "KWT_TYPECARTE", false, true),
    e("KWT_TRAITEMENT", "KWT_TRAITEMENT", false, true),
    e("KWT_BANQUE", "KWT_BANQUE", false, true, validateDigits, {5, 5, kErrBanqueLength}),
    e("KWT_AUTOSEULE", "KWT_AUTOSEULE", false, true),
    setting(e("KWT_TRACE", "KWT_TRACE", false, false)),
    setting(e("KWT_TIMEOUT", "KWT_TIMEOUT", false, false)),
    setting(e("KWT_TIMEOUT1", "KWT_TIMEOUT1", false, false)),
    setting(e("KWT_TIMEOUT2", "KWT_TIMEOUT2", false, false)),
    setting(e("KWT_TIMEOUT3", "KWT_TIMEOUT3", false, false)),
    setting(e("KWT_TIMEOUT4", "KWT_TIMEOUT4", false, false)),
    e("KWT_ENTITE", "KWT_ENTITE", false, true),
    e("KWT_2MONT1", "KWT_2MONT1", false, false),
    e("KWT_2MONT2", "KWT_2MONT2", false, false),
    e("KWT_2MONT3", "KWT_2MONT3", false, false),
    e("KWT_DATE1", "KWT_DATE1", false, false),
    e("KWT_DATE2", "KWT_DATE2", false, false),
    e("KWT_DATE3", "KWT_DATE3", false, false),
    e("KWT_DIFF", "KWT_DIFF", false, false),
}};

}  // namespace

const std::array<ParamEntry, kParamCount>& paramEntries() { return kEntries; }

// Every name and alternate name with its entry, sorted: names are unique, so
// a binary search finds the one entry a linear search would.
constexpr auto kByName = [] {
  std::array<std::pair<std::string_view, int>, 2 * kParamCount> all{};
  for (int i = 0; i < kParamCount; ++i) {
    const ParamEntry& en = kEntries[static_cast<std::size_t>(i)];
    all[static_cast<std::size_t>(2 * i)] = {en.name, i};
    all[static_cast<std::size_t>(2 * i + 1)] = {en.altName, i};
  }
  std::sort(all.begin(), all.end());
  return all;
}();

int ParamTable::findByName(std::string_view name) {
  auto at = std::lower_bound(kByName.begin(), kByName.end(), name,
                             [](const auto& entry, std::string_view n) { return entry.first < n; });
  return (at != kByName.end() && at->first == name) ? at->second : -1;
}

}  // namespace revozi

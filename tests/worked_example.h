// The worked example of the KWT_DATA block: its table (every other entry
// absent), its DataRecord and the block it must give.
#pragma once

#include <string_view>

#include "params/param_table.h"

namespace revozi::testing {

inline constexpr std::string_view kExampleRecord =
    "012345HLGG=978=1234567=010007abc.def0007ORDER4200000003M:M"
    "00000000000170000000000000000000000000000";
inline constexpr std::string_view kExampleBlock =
    "v401IO4YIW5JI20FE36FI47FI58FI6PF27FF9AFG1YGG4OH96GGZ7FGBH4FH96FFA4FFZTF23FF54FFZ5GFW6FFZ7GF"
    "N8NF29FF3ZFF92FFO3UF2PF27FE90FK3BI";

// The short KWT_PORTEUR would fail validation; the encoder does not care.
inline void fillExampleTable(ParamTable& t) {
  t.set(kSite, "1234567");
  t.set(kRang, "01");
  t.set(kTotal, "1500");
  t.set(kDevise, "978");
  t.set(kCmd, "ORDER42");
  t.set(kPorteur, "abc.def");
  t.set(kRetour, "M:M");
  t.set(kIdentifiant, "7");
}

inline ParamTable exampleTable() {
  ParamTable t;
  fillExampleTable(t);
  return t;
}

}  // namespace revozi::testing

// Validation of the filled ParamTable and the program's error codes.
#pragma once

#include <string_view>

#include "params/error_codes.h"
#include "params/param_table.h"

namespace revozi {


// A URL parameter holds at most this many bytes.
inline constexpr std::size_t kUrlMax = 150;

int validateDigits(const ParamTable& table, int index);
int validateCode3(const ParamTable& table, int index);
int validateOrderRef(const ParamTable& table, int index);
int validateEmail(const ParamTable& table, int index);
int validateUrl(const ParamTable& table, int index);
// True when `text` holds a byte below 0x20 or the byte 0x7F: such a text could
// end a header line or hide part of a URL.
bool hasControlByte(std::string_view text);
int validateKey(const ParamTable& table, int index);

// The code with which the validation pass refuses entry `index` of `table`
// (its required flag, then its validator), or 0 when it passes.
int validateEntry(const ParamTable& table, int index);

// One pass in index order; 0, or the code of the first failing entry.
int validateParameters(const ParamTable& table);

}  // namespace revozi

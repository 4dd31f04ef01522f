// The KWT_DATA block: the DataRecord, scrambled, sealed with two CRC-16 check
// values, headed by "v401".
#pragma once

#include <string>

#include "params/param_table.h"
#include "params/validate.h"

namespace revozi {

// The length prefix of a record field has 4 digits.
inline constexpr std::size_t kDataFieldMax = 9999;

// 0 when every length-prefixed field of the record fits its prefix, else
// kErrDataFieldTooLong.
int checkDataRecord(const ParamTable& table);

// Builds the block from the table (which it does not validate). The result is
// "v401" followed by characters 0-9 and A-Z only. No length limit.
std::string encodeDataBlock(const ParamTable& table);

}  // namespace revozi

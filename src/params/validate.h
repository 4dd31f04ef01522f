// Validation of the filled ParamTable and the program's error codes.
#pragma once

#include "params/param_table.h"

namespace revozi {

// Error codes that reach the user (error page or NUMERR= of the redirect).
enum ErrorCode : int {
  kErrNoMemory = -2,       // an allocation failed
  kErrNoRequest = -3,      // POST without CONTENT_LENGTH, GET without query
  kErrBadUrl = -4,         // a URL parameter longer than 150 bytes, or with a control byte
  kErrOptionsOpen = -5,    // the options file cannot be opened
  kErrOptionsLine = -6,    // an options-file line without '=' (or too long)
  kErrMissing = -7,        // a required parameter is empty
  kErrNotDigits = -8,      // a non-digit in a numeric parameter
  kErrSiteLength = -9,
  kErrRangLength = -10,
  kErrTotalLength = -11,
  kErrCode3Length = -12,   // KWT_DEVISE or KWT_LANGUE not 3 bytes
  kErrCmdLength = -13,
  kErrDataFieldTooLong = -14,  // a payment-data field longer than 9999 bytes
  kErrEmail = -16,
  kErrKey = -17,
  kErrBanqueLength = -19,
};

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

// One pass in index order; 0, or the code of the first failing entry.
int validateParameters(const ParamTable& table);

}  // namespace revozi
